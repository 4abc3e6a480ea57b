#include "app/review_commands.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "app/headless.h"
#include "base/clock.h"
#include "base/folders.h"
#include "config/config_file.h"
#include "detect/event_file.h"
#include "media/codec_lock.h"
#include "review/display_image.h"
#include "review/event_listing.h"
#include "review/export.h"
#include "review/recalculate.h"
#include "review/replay.h"
#include "review/reviewer.h"
#include "storage/calibration_settings.h"
#include "storage/event_extractor.h"

namespace ombrix {
namespace {

constexpr int kOk = 0;
constexpr int kNothing = 1;
constexpr int kBadArguments = 2;

// How long `mark` may spend cutting its stretch.
constexpr std::chrono::minutes kMarkCutBound{10};

class BadArguments {
 public:
  explicit BadArguments(std::string text) : text_(std::move(text)) {}
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  const std::string lower = Lower(text);
  return lower.size() >= tail.size() &&
         lower.compare(lower.size() - tail.size(), tail.size(), tail) == 0;
}

bool Exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

// The words of a command: its positional arguments and its --name value options.
struct Words {
  std::vector<std::string> positional;
  std::optional<UtcTime> from;
  std::optional<std::string> duration;
  std::optional<bool> pseudoColor;
  std::optional<bool> trackingBox;
};

bool OnOff(const std::string& name, const std::string& value) {
  if (value == "on") {
    return true;
  }
  if (value == "off") {
    return false;
  }
  throw BadArguments(name + " takes on or off, not '" + value + "'");
}

Words ReadWords(const std::vector<std::string>& args, const std::vector<std::string>& allowed) {
  Words words;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      words.positional.push_back(arg);
      continue;
    }
    if (std::find(allowed.begin(), allowed.end(), arg) == allowed.end()) {
      throw BadArguments("unknown option '" + arg + "' for " + args[0]);
    }
    if (i + 1 >= args.size()) {
      throw BadArguments(arg + " needs a value");
    }
    const std::string& value = args[++i];
    if (arg == "--from") {
      words.from = ParseIsoUtc(value);
      if (!words.from) {
        throw BadArguments("--from needs an ISO 8601 UTC time such as 2024-03-15T21:14:50Z, not '" +
                           value + "'");
      }
    } else if (arg == "--duration") {
      if (value.empty() || value.size() > 9 ||
          value.find_first_not_of("0123456789") != std::string::npos) {
        throw BadArguments("--duration needs a whole number of seconds, not '" + value + "'");
      }
      words.duration = value;
    } else if (arg == "--pseudo-color") {
      words.pseudoColor = OnOff(arg, value);
    } else {
      words.trackingBox = OnOff(arg, value);
    }
  }
  return words;
}

PickerInterval IntervalOf(const Words& words) {
  if (!words.from || !words.duration) {
    throw BadArguments("give the stretch with --from TIME --duration SECONDS");
  }
  return ReadPickerInterval(*words.from, *words.duration);
}

void ExpectPositional(const Words& words, size_t count, const char* usage) {
  if (words.positional.size() != count) {
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

// The window of the command line: boxes become lines on err; frames are counted.
class ConsoleWindow final : public ReviewWindow {
 public:
  explicit ConsoleWindow(std::ostream& err) : err_(err) {}
  void ShowInfo(const std::string& text) override { err_ << text << '\n'; }
  void HideLiveVideo() override {}
  void FileFailed(const std::string& action, const std::string& path,
                  const std::string& reason) override {
    err_ << action << ": " << path << ": " << reason << '\n';
  }
  void FrameReady() override {}
  void ReplayEnded() override {}

 private:
  std::ostream& err_;
};

// The configured settings; a failed reading is said on err.
Settings ReadSettings(std::ostream& err) {
  Settings settings;
  if (ReadConfiguration(settings) == ConfigReadResult::Failed) {
    err << kConfigReadFailed << '\n';
  }
  return settings;
}

// What one command needs: the configured settings, the events folder and review values.
struct Session {
  explicit Session(std::ostream& err) : window(err), shared(ReadSettings(err)) {
    archiveFolder = settings.archiveFolder;
    haveEvents = GetEventsFolder(archiveFolder, eventsFolder);
  }
  std::string EventPath(char letter, const std::string& key) const {
    const char* extension = letter == 'e'   ? ".txt"
                            : letter == 'j' ? ".jpg"
                            : letter == 'm' ? ".mp4"
                                            : ".csv";
    return eventsFolder + "/" + letter + key + extension;
  }
  ReviewContext Context() {
    return ReviewContext{settings, review, nullptr, nullptr, nullptr, std::nullopt};
  }

  ConsoleWindow window;
  SharedSettings shared;
  const std::shared_ptr<const Settings> snapshot = shared.Get();
  const Settings& settings = *snapshot;
  ReviewValues review;
  std::string archiveFolder;
  std::string eventsFolder;
  bool haveEvents = false;
};

int NoEventsFolder(std::ostream& err) {
  err << "The events folder cannot be had.\n";
  return kNothing;
}

int Events(const Words& words, std::ostream& out, std::ostream& err) {
  ExpectPositional(words, 0, "events");
  Session session(err);
  const auto listing = ListEvents(session.archiveFolder);
  if (listing.empty()) {
    err << kNoEvents << '\n';
    return kNothing;
  }
  for (const std::string& path : listing) {
    const std::string key = EventKey(path);
    const auto times = ReadEventFile(path);
    char line[160];
    if (times) {
      const double duration_s = std::chrono::duration<double>(times->last - times->first).count();
      std::snprintf(line, sizeof line, "%s  %s  %s  %8.3f  ", key.c_str(),
                    MakeStamp(times->first).c_str(), MakeStamp(times->last).c_str(), duration_s);
    } else {
      std::snprintf(line, sizeof line, "%s  %-19s  %-19s  %8s  ", key.c_str(), "?", "?", "?");
    }
    out << line;
    out << (Exists(session.EventPath('j', key)) ? 'j' : '-')
        << (Exists(session.EventPath('m', key)) ? 'm' : '-')
        << (Exists(session.EventPath('c', key)) ? 'c' : '-') << '\n';
  }
  return kOk;
}

int Export(const Words& words, std::ostream& out, std::ostream& err) {
  ExpectPositional(words, 2,
                   "export KEY OUT.mp4|OUT.mpg [--pseudo-color on|off] "
                   "[--tracking-box on|off]");
  const std::string key = KeyOf(words.positional[0]);
  const std::string& output = words.positional[1];
  if (!EndsWith(output, ".mp4") && !EndsWith(output, ".mpg")) {
    throw BadArguments("the movie must end in .mp4 or .mpg: '" + output + "'");
  }
  Session session(err);
  if (!session.haveEvents) {
    return NoEventsFolder(err);
  }
  const ExportOutcome outcome =
      ExportEventMovie(session.settings, session.EventPath('e', key), output,
                       words.pseudoColor.value_or(session.settings.pseudoColor),
                       words.trackingBox.value_or(session.settings.showTrackingBox));
  switch (outcome.result) {
    case ExportResult::kWritten:
      out << "Exported " << outcome.frames << " frames of event " << key << " to " << output
          << '\n';
      return kOk;
    case ExportResult::kNoMovie:
      err << "Save Movie: event " << key << " has no movie (no such event, or not cut yet).\n";
      return kNothing;
    case ExportResult::kFailed:
    case ExportResult::kCancelled:
      break;
  }
  session.window.FileFailed("Save Movie", output, outcome.reason);
  return kNothing;
}

// Saves what the review put on display; 0 when it showed nothing.
int SaveShown(Session& session, int shown, const std::string& output, const char* what,
              std::ostream& out, std::ostream& err) {
  if (shown == 0) {
    err << what << ": nothing in the archive for that stretch.\n";
    return kNothing;
  }
  auto picture = std::make_unique<uint8_t[]>(kFrameBytes);
  if (!session.review.replayFrame.CopyTo(picture.get()) ||
      !SaveDisplayImage(output, picture.get(), session.settings.pseudoColor)) {
    session.window.FileFailed("Save Image", output, "the image could not be written");
    return kNothing;
  }
  out << what << " of " << shown << " picture(s) saved to " << output << '\n';
  return kOk;
}

int Composite(const Words& words, std::ostream& out, std::ostream& err) {
  Session session(err);
  ReviewContext context = session.Context();
  if (words.from || words.duration) {
    ExpectPositional(words, 1, "composite --from TIME --duration SECONDS OUT.png|OUT.jpg");
    ExpectImagePath(words.positional[0]);
    const PickerInterval interval = IntervalOf(words);
    const int folded = CompositeArchive(context, interval.start - kReviewWindowWiden,
                                        interval.end + kReviewWindowWiden);
    return SaveShown(session, folded, words.positional[0], "Composite", out, err);
  }
  ExpectPositional(words, 2, "composite KEY OUT.png|OUT.jpg");
  const std::string key = KeyOf(words.positional[0]);
  ExpectImagePath(words.positional[1]);
  if (!session.haveEvents) {
    return NoEventsFolder(err);
  }
  int shown = 0;
  if (Exists(session.EventPath('j', key))) {
    shown = ShowEventComposite(context, session.EventPath('j', key));
  } else if (const auto times = ReadEventFile(session.EventPath('e', key))) {
    shown = CompositeArchive(context, times->first - kReviewWindowWiden,
                             times->last + kReviewWindowWiden);
  } else {
    err << "Composite: no event " << key << ".\n";
    return kNothing;
  }
  return SaveShown(session, shown, words.positional[1], "Composite", out, err);
}

int Average(const Words& words, std::ostream& out, std::ostream& err) {
  ExpectPositional(words, 1, "average --from TIME --duration SECONDS OUT.png|OUT.jpg");
  ExpectImagePath(words.positional[0]);
  const PickerInterval interval = IntervalOf(words);
  Session session(err);
  ReviewContext context = session.Context();
  const int folded = AverageComposite(context, interval.start, interval.end);
  return SaveShown(session, folded, words.positional[0], "Average composite", out, err);
}

int Recalc(const Words& words, std::ostream& out, std::ostream& err) {
  ExpectPositional(words, 1, "recalc KEY");
  const std::string key = KeyOf(words.positional[0]);
  Session session(err);
  if (!session.haveEvents) {
    return NoEventsFolder(err);
  }
  const std::string path = session.EventPath('c', key);
  const RecalculateOutcome outcome =
      RecalculateTimeHistory(path, CalibrationFromSettings(session.settings));
  switch (outcome.result) {
    case RecalculateResult::kRewritten:
      out << "Recalculated " << outcome.lines << " line(s) of " << path << '\n';
      return kOk;
    case RecalculateResult::kNoFile:
      err << "Recalculate: event " << key << " has no time history.\n";
      return kNothing;
    case RecalculateResult::kUnparsable:
      session.window.FileFailed(
          "Recalculate", path,
          "line " + std::to_string(outcome.lines) + " cannot be read; the file is left as it was");
      return kNothing;
    case RecalculateResult::kWriteFailed:
      break;
  }
  session.window.FileFailed("Recalculate", path, outcome.reason + "; the file is left as it was");
  return kNothing;
}

int Mark(const Words& words, std::ostream& out, std::ostream& err) {
  ExpectPositional(words, 0, "mark --from TIME --duration SECONDS");
  const PickerInterval interval = IntervalOf(words);
  Session session(err);
  EventList eventList;
  Reviewer reviewer(session.shared, session.review, session.window, &eventList);
  if (!reviewer.Save(interval)) {
    return kNothing;
  }
  const Stamp start = MakeStamp(interval.start);
  out << "Event saved: " << start << " to " << MakeStamp(interval.end) << '\n';
  // No station runs in this process: cut the stretch as the archive thread would.
  SystemClock clock;
  ArchiveProgress idle;
  Notices notices;  // why a cut failed
  notices.SetSink([&err](const Notice& notice) { err << notice.text << '\n'; });
  EventExtractor extractor(session.shared, eventList, session.review, clock, idle, notices);
  if (extractor.DrainAll(kMarkCutBound) != 0) {
    err << "Event " << start << " could not be cut.\n";
    return kNothing;
  }
  out << "Event cut: " << start << '\n';
  return kOk;
}

int Delete(const Words& words, std::ostream& out, std::ostream& err) {
  ExpectPositional(words, 1, "delete KEY");
  const std::string key = KeyOf(words.positional[0]);
  Session session(err);
  if (!session.haveEvents) {
    return NoEventsFolder(err);
  }
  const std::string eventPath = session.EventPath('e', key);
  if (!Exists(eventPath)) {
    err << "Delete: no event " << key << ".\n";
    return kNothing;
  }
  std::string reason;
  if (!RemoveEventPath(eventPath, reason)) {
    session.window.FileFailed("Delete", eventPath, reason);
    return kNothing;
  }
  WriteFailure failure;
  if (!RemoveEventCompanions(session.eventsFolder, key, failure)) {
    session.window.FileFailed("Delete", failure.path, failure.reason);
    return kNothing;
  }
  out << "Deleted event " << key << '\n';
  return kOk;
}

}  // namespace

bool IsReviewCommand(const std::vector<std::string>& args) {
  static const char* const kCommands[] = {"events", "export", "composite", "average",
                                          "recalc", "mark",   "delete"};
  return !args.empty() &&
         std::find(std::begin(kCommands), std::end(kCommands), args[0]) != std::end(kCommands);
}

int RunReviewCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  QuietMediaLibraryLog();
  try {
    const std::string& verb = args.at(0);
    if (verb == "events") {
      return Events(ReadWords(args, {}), out, err);
    }
    if (verb == "export") {
      return Export(ReadWords(args, {"--pseudo-color", "--tracking-box"}), out, err);
    }
    if (verb == "composite") {
      return Composite(ReadWords(args, {"--from", "--duration"}), out, err);
    }
    if (verb == "average") {
      return Average(ReadWords(args, {"--from", "--duration"}), out, err);
    }
    if (verb == "recalc") {
      return Recalc(ReadWords(args, {}), out, err);
    }
    if (verb == "mark") {
      return Mark(ReadWords(args, {"--from", "--duration"}), out, err);
    }
    if (verb == "delete") {
      return Delete(ReadWords(args, {}), out, err);
    }
    throw BadArguments("unknown command '" + verb + "'");
  } catch (const BadArguments& bad) {
    err << "ombrix: " << bad.text() << "\n\n" << ReviewUsage();
    return kBadArguments;
  }
}

std::string ReviewUsage() {
  return "Usage: review of the stored events (on the base folder of config.txt):\n"
         "  ombrix events                list the events: key, start, end, seconds, j/m/c files\n"
         "  ombrix export KEY OUT.mp4|OUT.mpg [--pseudo-color on|off] [--tracking-box on|off]\n"
         "                               re-encode the event's movie (defaults: the settings)\n"
         "  ombrix composite KEY OUT.png|OUT.jpg\n"
         "                               the event's composite (its peak image, or the archive's)\n"
         "  ombrix composite --from TIME --duration S OUT.png|OUT.jpg\n"
         "                               composite of the archive's peak images (1.5 s wider)\n"
         "  ombrix average --from TIME --duration S OUT.png|OUT.jpg\n"
         "                               fold the integrated images of that stretch\n"
         "  ombrix recalc KEY            recompute azimuth and elevation of the time history\n"
         "  ombrix mark --from TIME --duration S\n"
         "                               store the stretch as an event and cut it from the "
         "archive\n"
         "  ombrix delete KEY            delete the event's e, c, j and m files\n"
         "  KEY is an event's Stamp (YYYYMMDD_hhmmss_mmm); TIME is UTC, e.g. "
         "2024-03-15T21:14:50Z.\n"
         "  --config PATH names the configuration file (and so the base folder) to use.\n"
         "  Exit code 0 on success, 1 when there is nothing to act on, 2 on bad arguments.\n";
}

}  // namespace ombrix
