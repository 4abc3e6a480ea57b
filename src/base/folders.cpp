#include "base/folders.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace ombrix {
namespace {

// A folder's state as seen by one stat() call.
enum class PathState { Exists, Missing, Unknown };

// Missing covers ENOENT only; ENOTDIR (a file where a folder should be) and every other error
// are reported as Unknown so that callers can tell them apart where the rules differ.
PathState Examine(const std::string& path, int* error = nullptr) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    return PathState::Exists;
  }
  const int e = errno;
  if (error != nullptr) {
    *error = e;
  }
  return e == ENOENT ? PathState::Missing : PathState::Unknown;
}

// One level, default permissions. A folder that appeared meanwhile (another thread made it)
// counts as made.
bool MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0) {
    return true;
  }
  return errno == EEXIST && Examine(path) == PathState::Exists;
}

// A folder that must exist under the base: made when stat() says it is missing; any other stat()
// failure is left for the later file operations to meet. False only when the creation fails.
bool EnsureFolder(const std::string& path) {
  if (Examine(path) != PathState::Missing) {
    return true;
  }
  return MakeFolder(path);
}

std::string EnvironmentValue(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// $HOME, or the home folder of the password database when HOME is not set; empty when neither
// is known.
std::string HomeFolder() {
  std::string home = EnvironmentValue("HOME");
  if (!home.empty()) {
    return home;
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
      result != nullptr && result->pw_dir != nullptr) {
    home = result->pw_dir;
  }
  return home;
}

// The value of the XDG_DOCUMENTS_DIR line of a user-dirs.dirs file: shell-style
// XDG_DOCUMENTS_DIR="$HOME/Documents", the value either absolute or starting with $HOME. Empty
// when the file or the line is missing or the value is neither. The last such line counts.
std::string DocumentsFromUserDirs(const std::string& file, const std::string& home) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(file.c_str(), "re"), &std::fclose);
  if (!in) {
    return {};
  }
  static constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=";
  std::string found;
  std::string line;
  int c;
  bool done = false;
  while (!done) {
    line.clear();
    while ((c = std::fgetc(in.get())) != EOF && c != '\n') {
      if (line.size() < 4096) {
        line.push_back(static_cast<char>(c));
      }
    }
    done = c == EOF;
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line.compare(i, kKey.size(), kKey) != 0) {
      continue;
    }
    i += kKey.size();
    std::string value;
    const bool quoted = i < line.size() && line[i] == '"';
    if (quoted) {
      ++i;
    }
    for (; i < line.size(); ++i) {
      const char ch = line[i];
      if (quoted && ch == '"') {
        break;
      }
      if (!quoted && (ch == ' ' || ch == '\t' || ch == '\r')) {
        break;
      }
      if (ch == '\\' && i + 1 < line.size()) {
        value.push_back(line[++i]);
        continue;
      }
      value.push_back(ch);
    }
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      if (home.empty()) {
        continue;
      }
      value = home + value.substr(5);
    } else if (value.rfind("${HOME}", 0) == 0 && (value.size() == 7 || value[7] == '/')) {
      if (home.empty()) {
        continue;
      }
      value = home + value.substr(7);
    }
    while (value.size() > 1 && value.back() == '/') {
      value.pop_back();
    }
    if (!value.empty() && value.front() == '/') {
      found = value;
    }
  }
  return found;
}

}  // namespace

std::string DocumentsFolder() {
  std::string documents = EnvironmentValue("XDG_DOCUMENTS_DIR");
  if (!documents.empty()) {
    return documents;
  }
  const std::string home = HomeFolder();
  std::string configHome = EnvironmentValue("XDG_CONFIG_HOME");
  if (configHome.empty() && !home.empty()) {
    configHome = home + "/.config";
  }
  if (!configHome.empty()) {
    documents = DocumentsFromUserDirs(configHome + "/user-dirs.dirs", home);
    if (!documents.empty()) {
      return documents;
    }
  }
  // Without any home folder there is no documents folder: empty text, and the base folder
  // built from it is empty too, which makes the archive writers skip their work.
  return home.empty() ? std::string() : home + "/Documents";
}

std::string LocalDataFolder() {
  std::string data = EnvironmentValue("XDG_DATA_HOME");
  if (data.empty()) {
    const std::string home = HomeFolder();
    if (home.empty()) {
      return {};
    }
    data = home + "/.local/share";
  }
  return data + "/Ombrix";
}

BaseFolderFallback ExamineBaseFolderSetting(const std::string& archiveFolderSetting) {
  if (archiveFolderSetting.empty()) {
    return {};
  }
  int error = 0;
  const PathState state = Examine(archiveFolderSetting, &error);
  if (state == PathState::Exists) {
    std::error_code ec;
    return {false, std::filesystem::is_directory(archiveFolderSetting, ec) ? 0 : ENOTDIR};
  }
  // Only a folder that is plainly absent sends the archive to the default; the configured
  // folder itself is never created (it may be a removable or network drive not mounted yet).
  if (error != ENOENT && error != ENOTDIR) {
    return {};
  }
  return {true, error};
}

std::string GetBaseFolder(const std::string& archiveFolderSetting) {
  if (!archiveFolderSetting.empty() && !ExamineBaseFolderSetting(archiveFolderSetting).fallsBack) {
    return archiveFolderSetting;
  }
  const std::string documents = DocumentsFolder();
  if (documents.empty()) {
    return {};
  }
  std::string base = documents + "/Ombrix";
  if (Examine(base) == PathState::Missing) {
    // The documents folder itself is often absent on Linux; make it and its parents too.
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
  }
  return base;
}

std::string FolderFailure::Describe() const {
  if (path.empty()) {
    return "no base folder is known (no home folder)";
  }
  return "cannot make the folder " + path + ": " + std::strerror(error);
}

bool GetEventsFolder(const std::string& archiveFolderSetting, std::string& path,
                     FolderFailure* failure) {
  const std::string base = GetBaseFolder(archiveFolderSetting);
  if (base.empty()) {
    if (failure != nullptr) {
      *failure = {};
    }
    return false;
  }
  path = base + "/events";
  if (EnsureFolder(path)) {
    return true;
  }
  if (failure != nullptr) {
    *failure = {path, errno};
  }
  return false;
}

std::string GetRefuseFolder(const std::string& archiveFolderSetting) {
  const std::string base = GetBaseFolder(archiveFolderSetting);
  if (base.empty()) {
    // No base folder: empty text rather than "/refuse" at the root of the file system.
    return {};
  }
  std::string path = base + "/refuse";
  EnsureFolder(path);
  return path;
}

bool GetArchiveMinuteFolder(const std::string& archiveFolderSetting, std::string& path,
                            const Stamp& stamp, bool create, FolderFailure* failure) {
  // The year, day and minute levels are named by the first 4, 8 and 13 characters of the Stamp.
  if (stamp.size() < 13) {
    if (failure != nullptr) {
      *failure = {stamp, EINVAL};
    }
    return false;
  }
  const std::string base = GetBaseFolder(archiveFolderSetting);
  if (base.empty()) {
    if (failure != nullptr) {
      *failure = {};
    }
    return false;
  }
  std::string folder = base + "/archive";
  const size_t levels[] = {0, 4, 8, 13};
  for (const size_t length : levels) {
    if (length > 0) {
      folder += "/s";
      folder.append(stamp, 0, length);
    }
    // A missing level stops the walk or gets made. A plain file where an upper level belongs
    // (ENOTDIR) counts as missing too, so that the call never reports a folder that cannot be
    // there; any other stat() failure lets the walk go on.
    int error = 0;
    if (Examine(folder, &error) != PathState::Exists && (error == ENOENT || error == ENOTDIR)) {
      if (!create || !MakeFolder(folder)) {
        if (failure != nullptr) {
          *failure = {folder, create ? errno : error};
        }
        return false;
      }
    }
  }
  path = std::move(folder);
  return true;
}

std::optional<UtcTime> FindNextArchiveTime(const std::string& archiveFolderSetting, UtcTime after,
                                           const char* letter, const char* extension) {
  using std::chrono::days;
  using std::chrono::floor;
  using std::chrono::minutes;
  const std::string prefix = letter != nullptr ? letter : "";
  const std::string suffix = extension != nullptr ? extension : "";
  // The base folder is worked out once for the whole walk; as a setting it stands for itself.
  const std::string base = GetBaseFolder(archiveFolderSetting);
  if (base.empty()) {
    return std::nullopt;
  }
  // A time no Stamp can hold names no folder: the walk ends there.
  const auto minuteFolder = [&base](std::string& folder, UtcTime time) {
    return GetArchiveMinuteFolder(base, folder, MakeStamp(time), false);
  };

  // Each pass moves one minute on, so the walk ends once no folder follows: the minute after the
  // last one is missing, and so is the first minute of the day after it.
  for (UtcTime minute = std::max(after, kFirstStampTime); FitsStamp(minute);
       minute = floor<minutes>(minute) + minutes{1}) {
    std::string folder;
    if (!minuteFolder(folder, minute)) {
      const UtcTime next = floor<minutes>(minute) + minutes{1};
      if (!minuteFolder(folder, next) && !minuteFolder(folder, floor<days>(next) + days{1})) {
        return std::nullopt;
      }
    }
    // Every file found must name a later time than the given one. Comparing with the given time
    // in every minute folder visited (not with the first time of that minute) also finds a clip
    // that begins exactly at second 0, millisecond 0 of a later minute.
    std::optional<UtcTime> best;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
      const std::string name = it->path().filename().string();
      // Only names of the station's own form: letter, a whole Stamp, extension.
      if (name.size() != prefix.size() + kStampLength + suffix.size() ||
          name.compare(0, prefix.size(), prefix) != 0 ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        continue;
      }
      const auto time = ParseStamp(std::string_view(name).substr(prefix.size(), kStampLength));
      if (time && *time > after && (!best || *time < *best)) {
        best = time;
      }
    }
    if (best) {
      return best;
    }
  }
  return std::nullopt;
}

}  // namespace ombrix
