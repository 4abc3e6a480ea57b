#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "base/file.h"

namespace ombrix {

// kSynced puts the data on the disk before the rename, so that a power cut after the rename
// finds the new content rather than an empty file.
enum class Durability { kCached, kSynced };

// A whole file that is complete or absent: written under a temporary name in the same folder and
// renamed over the real name by Commit(). Until then an existing file of that name is untouched;
// a temporary that is never committed (a failed write, an early return) is removed by the
// destructor. Every write, the flush, the close and the rename are checked.
//
// The temporary is "." + name + "." + six random characters, created with O_CREAT | O_EXCL: a
// name planted there (a symbolic link to another file included) is never opened, another name is
// tried. The rename replaces whatever is at the real name, a link included, and never writes
// through it. This is the one place where the station makes temporary files.
class AtomicFile {
 public:
  // Creates the temporary and opens it for writing; see opened() and error().
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& path() const { return path_; }
  const std::string& temporary() const { return temporary_; }
  // Whether the temporary was created.
  bool opened() const { return opened_; }
  // The open temporary, for writers that print to a FILE* or write to its descriptor (an
  // encoder); nullptr when none is open.
  std::FILE* file() const { return file_.get(); }

  // Appends the bytes; false (and the file will not be committed) when they cannot all be written.
  bool Write(std::string_view bytes);
  // For writes done through file(): a false `ok` marks the file failed, keeping errno as the
  // reason. Returns ok.
  bool Check(bool ok);
  // Flushes, syncs if asked, closes and renames the temporary over the real name. False when any
  // of that, or an earlier write, failed; the temporary is then removed and error() says why.
  bool Commit(Durability durability);
  // Closes and removes the temporary now; the real file stays as it was.
  void Discard();
  // errno of the first failure (EIO where none was given); 0 while nothing failed.
  int error() const { return error_; }

 private:
  void Fail(int error);

  std::string path_;
  std::string temporary_;
  FilePtr file_;
  bool opened_ = false;
  bool committed_ = false;
  int error_ = 0;
};

// Makes `bytes` the whole content of `path` through an AtomicFile; false with *error (if given)
// set to the errno of the failure.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, Durability durability,
                         int* error = nullptr);

// The real name behind the name of a temporary that an AtomicFile (of this or an earlier version)
// left in a folder: "." + name + "." + six characters, or "." + name; nullopt for any other name.
std::optional<std::string_view> NameBehindTemporary(std::string_view temporaryName);

}  // namespace ombrix
