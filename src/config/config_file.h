#pragma once

#include <string>

#include "config/settings.h"

namespace ombrix {

// config.txt: one "key:value" line per setting, CR LF line ends, written in the order of the
// fields of Settings. Bools are "true"/"false", integers plain decimal, doubles "%g" (six
// significant digits), times of day "H M S" without padding, paths the rest of the line as UTF-8.

enum class ConfigReadResult {
  Ok,      // the file was read (lines that do not parse were skipped)
  NoFile,  // no folder, no file, or the file cannot be opened: the record keeps its defaults
  Failed,  // an enableTime or disableTime out of range ended the reading at that line; the fields
           // read before keep their new values. Start-up shows "Reading configuration file failed."
};

// Fills the record from the file at path. Lines may come in any order; the last line of a key wins;
// unknown keys (case counts) are skipped.
ConfigReadResult ReadConfiguration(Settings& settings, const std::string& path);
// The same from LocalDataFolder() + "/config.txt".
ConfigReadResult ReadConfiguration(Settings& settings);

// Writes the whole record to the file at path, replacing it atomically: the new text goes to a
// temporary file in the same folder first, so a crash in the middle never leaves half a file. The
// folder must exist. False when the file cannot be written; the caller reports nothing.
bool SaveConfiguration(const Settings& settings, const std::string& path);
// The same to LocalDataFolder() + "/config.txt", creating that folder (and the data folder above
// it) when missing.
bool SaveConfiguration(const Settings& settings);

}  // namespace ombrix
