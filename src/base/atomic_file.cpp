#include "base/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace ombrix {
namespace {

constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr size_t kSuffixLength = 6;

// Creates "." + name + "." + a random suffix beside path, exclusively, with the ordinary mode
// (0666 less the umask, as fopen would); another suffix is tried on a collision.
int CreateTemporary(const std::string& path, std::string& temporary) {
  const size_t slash = path.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const std::string base = path.substr(0, start) + "." + path.substr(start) + ".";
  thread_local std::minstd_rand random(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = base;
    for (size_t i = 0; i < kSuffixLength; ++i) {
      temporary += kLetters[random() % (sizeof kLetters - 1)];
    }
    const int fd =
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  const int fd = CreateTemporary(path_, temporary_);
  if (fd < 0) {
    Fail(errno);
    return;
  }
  opened_ = true;
  file_.reset(fdopen(fd, "wb"));
  if (file_ == nullptr) {
    Fail(errno);
    close(fd);
  }
}

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
  return Check(std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) == bytes.size());
}

bool AtomicFile::Check(bool ok) {
  if (!ok) {
    Fail(errno);
  }
  return ok;
}

bool AtomicFile::Commit(Durability durability) {
  if (committed_ || file_ == nullptr) {
    Fail(EIO);
    return committed_;
  }
  if (error_ == 0 && (std::ferror(file_.get()) != 0 || std::fflush(file_.get()) != 0)) {
    Fail(errno);
  }
  if (error_ == 0 && durability == Durability::kSynced && fsync(fileno(file_.get())) != 0) {
    Fail(errno);
  }
  if (!CloseFile(file_)) {
    Fail(errno);
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
  file_.reset();
  if (opened_ && !committed_) {
    unlink(temporary_.c_str());
  }
  opened_ = false;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, Durability durability,
                         int* error) {
  AtomicFile file(path);
  const bool written = file.Write(bytes) && file.Commit(durability);
  if (error != nullptr) {
    *error = file.error();
  }
  return written;
}

std::optional<std::string_view> NameBehindTemporary(std::string_view name) {
  if (!name.starts_with('.')) {
    return std::nullopt;
  }
  name.remove_prefix(name.find_first_not_of('.') == std::string_view::npos
                         ? name.size()
                         : name.find_first_not_of('.'));
  const size_t dot = name.size() > kSuffixLength ? name.size() - kSuffixLength - 1 : 0;
  if (dot > 0 && name[dot] == '.' &&
      name.find_first_not_of(kLetters, dot + 1) == std::string_view::npos) {
    name = name.substr(0, dot);
  }
  if (name.empty()) {
    return std::nullopt;
  }
  return name;
}

}  // namespace ombrix
