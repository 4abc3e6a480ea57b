#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

namespace ombrix {

// config.txt: one "key:value" line per setting, CR LF line ends, written in the order of the
// fields of Settings (adaptiveThreshold, which came later, only when it is not the default). Bools
// are "true"/"false", integers plain decimal, doubles "%g" (six significant digits), times of day
// "H M S" without padding, paths the rest of the line as UTF-8.

// What start-up says (topic kConfigTopic) when reading ends on a bad line; the window shows it in
// a box.
inline constexpr std::string_view kConfigTopic = "config";
inline constexpr const char* kConfigReadFailed = "Reading configuration file failed.";

enum class ConfigReadResult {
  Ok,      // the file was read (lines that do not parse were skipped)
  NoFile,  // no folder, no file, or no regular file that can be read: the record keeps its
           // defaults
  Failed,  // an enableTime or disableTime out of range ended the reading at that line; the fields
           // read before keep their new values. Start-up shows "Reading configuration file failed."
};

// What reading found wrong, one sentence each, for start-up to say once (as warnings of
// kConfigProblemTopic): every line ignored and why ("config.txt line 3: threshold -5 is outside 1
// to 255; threshold stays 30; the line is ignored."), every value moved to its field's limit, and
// a file that exists but is no regular file or cannot be read. A missing file is no problem. At
// most kMaxConfigProblems lines are named, then how many more there were.
using ConfigProblems = std::vector<std::string>;
inline constexpr std::string_view kConfigProblemTopic = "config-line";
inline constexpr size_t kMaxConfigProblems = 20;

// The file that ReadConfiguration(settings) and SaveConfiguration(settings) use: the path given
// here (ombrix --config PATH), or LocalDataFolder() + "/config.txt" while none is given (empty
// text). Set it before the station starts; it may be read from any thread.
void SetConfigurationPath(const std::string& path);
// The file those two use now; empty text when no home folder is known and no path was given.
std::string ConfigurationPath();

// Fills the record from the file at path. Lines may come in any order; the last line of a key wins;
// unknown keys (case counts) are skipped, and so is a value the station cannot use (a threshold
// below 1, a trigger gap of 0 or 64, a calibration coefficient of 1e300). A UTF-8 byte-order mark
// at the start is ignored. A FIFO or other special file is never opened for a wait: only a
// regular file is read. The problems go to *problems when given.
ConfigReadResult ReadConfiguration(Settings& settings, const std::string& path,
                                   ConfigProblems* problems = nullptr);
// The same from ConfigurationPath().
ConfigReadResult ReadConfiguration(Settings& settings, ConfigProblems* problems = nullptr);

// Writes the whole record to the file at path, replacing it atomically: the new text goes to a
// temporary file in the same folder first, so a crash in the middle never leaves half a file. The
// folder must exist. False when the file cannot be written; the caller reports nothing.
bool SaveConfiguration(const Settings& settings, const std::string& path);
// The same to ConfigurationPath(). The default file's folder (and the data folder above it) is
// created when missing; the folder of a path given with SetConfigurationPath must exist.
bool SaveConfiguration(const Settings& settings);

}  // namespace ombrix
