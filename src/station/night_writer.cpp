#include "station/night_writer.h"

#include <algorithm>

#include "base/folders.h"
#include "review/night.h"
#include "review/night_summary.h"
#include "review/web_views.h"
#include "storage/event_extractor.h"

namespace ombrix {

NightWriter::NightWriter(const SharedSettings& settings, const Clock& clock, Notices& notices,
                         Written written)
    : settings_(settings), clock_(clock), notices_(notices), written_(std::move(written)) {}

void NightWriter::Pass(std::stop_token stop) {
  const PickerInterval current = NightAt(clock_.UtcNow());
  const PickerInterval ended = NightAt(current.start - std::chrono::milliseconds(1));
  const std::string date = NightDate(ended);
  const auto now = std::chrono::steady_clock::now();
  if (date == done_ || (date == failed_ && now < retryAt_)) {
    return;
  }
  const std::shared_ptr<const Settings> settings = settings_.Get();
  const std::string& archive = settings->archiveFolder;
  if (!cleaned_) {
    RemoveUnfinishedNights(archive);
    cleaned_ = true;
  }
  // Summaries are kept as long as events: the newest daysToKeep nights (at least the one that
  // ended; none is deleted while daysToKeep is negative, or reaches back before 1970). Half a day
  // into the night that many nights back is inside it whatever clock changes lie between.
  const int32_t keep = settings->daysToKeep < 0
                           ? kMaxDaysToKeep
                           : std::clamp(settings->daysToKeep, 1, kMaxDaysToKeep);
  if (const UtcTime gone = ended.start - std::chrono::days(keep) + std::chrono::hours(12);
      settings->daysToKeep >= 0 && gone > UtcTime{}) {
    const PickerInterval newestGone = NightAt(gone);
    const NightsRemoved expired =
        RemoveNightsEndedBefore(archive, newestGone.end + std::chrono::milliseconds(1));
    for (const std::string& removed : expired.removed) {
      notices_.Say(Severity::kInfo, kNightSummaryTopic,
                   "Night summary deleted (older than daysToKeep): " + removed);
    }
    for (const auto& [kept, why] : expired.failed) {
      notices_.Failure(Severity::kWarning, kNightSummaryTopic,
                       "The night summary of " + kept + " could not be deleted: " + why);
    }
  }
  // The night that ended, then the older ones the archive still holds whole that have no summary
  // (the station was off at their noon, or has just been installed), newest first. The night the
  // oldest archive minute falls in is left: the cleaner has likely taken its start already.
  const std::optional<UtcTime> oldest = OldestArchiveMinute(archive);
  PickerInterval night = ended;
  for (int32_t back = 0;
       back == 0 || (oldest && night.start >= *oldest && back < keep && !stop.stop_requested());
       ++back, night = NightAt(night.start - std::chrono::milliseconds(1))) {
    const std::string nightDate = NightDate(night);
    std::string why;
    switch (WriteNightFolder(*settings, night, stop, why)) {
      case NightFolderResult::kWritten:
        notices_.Say(Severity::kInfo, kNightSummaryTopic, "Night summary written: " + nightDate);
        if (written_) {
          written_(nightDate, NightsFolder(archive) + "/" + nightDate);
        }
        notices_.Recovered(kNightSummaryTopic);  // ends a run of failures, silently
        break;
      case NightFolderResult::kNoArchive:
        if (back == 0) {
          notices_.Say(
              Severity::kInfo, kNightSummaryTopic,
              "Night summary of " + nightDate + " not written: the archive holds nothing of it.");
        }
        break;
      case NightFolderResult::kExists:
        break;
      case NightFolderResult::kStopped:
        return;  // the next pass begins again
      case NightFolderResult::kFailed:
        notices_.Failure(Severity::kWarning, kNightSummaryTopic,
                         "The night summary of " + nightDate + " could not be written: " + why);
        failed_ = date;
        retryAt_ = now + kRetryAfterFailure;
        return;
    }
  }
  done_ = date;
}

}  // namespace ombrix
