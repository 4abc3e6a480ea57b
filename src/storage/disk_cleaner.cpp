#include "storage/disk_cleaner.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "base/folders.h"

namespace ombrix {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

enum class EntryKind { Folder, File, Other };

struct Entry {
  std::string name;
  EntryKind kind;
};

// Real folders and regular files only: a symbolic link is neither, so the cleaner never follows
// one out of the archive tree.
EntryKind KindOf(const std::string& folder, const dirent& entry) {
  switch (entry.d_type) {
    case DT_DIR:
      return EntryKind::Folder;
    case DT_REG:
      return EntryKind::File;
    case DT_UNKNOWN:
      break;
    default:
      return EntryKind::Other;
  }
  struct stat info;
  if (lstat((folder + "/" + entry.d_name).c_str(), &info) != 0) {
    return EntryKind::Other;
  }
  if (S_ISDIR(info.st_mode)) {
    return EntryKind::Folder;
  }
  return S_ISREG(info.st_mode) ? EntryKind::File : EntryKind::Other;
}

// Every entry of a folder but "." and "..", in listing order; nullopt when it cannot be read.
std::optional<std::vector<Entry>> ListFolder(const std::string& folder) {
  DirHandle dir(opendir(folder.c_str()));
  if (!dir) {
    return std::nullopt;
  }
  std::vector<Entry> entries;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    entries.push_back({name, KindOf(folder, *entry)});
  }
  return entries;
}

bool IsEmptyFolder(const std::string& folder) {
  const auto entries = ListFolder(folder);
  return entries && entries->empty();
}

// The folders whose names begin with "s", smallest name first. The names carry the Stamp fields
// from the year down, so the smallest is the oldest.
std::vector<std::string> FoldersOldestFirst(const std::string& parent) {
  std::vector<std::string> names;
  if (const auto entries = ListFolder(parent)) {
    for (const Entry& entry : *entries) {
      if (entry.kind == EntryKind::Folder && entry.name.starts_with('s')) {
        names.push_back(entry.name);
      }
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The year, day and minute folder names of a clip's time ("s2024", "s20240315",
// "s20240315_2114"); empty names for no clip.
struct MinuteNames {
  std::string year, day, minute;
};
MinuteNames MinuteNamesOf(std::optional<UtcTime> clip) {
  const Stamp stamp = clip ? MakeStamp(*clip) : Stamp();
  if (stamp.size() < 13) {
    return {};
  }
  // Built by appending: GCC 12's -Wrestrict misreads "s" + substr() at -O3.
  const auto name = [&stamp](size_t length) { return std::string("s").append(stamp, 0, length); };
  return {name(4), name(8), name(13)};
}

// Names of the folders in `parent` matching the archive level's pattern: "s" followed by
// `length` - 1 characters, with an underscore at `underscoreAt` when that is not 0.
std::vector<std::string> LevelFolders(const std::string& parent, size_t length,
                                      size_t underscoreAt) {
  std::vector<std::string> names;
  if (const auto entries = ListFolder(parent)) {
    for (const Entry& entry : *entries) {
      if (entry.kind == EntryKind::Folder && entry.name.size() == length && entry.name[0] == 's' &&
          (underscoreAt == 0 || entry.name[underscoreAt] == '_')) {
        names.push_back(entry.name);
      }
    }
  }
  return names;
}

// Moves a folder to `target`, failing when something of that name is there already (an empty
// folder of that name would silently be replaced by a plain rename()).
bool MoveWithoutReplacing(const std::string& from, const std::string& target) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return false;
  }
  // File system without the no-replace flag: check first.
  struct stat info;
  if (lstat(target.c_str(), &info) == 0 || errno != ENOENT) {
    return false;
  }
  return rename(from.c_str(), target.c_str()) == 0;
}

// Removes an archive folder; one that cannot be removed goes to the refuse folder under its own
// name, and when that fails too it stays where it is for the next pass.
void RemoveOrRefuse(const std::string& archiveFolderSetting, const std::string& parent,
                    const std::string& name) {
  const std::string path = parent + "/" + name;
  if (rmdir(path.c_str()) == 0) {
    return;
  }
  const std::string refuse = GetRefuseFolder(archiveFolderSetting);
  if (!refuse.empty()) {
    MoveWithoutReplacing(path, refuse + "/" + name);
  }
}

std::optional<double> FreeFractionOf(FreeSpace& freeSpace, const std::string& base) {
  if (base.empty()) {
    return std::nullopt;
  }
  return freeSpace.FreeFraction(base);
}

// True when the archive holds at least kMinimumClips clip movies. Counts the *.mp4 files in
// archive/s????/s????????/s????????_????, stopping as soon as the count is reached.
bool HasMinimumClips(const std::string& archive) {
  int clips = 0;
  for (const std::string& year : LevelFolders(archive, 5, 0)) {
    const std::string yearPath = archive + "/" + year;
    for (const std::string& day : LevelFolders(yearPath, 9, 0)) {
      const std::string dayPath = yearPath + "/" + day;
      for (const std::string& minute : LevelFolders(dayPath, 14, 9)) {
        const auto entries = ListFolder(dayPath + "/" + minute);
        if (!entries) {
          continue;
        }
        for (const Entry& entry : *entries) {
          if (entry.kind == EntryKind::File && entry.name.ends_with(".mp4") &&
              ++clips >= DiskCleaner::kMinimumClips) {
            return true;
          }
        }
      }
    }
  }
  return false;
}

}  // namespace

std::optional<double> StatvfsFreeSpace::FreeFraction(const std::string& path) {
  struct statvfs info;
  if (statvfs(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  const uint64_t blockSize = info.f_frsize;
  uint64_t freeBytes = 0;
  uint64_t totalBytes = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(info.f_bavail), blockSize, &freeBytes) ||
      __builtin_mul_overflow(static_cast<uint64_t>(info.f_blocks), blockSize, &totalBytes)) {
    // Beyond 16 EiB: the block counts give the same fraction.
    freeBytes = info.f_bavail;
    totalBytes = info.f_blocks;
  }
  if (totalBytes == 0) {
    return std::nullopt;
  }
  return static_cast<double>(freeBytes) / static_cast<double>(totalBytes);
}

DiskCleaner::DiskCleaner(SharedSettings& settings, FreeSpace& freeSpace, Notices& notices,
                         const ArchiveProgress* archiveProgress)
    : settings_(settings),
      freeSpace_(freeSpace),
      notices_(notices),
      archiveProgress_(archiveProgress) {}

std::optional<UtcTime> DiskCleaner::OpenClip() const {
  return archiveProgress_ != nullptr ? archiveProgress_->Read().openClip : std::nullopt;
}

void DiskCleaner::Pass() {
  const std::shared_ptr<const Settings> settings = settings_.Get();
  const std::string& setting = settings->archiveFolder;
  const std::string base = GetBaseFolder(setting);
  if (base.empty()) {
    return;  // never an "/archive" at the root of the file system
  }

  // Cut back only while the disk is fuller than diskUsage percent, unless the archive is kept
  // minimal. Free space that cannot be read deletes nothing.
  if (!settings->minimalArchive) {
    const auto freeFraction = FreeFractionOf(freeSpace_, base);
    if (!freeFraction || *freeFraction > 1 - settings->diskUsage / 100.0) {
      return;
    }
  }
  const std::string archive = base + "/archive";
  if (!HasMinimumClips(archive)) {
    return;
  }

  // The oldest year, its oldest day, its oldest minute. A year or day without any folder inside
  // is removed instead, and that is the pass's work. The minute being recorded is passed over,
  // and a day or year that holds nothing else is passed over with it.
  const MinuteNames recording = MinuteNamesOf(OpenClip());
  for (const std::string& year : FoldersOldestFirst(archive)) {
    const std::string yearPath = archive + "/" + year;
    const std::vector<std::string> days = FoldersOldestFirst(yearPath);
    if (days.empty()) {
      RemoveOrRefuse(setting, archive, year);
      return;
    }
    for (const std::string& day : days) {
      const std::string dayPath = yearPath + "/" + day;
      const std::vector<std::string> minutes = FoldersOldestFirst(dayPath);
      if (minutes.empty()) {
        RemoveOrRefuse(setting, yearPath, day);
        return;
      }
      for (const std::string& minute : minutes) {
        if (year == recording.year && day == recording.day && minute == recording.minute) {
          continue;
        }
        DeleteMinute(setting, archive, year, day, minute);
        StopWhenStillFull(base);
        return;
      }
    }
  }
}

void DiskCleaner::DeleteMinute(const std::string& setting, const std::string& archive,
                               const std::string& year, const std::string& day,
                               const std::string& minute) {
  const std::string yearPath = archive + "/" + year;
  const std::string dayPath = yearPath + "/" + day;
  // Delete the minute's entries as files; a folder inside it, or a file still open elsewhere,
  // stays, and then the minute folder itself goes to the refuse folder.
  const std::string minutePath = dayPath + "/" + minute;
  if (const auto entries = ListFolder(minutePath)) {
    for (const Entry& entry : *entries) {
      unlink((minutePath + "/" + entry.name).c_str());
    }
  }
  RemoveOrRefuse(setting, dayPath, minute);
  if (IsEmptyFolder(dayPath)) {
    RemoveOrRefuse(setting, yearPath, day);
  }
  if (IsEmptyFolder(yearPath)) {
    RemoveOrRefuse(setting, archive, year);
  }
}

void DiskCleaner::StopWhenStillFull(const std::string& base) {
  // Still nearly full after the deletion: stop detection and, after the current clip, the
  // archive. In memory only; the operator or the daily schedule turns them on again.
  const auto freeFraction = FreeFractionOf(freeSpace_, base);
  if (freeFraction && *freeFraction < kEmergencyFreeFraction) {
    const SharedSettings::Change change = settings_.Update([](Settings& s) {
      s.enabled = false;
      s.archiveAlways = false;
    });
    if (change.before->enabled || change.before->archiveAlways) {
      char percent[16];
      std::snprintf(percent, sizeof percent, "%.1f", *freeFraction * 100);
      notices_.Say(Severity::kError, kDiskTopic,
                   "The disk of " + base + " is nearly full (" + percent +
                       "% free) after the oldest archive minute was deleted: detection and "
                       "archiving are switched off.");
    }
  }
}

}  // namespace ombrix
