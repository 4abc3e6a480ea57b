#include "app/review_commands.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "app/outbox_commands.h"
#include "base/clock.h"
#include "base/folders.h"
#include "base/frame.h"
#include "config/config_file.h"
#include "review/composite.h"
#include "review/display_image.h"
#include "review/event_listing.h"
#include "review/export.h"
#include "review/night_summary.h"
#include "review/recalculate.h"
#include "review/review_session.h"
#include "station/mark.h"

namespace ombrix {
namespace {

constexpr int kOk = 0;
constexpr int kNothing = 1;
constexpr int kBadArguments = 2;

class BadArguments {
 public:
  explicit BadArguments(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

bool EndsWith(const std::string& text, const std::string& tail) {
  std::string lower = text;
  for (char& c : lower) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return lower.ends_with(tail);
}

PickerInterval IntervalOf(const CommandLine& command) {
  if (!command.from || !command.stretch_s) {
    throw BadArguments("give the stretch with --from TIME --duration SECONDS");
  }
  return ReadPickerInterval(*command.from, std::to_string(*command.stretch_s));
}

void ExpectPositional(const CommandLine& command, size_t count, const char* usage) {
  if (command.positional.size() != count) {
    throw BadArguments(std::string("usage: ombrix ") + usage);
  }
}

std::string KeyOf(const std::string& text) {
  if (!ParseStamp(text)) {
    throw BadArguments("'" + text + "' is not an event key (YYYYMMDD_hhmmss_mmm)");
  }
  return text;
}

void ExpectImagePath(const std::string& path) {
  if (!EndsWith(path, ".png") && !EndsWith(path, ".jpg") && !EndsWith(path, ".jpeg")) {
    throw BadArguments("the image must end in .png or .jpg: '" + path + "'");
  }
}

// What one command works on: the configured settings and the events folder.
struct Session {
  explicit Session(std::ostream& errors) : err(errors) {
    Settings read;
    if (ReadConfiguration(read) == ConfigReadResult::Failed) {
      err << kConfigReadFailed << '\n';
    }
    shared.Update([&read](Settings& s) { s = read; });
    settings = shared.Get();
    haveEvents = GetEventsFolder(settings->archiveFolder, eventsFolder);
  }
  std::string EventPath(char letter, const std::string& key) const {
    const char* extension = letter == 'e'   ? ".txt"
                            : letter == 'j' ? ".jpg"
                            : letter == 'm' ? ".mp4"
                                            : ".csv";
    return eventsFolder + "/" + letter + key + extension;
  }
  // The messages the window shows in a box.
  int Failed(const std::string& action, const std::string& path, const std::string& reason) {
    err << action << ": " << path << ": " << reason << '\n';
    return kNothing;
  }
  int Nothing(const std::string& text) {
    err << text << '\n';
    return kNothing;
  }

  std::ostream& err;
  SharedSettings shared;
  std::shared_ptr<const Settings> settings;
  std::string eventsFolder;
  bool haveEvents = false;
};

constexpr const char* kNoEventsFolder = "The events folder cannot be had.";

int Events(const CommandLine& command, std::ostream& out, std::ostream& err) {
  ExpectPositional(command, 0, "events");
  Session session(err);
  const std::vector<EventSummary> events = SummariseEvents(session.settings->archiveFolder);
  if (events.empty()) {
    return session.Nothing(kNoEvents);
  }
  for (const EventSummary& event : events) {
    char line[160];
    if (event.first && event.last) {
      const double duration_s = std::chrono::duration<double>(*event.last - *event.first).count();
      std::snprintf(line, sizeof line, "%s  %s  %s  %8.3f  ", event.key.c_str(),
                    MakeStamp(*event.first).c_str(), MakeStamp(*event.last).c_str(), duration_s);
    } else {
      std::snprintf(line, sizeof line, "%s  %-19s  %-19s  %8s  ", event.key.c_str(), "?", "?", "?");
    }
    out << line << (event.image ? 'j' : '-') << (event.movie ? 'm' : '-')
        << (event.history ? 'c' : '-') << "  " << event.verdict << '\n';
  }
  return kOk;
}

int Export(const CommandLine& command, std::ostream& out, std::ostream& err) {
  ExpectPositional(command, 2,
                   "export KEY OUT.mp4|OUT.mpg [--pseudo-color on|off] [--tracking-box on|off]");
  const std::string key = KeyOf(command.positional[0]);
  const std::string& output = command.positional[1];
  if (!EndsWith(output, ".mp4") && !EndsWith(output, ".mpg")) {
    throw BadArguments("the movie must end in .mp4 or .mpg: '" + output + "'");
  }
  Session session(err);
  if (!session.haveEvents) {
    return session.Nothing(kNoEventsFolder);
  }
  const Settings& settings = *session.settings;
  const ExportOutcome outcome =
      ExportEventMovie(settings, session.EventPath('e', key), output,
                       command.pseudoColor.value_or(settings.pseudoColor),
                       command.trackingBox.value_or(settings.showTrackingBox));
  switch (outcome.result) {
    case ExportResult::kWritten:
      out << "Exported " << outcome.frames << " frames of event " << key << " to " << output
          << '\n';
      return kOk;
    case ExportResult::kNoMovie:
      return session.Nothing("Save Movie: event " + key +
                             " has no movie (no such event, or not cut yet).");
    case ExportResult::kNoFrames:
      return session.Nothing("Save Movie: the movie of event " + key +
                             " holds no picture; nothing was written.");
    case ExportResult::kFailed:
    case ExportResult::kCancelled:
      break;
  }
  return session.Failed("Save Movie", output, outcome.reason);
}

// Saves a composite made of `pictures` pictures; 1 when there were none.
int SaveComposite(Session& session, int pictures, const uint8_t* picture, const std::string& output,
                  const char* what, std::ostream& out) {
  if (pictures == 0) {
    return session.Nothing(std::string(what) + ": nothing in the archive for that stretch.");
  }
  if (!SaveDisplayImage(output, picture, session.settings->pseudoColor)) {
    return session.Failed("Save Image", output, "the image could not be written");
  }
  out << what << " of " << pictures << " picture(s) saved to " << output << '\n';
  return kOk;
}

int Composite(const CommandLine& command, std::ostream& out, std::ostream& err) {
  auto picture = std::make_unique<uint8_t[]>(kFrameBytes);
  if (command.from || command.stretch_s) {
    ExpectPositional(command, 1, "composite --from TIME --duration SECONDS OUT.png|OUT.jpg");
    ExpectImagePath(command.positional[0]);
    const PickerInterval interval = IntervalOf(command);
    Session session(err);
    const int pictures = ComposeInterval(*session.settings, interval, picture.get());
    return SaveComposite(session, pictures, picture.get(), command.positional[0], "Composite", out);
  }
  ExpectPositional(command, 2, "composite KEY OUT.png|OUT.jpg");
  const std::string key = KeyOf(command.positional[0]);
  ExpectImagePath(command.positional[1]);
  Session session(err);
  if (!session.haveEvents) {
    return session.Nothing(kNoEventsFolder);
  }
  const std::string eventPath = session.EventPath('e', key);
  std::error_code error;
  if (!std::filesystem::exists(eventPath, error) &&
      !std::filesystem::exists(session.EventPath('j', key), error)) {
    return session.Nothing("Composite: no event " + key + ".");
  }
  const int pictures = ComposeEvent(*session.settings, eventPath, picture.get());
  return SaveComposite(session, pictures, picture.get(), command.positional[1], "Composite", out);
}

int Average(const CommandLine& command, std::ostream& out, std::ostream& err) {
  ExpectPositional(command, 1, "average --from TIME --duration SECONDS OUT.png|OUT.jpg");
  ExpectImagePath(command.positional[0]);
  const PickerInterval interval = IntervalOf(command);
  Session session(err);
  auto picture = std::make_unique<uint8_t[]>(kFrameBytes);
  const int pictures = AverageInterval(*session.settings, interval, picture.get());
  return SaveComposite(session, pictures, picture.get(), command.positional[0], "Average composite",
                       out);
}

int Recalc(const CommandLine& command, std::ostream& out, std::ostream& err) {
  ExpectPositional(command, 1, "recalc KEY");
  const std::string key = KeyOf(command.positional[0]);
  Session session(err);
  if (!session.haveEvents) {
    return session.Nothing(kNoEventsFolder);
  }
  const std::string path = session.EventPath('c', key);
  const RecalculateOutcome outcome = RecalculateTimeHistory(path, *session.settings);
  switch (outcome.result) {
    case RecalculateResult::kRewritten:
      out << "Recalculated " << outcome.lines << " line(s) of " << path << '\n';
      return kOk;
    case RecalculateResult::kNoFile:
      return session.Nothing("Recalculate: event " + key + " has no time history.");
    case RecalculateResult::kUnparsable:
      return session.Failed(
          "Recalculate", path,
          "line " + std::to_string(outcome.lines) + " cannot be read; the file is left as it was");
    case RecalculateResult::kWriteFailed:
      break;
  }
  return session.Failed("Recalculate", path, outcome.reason + "; the file is left as it was");
}

int Mark(const CommandLine& command, std::ostream& out, std::ostream& err) {
  ExpectPositional(command, 0, "mark --from TIME --duration SECONDS");
  const PickerInterval interval = IntervalOf(command);
  Session session(err);
  Notices notices;  // why a cut failed
  notices.SetSink([&session](const Notice& notice) { session.err << notice.text << '\n'; });
  const MarkOutcome outcome = MarkStretch(
      session.shared, interval.start, interval.end, notices,
      [&session] { session.err << "Waiting for the station to record the stretch...\n"; });
  if (outcome.result != MarkResult::kCut) {
    return session.Nothing(outcome.text);
  }
  out << "Event saved: " << MakeStamp(interval.start) << " to " << MakeStamp(interval.end) << '\n'
      << outcome.text << '\n';
  return kOk;
}

int Delete(const CommandLine& command, std::ostream& out, std::ostream& err) {
  ExpectPositional(command, 1, "delete KEY");
  const std::string key = KeyOf(command.positional[0]);
  Session session(err);
  if (!session.haveEvents) {
    return session.Nothing(kNoEventsFolder);
  }
  const std::string eventPath = session.EventPath('e', key);
  std::error_code error;
  if (!std::filesystem::exists(eventPath, error)) {
    return session.Nothing("Delete: no event " + key + ".");
  }
  std::string reason;
  if (!RemoveEventPath(eventPath, reason)) {
    return session.Failed("Delete", eventPath, reason);
  }
  WriteFailure failure;
  if (!RemoveEventCompanions(session.eventsFolder, key, failure)) {
    return session.Failed("Delete", failure.path, failure.reason);
  }
  out << "Deleted event " << key << '\n';
  return kOk;
}

int MaskLearn(const CommandLine& command, std::ostream& out, std::ostream& err) {
  const std::string& output = command.positional[2];
  if (!EndsWith(output, ".png")) {
    throw BadArguments("the mask must end in .png, which keeps its red exact: '" + output + "'");
  }
  Settings settings;  // the threshold, trigger gap and capture device in use
  if (ReadConfiguration(settings) == ConfigReadResult::Failed) {
    err << kConfigReadFailed << '\n';
  }
  std::optional<std::chrono::milliseconds> duration;
  if (command.learnSeconds || command.source.kind != SourceKind::kFile) {
    duration = std::chrono::milliseconds(std::llround(command.learnSeconds.value_or(60) * 1000));
  }
  Notices notices;
  notices.SetSink([&err](const Notice& notice) { err << notice.text << '\n'; });
  const std::optional<LearntMask> learnt =
      LearnMaskFromSource(command.source, settings, duration, notices);
  if (!learnt) {
    return kNothing;  // said
  }
  if (!WriteLearntMask(output, *learnt)) {
    err << "Learn Mask: " << output << ": the mask image could not be written\n";
    return kNothing;
  }
  char line[160];
  std::snprintf(line, sizeof line, "Learnt from %lld frames (%.1f s of video): %lld pixels masked",
                static_cast<long long>(learnt->frames), learnt->seconds,
                static_cast<long long>(learnt->MaskedPixels()));
  out << line << "; written to " << output << '\n';
  return kOk;
}

int NightCommand(const CommandLine& command, std::ostream& out, std::ostream& err) {
  constexpr const char* kUsage = "night [DATE] OUTDIR [--from TIME --duration SECONDS]";
  if (command.positional.empty() || command.positional.size() > 2) {
    throw BadArguments(std::string("usage: ombrix ") + kUsage);
  }
  const bool dated = command.positional.size() == 2;
  const bool stretched = command.from || command.stretch_s;
  if (dated && stretched) {
    throw BadArguments("give either DATE or --from and --duration, not both");
  }
  PickerInterval stretch = stretched ? IntervalOf(command) : NightAt(SystemClock().UtcNow());
  if (dated) {
    const std::optional<PickerInterval> night = NightOfDateText(command.positional[0]);
    if (!night) {
      throw BadArguments("'" + command.positional[0] + "' is not a date (YYYY-MM-DD)");
    }
    stretch = *night;
  }
  Session session(err);
  const Night night = GatherNight(session.settings->archiveFolder, stretch);
  const std::string span = MakeStamp(stretch.start) + " to " + MakeStamp(stretch.end);
  if (night.images.empty() && night.archiveMinutes == 0) {
    return session.Nothing("Night: the archive holds nothing from " + span + ".");
  }
  const std::string& folder = command.positional.back();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    return session.Failed("Night", folder, error.message());
  }
  const NightSummary summary = WriteNightSummary(*session.settings, night, folder);
  if (!summary.failed.empty()) {
    return session.Failed("Night", summary.failed, "could not be written");
  }
  out << "Night " << span << ": " << summary.pictures.images << " integrated image(s), "
      << night.archiveMinutes << " archive minute(s), " << night.gaps.size() << " gap(s), "
      << night.events.size() << " event(s); written to " << folder << '\n';
  return kOk;
}

int OutboxCommand(const CommandLine& command, std::ostream& out, std::ostream& err) {
  const bool retry = command.positional.size() == 1 && command.positional[0] == "retry";
  if (!command.positional.empty() && !retry) {
    throw BadArguments("usage: ombrix outbox [retry]");
  }
  Session session(err);
  return RunOutbox(session.settings->archiveFolder, retry, out, err);
}

}  // namespace

int RunReviewCommand(const CommandLine& command, std::ostream& out, std::ostream& err) {
  using Verb = int (*)(const CommandLine&, std::ostream&, std::ostream&);
  const std::pair<const char*, Verb> verbs[] = {
      {"events", Events},       {"export", Export},  {"composite", Composite},
      {"average", Average},     {"recalc", Recalc},  {"mark", Mark},
      {"delete", Delete},       {"mask", MaskLearn}, {"night", NightCommand},
      {"outbox", OutboxCommand}};
  try {
    for (const auto& [name, run] : verbs) {
      if (command.verb == name) {
        return run(command, out, err);
      }
    }
    throw BadArguments("unknown command '" + command.verb + "'");
  } catch (const BadArguments& bad) {
    err << "ombrix: " << bad.text() << "\n\n" << Usage();
    return kBadArguments;
  }
}

}  // namespace ombrix
