#include "outbox/outbox.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "base/folders.h"
#include "config/config_file.h"
#include "outbox/child_process.h"
#include "review/event_index.h"

namespace ombrix {
namespace {

// What goes wrong with the database itself (not with a delivery).
constexpr std::string_view kOutboxTopic = "outbox";
// rsync's exit codes for a transfer that failed for some of its files only: the job's own fault,
// not the collector's.
constexpr int kPartialTransfer = 23;
constexpr int kVanishedSource = 24;
// The deliverer's nice value: below the station's other threads.
constexpr int kNice = 10;
// rsync gives up on a transfer that moves nothing for this long.
constexpr int kStallSeconds = 120;

// One argument of rsync's -e command, which rsync splits at spaces itself, honouring quotes.
std::string QuoteForRsync(const std::string& text) {
  if (text.find_first_of(" '\"") == std::string::npos) {
    return text;
  }
  const char quote = text.find('\'') == std::string::npos ? '\'' : '"';
  return quote + text + quote;
}

// Where user@host:folder divides host and folder; an IPv6 address is in brackets ([::1]).
size_t HostEnd(const std::string& target) {
  const size_t bracket = target.find('[');
  return target.find(':', bracket == std::string::npos ? 0 : target.find(']', bracket));
}

// The host of user@host:folder, without the brackets of an IPv6 address.
std::string HostOf(const std::string& target) {
  std::string host = target.substr(0, HostEnd(target));
  host = host.substr(host.find('@') + 1);
  return host.starts_with('[') && host.ends_with(']') ? host.substr(1, host.size() - 2) : host;
}

// rsync's and ssh's words, on one line and not too long.
std::string Condense(const std::string& output) {
  std::string text;
  size_t start = 0;
  while (start < output.size() && text.size() < 400) {
    size_t end = output.find('\n', start);
    end = end == std::string::npos ? output.size() : end;
    std::string line = output.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
      line.pop_back();
    }
    if (!line.empty()) {
      text += (text.empty() ? "" : " / ") + line;
    }
    start = end + 1;
  }
  return text.substr(0, 400);
}

// Why a delivery failed, in the operator's words, and whether the operator must act at once (the
// collector's host key or the station's key): such a failure does not mend itself.
struct FailureText {
  std::string text;
  bool actNow = false;
};

FailureText DescribeFailure(const ChildResult& result, const Settings& settings,
                            const std::string& knownHosts) {
  const std::string host = HostOf(settings.uploadTarget);
  const std::string port = std::to_string(settings.uploadPort);
  if (!result.started) {
    return {"rsync cannot be run: " + result.output, true};
  }
  if (result.output.find("Host key verification failed") != std::string::npos) {
    const bool changed = result.output.find("HAS CHANGED") != std::string::npos;
    return {std::string(changed ? "The collector's host key has changed: "
                                : "The collector's host key is not known: ") +
                "ssh refused to connect to " + host + " port " + port + ". Add its key to " +
                knownHosts + " (for instance with \"ssh-keyscan -p " + port + " " + host + " >> " +
                knownHosts + "\") after checking its fingerprint with the collector's owner.",
            true};
  }
  if (result.output.find("Permission denied") != std::string::npos &&
      result.output.find("publickey") != std::string::npos) {
    return {"The collector " + host + " refused the station's key" +
                (settings.uploadKeyFile.empty() ? "" : " " + settings.uploadKeyFile) +
                ": add its public key to the authorized_keys of the collector's account.",
            true};
  }
  std::string text = result.signal != 0
                         ? "rsync ended by signal " + std::to_string(result.signal)
                         : "rsync ended with code " + std::to_string(result.exitCode);
  const std::string words = Condense(result.output);
  return {words.empty() ? text : text + ": " + words, false};
}

std::chrono::seconds PauseAfter(int64_t failures) {
  std::chrono::seconds pause = kUploadFirstPause;
  for (int64_t i = 1; i < failures && pause < kUploadMaxPause; ++i) {
    pause *= 2;
  }
  return std::min(pause, std::chrono::seconds(kUploadMaxPause));
}

// "2024-03-15 21:14 UTC".
std::string UtcMinuteText(UtcTime time) {
  return MinuteText(time) + " UTC";
}

}  // namespace

std::string KnownHostsFile(const Settings& settings) {
  if (!settings.uploadKnownHostsFile.empty()) {
    return settings.uploadKnownHostsFile;
  }
  const std::filesystem::path config = ConfigurationPath();
  return config.empty() ? std::string() : (config.parent_path() / "known_hosts").string();
}

std::vector<std::string> EventFileList(const std::string& eventsFolder, UtcTime key) {
  EventFilePaths paths = EventFiles(eventsFolder, MakeStamp(key));
  return {std::move(paths.eventFile), std::move(paths.peakImage), std::move(paths.movie),
          std::move(paths.timeHistory)};
}

std::vector<std::string> RsyncArguments(const Settings& settings, const OutboxJob& job,
                                        const std::string& knownHostsFile) {
  const std::string& target = settings.uploadTarget;
  const size_t colon = HostEnd(target);
  if (colon == std::string::npos || colon == 0 || target.back() == '@' ||
      target.find('@') + 1 == colon) {
    return {};
  }
  std::string ssh = "ssh -p " + std::to_string(settings.uploadPort);
  if (!settings.uploadKeyFile.empty()) {
    ssh += " -i " + QuoteForRsync(settings.uploadKeyFile) + " -o IdentitiesOnly=yes";
  }
  ssh += " -o BatchMode=yes -o StrictHostKeyChecking=yes";
  if (!knownHostsFile.empty()) {
    ssh += " -o UserKnownHostsFile=" + QuoteForRsync(knownHostsFile);
  }
  ssh += " -o ConnectTimeout=10";
  // The files are written into the partial folder and renamed into place together at the end; a
  // transfer cut short leaves its part there, and the next one goes on from it.
  std::vector<std::string> args{"rsync",
                                "--partial-dir=.ombrix-partial",
                                "--delay-updates",
                                "--mkpath",
                                "--times",
                                "--timeout=" + std::to_string(kStallSeconds),
                                "-e",
                                ssh};
  if (settings.uploadKbps > 0) {
    // Kilobits a second as bytes a second; rsync takes no less than 512.
    const int64_t bytes = std::max<int64_t>(512, int64_t{settings.uploadKbps} * 125);
    args.push_back("--bwlimit=" + std::to_string(bytes) + "b");
  }
  std::string folder = target.substr(colon + 1);
  if (!folder.empty() && folder.back() != '/') {
    folder += '/';
  }
  folder += StationName(settings);
  if (job.kind == JobKind::kNight) {
    args.push_back("--recursive");
    for (const std::string& file : job.files) {
      args.push_back(file + "/");  // the folder's files, not the folder
    }
    folder += "/nights/" + job.key + "/";
  } else {
    args.insert(args.end(), job.files.begin(), job.files.end());
    folder += "/events/";
  }
  args.push_back(target.substr(0, colon + 1) + folder);
  return args;
}

Outbox::Outbox(const SharedSettings& settings, const std::string& path, const Clock& clock,
               Notices& notices, OutboxOptions options)
    : settings_(settings), clock_(clock), notices_(notices), options_(options), store_(path, true) {
  std::lock_guard lock(storeMutex_);
  RefreshStatus();
}

Outbox::~Outbox() {
  Stop();
}

void Outbox::Start() {
  if (!thread_.joinable()) {
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
}

void Outbox::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

bool Outbox::QueueEvent(UtcTime key) {
  std::string eventsFolder;
  FolderFailure failure;
  if (!GetEventsFolder(settings_.Get()->archiveFolder, eventsFolder, &failure)) {
    notices_.Say(
        Severity::kError, kUploadTopic,
        "Event " + MakeStamp(key) + " cannot be queued for delivery: " + failure.Describe());
    return false;
  }
  return QueueJob(JobKind::kEvent, MakeStamp(key), EventFileList(eventsFolder, key));
}

bool Outbox::QueueNight(const std::string& date, const std::string& folder) {
  return QueueJob(JobKind::kNight, date, {std::filesystem::absolute(folder).string()});
}

bool Outbox::QueueJob(JobKind kind, const std::string& key, const std::vector<std::string>& files) {
  try {
    std::lock_guard lock(storeMutex_);
    store_.Queue(kind, key, files, clock_.UtcNow());
    RefreshStatus();
  } catch (const OutboxError& error) {
    notices_.Say(Severity::kError, kUploadTopic,
                 std::string(kind == JobKind::kNight ? "Night summary " : "Event ") + key +
                     " cannot be queued for delivery: " + error.what());
    return false;
  }
  Wake();
  return true;
}

OutboxStatus Outbox::Status() const {
  std::lock_guard lock(statusMutex_);
  return status_;
}

void Outbox::RefreshStatus() {
  const OutboxSummary summary = store_.Summarise();
  std::lock_guard lock(statusMutex_);
  status_.waiting = summary.waiting;
  status_.oldestWaiting = summary.oldestWaiting;
  status_.lastSuccess = summary.lastSuccess;
}

void Outbox::Wake() {
  {
    std::lock_guard lock(wakeMutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

void Outbox::Wait(std::stop_token stop, std::chrono::milliseconds wait) {
  std::unique_lock lock(wakeMutex_);
  wake_.wait_for(lock, stop, wait, [this] { return woken_; });
  woken_ = false;
}

void Outbox::Run(std::stop_token stop) {
  // This thread only (Linux keeps a nice value per thread); the programs it starts inherit it. A
  // refusal leaves it at normal, which costs detection nothing it would not share anyway.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNice);
  while (!stop.stop_requested()) {
    const std::shared_ptr<const Settings> settings = settings_.Get();
    std::optional<OutboxJob> job;
    std::chrono::milliseconds wait = options_.poll;
    try {
      std::lock_guard lock(storeMutex_);
      RefreshStatus();
      if (!settings->uploadTarget.empty()) {
        const UtcTime now = clock_.UtcNow();
        job = store_.NextDue(now);
        if (const std::optional<UtcTime> next = store_.EarliestAttempt(); !job && next) {
          wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(*next - now),
                            std::chrono::milliseconds(0), options_.poll);
        }
      }
      if (storeFailures_ == 0) {  // reading alone is no recovery: writing may still fail
        notices_.Recovered(kOutboxTopic, "The outbox can be used again.");
      }
    } catch (const OutboxError& error) {
      notices_.Failure(Severity::kError, kOutboxTopic,
                       std::string("The outbox cannot be used: ") + error.what());
    }
    if (!job) {
      Wait(stop, wait);
    } else if (Deliver(*job, stop)) {
      storeFailures_ = 0;
    } else {
      // What was delivered or failed could not be written down (a full disk, a read-only or
      // locked database): the pause grows as for a failing collector.
      Wait(stop, PauseAfter(++storeFailures_));
    }
  }
}

bool Outbox::Deliver(const OutboxJob& job, std::stop_token stop) {
  const std::shared_ptr<const Settings> settings = settings_.Get();
  const std::string what =
      job.kind == JobKind::kNight ? "The night summary " + job.key : "Event " + job.key;
  std::string missing;
  for (const std::string& file : job.files) {
    std::error_code error;  // a file that cannot be looked at (no permission) is not gone
    if (!std::filesystem::exists(file, error) && !error) {
      missing += (missing.empty() ? "" : ", ") + std::filesystem::path(file).filename().string();
    }
  }
  try {
    const UtcTime now = clock_.UtcNow();
    if (!missing.empty()) {
      std::lock_guard lock(storeMutex_);
      store_.MarkDropped(job.id, "deleted before delivery: " + missing, now);
      RefreshStatus();
      notices_.Say(Severity::kWarning, kUploadTopic,
                   what + " was deleted before it was delivered (" + missing +
                       " missing): its delivery is dropped.");
      return true;
    }
    const std::string knownHosts = KnownHostsFile(*settings);
    const std::vector<std::string> args = RsyncArguments(*settings, job, knownHosts);
    if (args.empty()) {
      const std::string problem = "uploadTarget \"" + settings->uploadTarget +
                                  "\" is not of the form user@host:folder: nothing is delivered.";
      if (!std::exchange(configurationSaid_, true)) {
        notices_.Failure(Severity::kError, kUploadTopic, problem);
      }
      Failed(job, problem, false, *settings, now);
      return true;
    }
    const ChildResult result = ChildProcess::Run(args, stop, options_.deliveryLimit);
    if (result.stopped) {
      return true;
    }
    if (result.exitCode == 0) {
      Delivered(job, clock_.UtcNow());
      return true;
    }
    const FailureText failure = DescribeFailure(result, *settings, knownHosts);
    if (failure.actNow && !std::exchange(configurationSaid_, true)) {
      notices_.Failure(Severity::kError, kUploadTopic, failure.text);
    }
    // Some files failed: the job's own fault, unless another job failed so too since the last
    // delivery (then it is the collector's, such as a folder it does not let the station write).
    const bool partly = result.exitCode == kPartialTransfer || result.exitCode == kVanishedSource;
    const bool jobOnly = partly && (!partlyFailed_ || *partlyFailed_ == job.id);
    if (partly) {
      partlyFailed_ = job.id;
    }
    Failed(job, failure.text, jobOnly, *settings, clock_.UtcNow());
  } catch (const OutboxError& error) {
    notices_.Failure(Severity::kError, kOutboxTopic,
                     std::string("The outbox cannot be used: ") + error.what());
    return false;
  }
  return true;
}

void Outbox::Delivered(const OutboxJob& job, UtcTime now) {
  std::lock_guard lock(storeMutex_);
  store_.MarkDone(job.id, now);
  if (failures_ > 0) {
    // The collector answers again: what waited out a pause goes now.
    store_.MakeAllDue(now);
  }
  RefreshStatus();
  failures_ = 0;
  failingSince_.reset();
  failureSaid_.reset();
  configurationSaid_ = false;
  partlyFailed_.reset();
  notices_.Recovered(kUploadTopic, "Delivery to the collector works again.");
}

void Outbox::Failed(const OutboxJob& job, const std::string& error, bool jobOnly,
                    const Settings& settings, UtcTime now) {
  const std::chrono::seconds pause = PauseAfter(jobOnly ? job.attempts + 1 : ++failures_);
  size_t waiting = 0;
  std::optional<UtcTime> oldest;
  {
    std::lock_guard lock(storeMutex_);
    store_.MarkFailed(job.id, error, now + pause);
    if (!jobOnly) {
      store_.PostponeAll(now + pause);
    }
    RefreshStatus();
    const OutboxStatus status = Status();
    waiting = status.waiting;
    oldest = status.oldestWaiting;
  }
  if (!failingSince_) {
    failingSince_ = now;
  }
  const bool due = failureSaid_ ? now - *failureSaid_ >= kUploadFailureRepeat
                                : now - *failingSince_ >= kUploadFailureNotice;
  if (due) {
    failureSaid_ = now;
    const auto hours = std::chrono::duration_cast<std::chrono::hours>(now - *failingSince_);
    notices_.Failure(Severity::kError, kUploadTopic,
                     "Delivery to the collector " + settings.uploadTarget + " has failed for " +
                         std::to_string(hours.count()) + " hour(s); " + std::to_string(waiting) +
                         " job(s) wait" +
                         (oldest ? ", the oldest since " + UtcMinuteText(*oldest) : std::string()) +
                         ". The last failure: " + error);
  }
}

}  // namespace ombrix
