#include "station/night_writer.h"

#include "review/night.h"
#include "review/night_summary.h"
#include "review/web_views.h"

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
  if (!cleaned_) {
    RemoveUnfinishedNights(settings->archiveFolder);
    cleaned_ = true;
  }
  std::string why;
  switch (WriteNightFolder(*settings, ended, stop, why)) {
    case NightFolderResult::kWritten:
      notices_.Say(Severity::kInfo, kNightSummaryTopic, "Night summary written: " + date);
      if (written_) {
        written_(date, NightsFolder(settings->archiveFolder) + "/" + date);
      }
      notices_.Recovered(kNightSummaryTopic);  // ends a run of failures, silently
      done_ = date;
      break;
    case NightFolderResult::kNoArchive:
      notices_.Say(Severity::kInfo, kNightSummaryTopic,
                   "Night summary of " + date + " not written: the archive holds nothing of it.");
      done_ = date;
      break;
    case NightFolderResult::kExists:
      done_ = date;
      break;
    case NightFolderResult::kStopped:
      break;
    case NightFolderResult::kFailed:
      notices_.Failure(Severity::kWarning, kNightSummaryTopic,
                       "The night summary of " + date + " could not be written: " + why);
      failed_ = date;
      retryAt_ = now + kRetryAfterFailure;
      break;
  }
}

}  // namespace ombrix
