#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "base/relaxed.h"

namespace ombrix {

// A daily time of day, hour 0..23, minute and second 0..59.
struct alignas(4) TimeOfDay {
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
  uint8_t unused = 0;

  int SecondsSinceMidnight() const { return hour * 3600 + minute * 60 + second; }
  friend bool operator==(const TimeOfDay&, const TimeOfDay&) = default;
};

// A path shared between the window thread, which replaces it, and the worker threads that read it.
class GuardedPath {
 public:
  std::string get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(std::string value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }

 private:
  mutable std::mutex mutex_;
  std::string value_;
};

// The one settings record of the station. Field names are the keys of config.txt and the order
// below is the order in which the file is written. Every field but the two paths is read and
// written by several threads without a lock; each is a relaxed atomic, so a reader sees either
// the old or the new value of a field and no consistency across fields is promised.
struct Settings {
  Relaxed<bool> pseudoColor{false};
  Relaxed<bool> preferComposites{false};
  Relaxed<bool> enabled{false};
  Relaxed<bool> minimalArchive{false};
  Relaxed<bool> archiveAlways{false};
  Relaxed<bool> showTrackingBox{true};
  Relaxed<int32_t> slowdownFactor{1};
  Relaxed<int32_t> hourlyRate{12};
  Relaxed<uint32_t> pngIntegrationFactor{1};
  Relaxed<uint32_t> diskUsage{50};
  Relaxed<int32_t> threshold{30};
  Relaxed<int32_t> triggerGap{10};
  Relaxed<int32_t> triggerSumBegin{12};
  Relaxed<int32_t> triggerSumEnd{5};
  Relaxed<int32_t> triggerCountBegin{2};
  Relaxed<int32_t> triggerCountEnd{2};
  Relaxed<int32_t> maxEventTime{30};
  Relaxed<int32_t> daysToKeep{99};
  Relaxed<uint32_t> captureDeviceIndex{0};
  Relaxed<TimeOfDay> enableTime{};
  Relaxed<TimeOfDay> disableTime{};
  Relaxed<bool> enableDisableTimeIsLocal{true};
  Relaxed<double> calRotation{0};
  Relaxed<double> calDegPerPixel0{0};
  Relaxed<double> calDegPerPixel1{0.375};
  Relaxed<double> calDegPerPixel2{0};
  Relaxed<double> calDegPerPixel3{0};
  Relaxed<double> calApparentLatitude{0};
  Relaxed<double> calApparentLongitude{0};
  Relaxed<double> calTrueLatitude{0};
  Relaxed<double> calTrueLongitude{0};
  Relaxed<double> calCOPx{320};
  Relaxed<double> calCOPy{240};
  GuardedPath maskFile;       // UTF-8 path of the mask image; empty for none
  GuardedPath archiveFolder;  // base folder of the archive; empty for the default
};

}  // namespace ombrix
