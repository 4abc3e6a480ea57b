#pragma once

#include <optional>
#include <string>

#include "base/notice.h"
#include "config/settings.h"
#include "storage/archive_recorder.h"

namespace ombrix {

// Free space of a volume, behind a seam so that tests can play a full disk.
class FreeSpace {
 public:
  virtual ~FreeSpace() = default;
  // Bytes available to the calling user divided by the size of the volume that holds `path`;
  // nullopt when it cannot be read.
  virtual std::optional<double> FreeFraction(const std::string& path) = 0;
};

// statvfs(): f_bavail and f_blocks, each times f_frsize, as exact 64-bit byte counts.
class StatvfsFreeSpace final : public FreeSpace {
 public:
  std::optional<double> FreeFraction(const std::string& path) override;
};

// Retention of the archive: keeps the volume of the base folder from filling up by deleting the
// oldest archive minute, one per pass, and switches detection and archiving off when the disk
// stays nearly full. The disk thread runs Pass() every kPassInterval_ms; nothing is kept between
// passes. Runs alone on its thread and takes no lock: what the recorder or a reader still holds
// open fails to delete, and its folder then goes to the refuse folder. The minute folder of the
// clip being recorded is never deleted, even when it sorts as the oldest (a clock stepped back):
// the next oldest minute goes instead. Switching detection and archiving off is said (an error of
// kDiskTopic): the station no longer records until the operator or the schedule turns them on.
inline constexpr std::string_view kDiskTopic = "disk";

class DiskCleaner {
 public:
  static constexpr int kPassInterval_ms = 10000;
  static constexpr int kMinimumClips = 500;
  static constexpr double kEmergencyFreeFraction = 0.05;

  // All must outlive the cleaner; without the recorder's progress no folder is spared.
  DiskCleaner(SharedSettings& settings, FreeSpace& freeSpace, Notices& notices,
              const ArchiveProgress* archiveProgress = nullptr);
  DiskCleaner(const DiskCleaner&) = delete;
  DiskCleaner& operator=(const DiskCleaner&) = delete;

  // One retention pass. Reads minimalArchive, diskUsage and archiveFolder of one settings
  // record; may set enabled and archiveAlways to false.
  void Pass();

 private:
  // The time of the clip being recorded; none when none is.
  std::optional<UtcTime> OpenClip() const;
  // Deletes one minute folder's files and the folder, then its day and year when left empty.
  void DeleteMinute(const std::string& setting, const std::string& archive, const std::string& year,
                    const std::string& day, const std::string& minute);
  // After a deletion: a disk still nearly full switches detection and archiving off.
  void StopWhenStillFull(const std::string& base);

  SharedSettings& settings_;
  FreeSpace& freeSpace_;
  Notices& notices_;
  const ArchiveProgress* archiveProgress_;
};

}  // namespace ombrix
