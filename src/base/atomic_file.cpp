#include "base/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace ombrix {
namespace {

std::string DottedBeside(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, start) + "." + path.substr(start);
}

// Creates the file exclusively with the ordinary mode (0666 less the umask, as fopen would).
// With `suffix`, a random one of six characters is appended, and another tried on a collision.
int CreateTemporary(std::string& temporary, bool suffix) {
  if (!suffix) {
    return open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::minstd_rand random(std::random_device{}());
  const std::string base = temporary + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = base;
    for (int i = 0; i < 6; ++i) {
      temporary += kLetters[random() % (sizeof kLetters - 1)];
    }
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

AtomicFile::AtomicFile(std::string path, TemporaryName naming)
    : path_(std::move(path)), temporary_(DottedBeside(path_)) {
  const int fd = CreateTemporary(temporary_, naming == TemporaryName::kUnique);
  if (fd < 0) {
    Fail(errno);
    return;
  }
  opened_ = true;
  file_ = fdopen(fd, "wb");
  if (file_ == nullptr) {
    Fail(errno);
    close(fd);
  }
}

AtomicFile::AtomicFile(std::string path, std::string temporary)
    : path_(std::move(path)), temporary_(std::move(temporary)), opened_(true) {}

AtomicFile::~AtomicFile() {
  Discard();
}

void AtomicFile::Fail(int error) {
  if (error_ == 0) {
    error_ = error != 0 ? error : EIO;
  }
}

bool AtomicFile::Write(std::string_view bytes) {
  if (file_ == nullptr || error_ != 0) {
    Fail(EIO);
    return false;
  }
  return Check(std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size());
}

bool AtomicFile::Check(bool ok) {
  if (!ok) {
    Fail(errno);
  }
  return ok;
}

bool AtomicFile::CloseFile() {
  std::FILE* file = file_;
  file_ = nullptr;
  return file == nullptr || std::fclose(file) == 0;
}

bool AtomicFile::Commit(Durability durability) {
  if (committed_ || !opened_) {
    Fail(EIO);
    return committed_;
  }
  if (file_ != nullptr) {
    if (error_ == 0 && (std::ferror(file_) != 0 || std::fflush(file_) != 0)) {
      Fail(errno);
    }
    if (error_ == 0 && durability == Durability::kSynced && fsync(fileno(file_)) != 0) {
      Fail(errno);
    }
    if (!CloseFile()) {
      Fail(errno);
    }
  } else if (durability == Durability::kSynced && error_ == 0) {
    const int fd = open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
      Fail(errno);
    }
    if (fd >= 0) {
      close(fd);
    }
  }
  if (error_ == 0 && std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    Fail(errno);
  }
  if (error_ != 0) {
    Discard();
    return false;
  }
  committed_ = true;
  return true;
}

void AtomicFile::Discard() {
  CloseFile();
  if (opened_ && !committed_) {
    std::remove(temporary_.c_str());
  }
  opened_ = false;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, TemporaryName naming,
                         Durability durability, int* error) {
  AtomicFile file(path, naming);
  const bool written = file.Write(bytes) && file.Commit(durability);
  if (error != nullptr) {
    *error = file.error();
  }
  return written;
}

}  // namespace ombrix
