#pragma once

#include <optional>
#include <string>

#include "base/utc_time.h"

namespace ombrix {

// The folder tree under the base folder:
//   base/events                       event files, flat
//   base/refuse                       archive folders that could not be removed
//   base/archive/sYYYY/sYYYYMMDD/sYYYYMMDD_hhmm   the clips whose first frame falls in that minute
// Every function takes the archiveFolder setting as it stands and keeps no state, so a change of
// the setting takes effect on the next call. Paths are joined with a single '/'.

// The per-user documents folder: $XDG_DOCUMENTS_DIR when set and not empty, else the
// XDG_DOCUMENTS_DIR entry of $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config, "$HOME"
// expanded), else $HOME/Documents. Empty text when no home folder is known.
std::string DocumentsFolder();

// $XDG_DATA_HOME (when set and not empty; else $HOME/.local/share) + "/Ombrix": where config.txt
// lives. Empty text when no home folder is known.
std::string LocalDataFolder();

// The archiveFolder setting when that folder exists; when it is empty or does not exist, the
// documents folder + "/Ombrix", created when missing. A configured folder is never created. When
// the configured folder cannot be examined for another reason (no permission), the setting as it
// stands. Empty text when there is no setting and no documents folder.
std::string GetBaseFolder(const std::string& archiveFolderSetting);

// Whether GetBaseFolder passes over the archiveFolder setting for the default, and why: for the
// operator's notice (an unmounted disk sends a night of recording to the system disk). A setting
// that names something other than a folder is not passed over, but nothing can be stored under
// it: error ENOTDIR without fallsBack. Makes nothing.
struct BaseFolderFallback {
  bool fallsBack = false;  // a setting is given and cannot be used: the default is taken instead
  int error = 0;           // errno of the examination of the configured folder
  friend bool operator==(const BaseFolderFallback&, const BaseFolderFallback&) = default;
};
BaseFolderFallback ExamineBaseFolderSetting(const std::string& archiveFolderSetting);

// Where and why a folder could not be had: the path that failed and the errno of the failure
// (0 with an empty path: there is no base folder, for want of a home folder).
struct FolderFailure {
  std::string path;
  int error = 0;
  // "cannot make the folder /x/archive: Permission denied", or "no base folder is known".
  std::string Describe() const;
};

// base + "/events", created when missing. False when the base folder is empty text or the
// creation fails; failure, when given, then says where and why.
bool GetEventsFolder(const std::string& archiveFolderSetting, std::string& path,
                     FolderFailure* failure = nullptr);

// base + "/refuse", created when missing; no failure is reported. Empty text when the base folder
// is empty text.
std::string GetRefuseFolder(const std::string& archiveFolderSetting);

// The minute folder of a Stamp. Walks archive, year, day, minute; a missing level makes the call
// fail unless create is set, in which case it is created (false when that fails; failure, when
// given, then says where and why).
bool GetArchiveMinuteFolder(const std::string& archiveFolderSetting, std::string& path,
                            const Stamp& stamp, bool create, FolderFailure* failure = nullptr);

// The time of the first archive file letter + Stamp + extension after the given time, searching
// the time's minute folder, then following minutes while their folders exist, stepping from a
// missing minute folder to the next minute's and then to the first minute of the next day;
// nullopt when none is found. A clip that begins exactly at second 0 of a later minute is found.
// Only names of the form letter + Stamp + extension count. Pairs in use: "s" ".mp4", "t" ".jpg",
// "a" ".png".
std::optional<UtcTime> FindNextArchiveTime(const std::string& archiveFolderSetting, UtcTime after,
                                           const char* letter, const char* extension);

}  // namespace ombrix
