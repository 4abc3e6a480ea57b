#include "review/composite.h"

#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/folders.h"
#include "detect/event_file.h"
#include "review/replay.h"
#include "review/review_values.h"

namespace ombrix {
namespace {

// Runs one review routine on this thread and copies what it showed into picture.
template <typename Routine>
int MakeStill(const Settings& settings, uint8_t* picture, Routine routine) {
  ReviewValues values;
  ReviewContext context{settings, values, {}, nullptr, nullptr, nullptr};
  const int pictures = routine(context);
  ShownValues shown;
  if (pictures == 0 || !values.Copy(picture, &shown)) {
    std::memset(picture, 0, kFrameBytes);
    return 0;
  }
  return pictures;
}

}  // namespace

int ComposeEvent(const Settings& settings, const std::string& eventPath, uint8_t* picture) {
  const std::string key = EventKey(eventPath);
  std::string eventsFolder;
  std::error_code error;
  if (!key.empty() && GetEventsFolder(settings.archiveFolder, eventsFolder) &&
      std::filesystem::exists(eventsFolder + "/j" + key + ".jpg", error)) {
    return MakeStill(settings, picture, [&](ReviewContext& context) {
      return ShowEventComposite(context, eventsFolder + "/j" + key + ".jpg");
    });
  }
  const std::optional<EventTimes> times = ReadEventFile(eventPath);
  if (!times) {
    std::memset(picture, 0, kFrameBytes);
    return 0;
  }
  return MakeStill(settings, picture, [&](ReviewContext& context) {
    return CompositeArchive(context, times->first - kReviewWindowWiden,
                            times->last + kReviewWindowWiden);
  });
}

int ComposeInterval(const Settings& settings, const PickerInterval& interval, uint8_t* picture) {
  return MakeStill(settings, picture, [&](ReviewContext& context) {
    return CompositeArchive(context, interval.start - kReviewWindowWiden,
                            interval.end + kReviewWindowWiden);
  });
}

int AverageInterval(const Settings& settings, const PickerInterval& interval, uint8_t* picture) {
  return MakeStill(settings, picture, [&](ReviewContext& context) {
    return AverageComposite(context, interval.start, interval.end);
  });
}

}  // namespace ombrix
