#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/notice.h"
#include "base/utc_time.h"
#include "config/settings.h"
#include "outbox/outbox_store.h"

namespace ombrix {

// The topic of everything said about deliveries to the collector.
inline constexpr std::string_view kUploadTopic = "upload";

// Delivery fails this long before the operator is told, and is then told again this often.
inline constexpr std::chrono::hours kUploadFailureNotice{1};
inline constexpr std::chrono::hours kUploadFailureRepeat{24};
// The pause after the first failed delivery; each further failure doubles it, up to the cap.
inline constexpr std::chrono::seconds kUploadFirstPause{10};
inline constexpr std::chrono::seconds kUploadMaxPause{600};

// What the outbox shows of itself: cheap to read from any thread.
struct OutboxStatus {
  size_t waiting = 0;
  std::optional<UtcTime> oldestWaiting;  // when the oldest waiting job was queued
  std::optional<UtcTime> lastSuccess;
};

struct OutboxOptions {
  // How often the deliverer looks into the database without being woken: jobs made due by
  // another process (`ombrix outbox retry`) are found within it.
  std::chrono::milliseconds poll{2000};
  // The most one delivery may take; rsync's own --timeout ends a transfer that stalls sooner.
  std::chrono::milliseconds deliveryLimit{std::chrono::hours(2)};
};

// The rsync command that delivers a job's files for these settings: over ssh with the key and
// the known hosts file, strict host key checking, no questions asked; written into a partial
// folder and renamed into place at the end, so that the collector never sees half a file; into
// STATIONNAME/events/ (an event) or STATIONNAME/nights/DATE/ (a night summary's folder) under the
// target's folder, made when missing. knownHostsFile is the file in use (the setting, or its
// default). Empty when the target is not of the form user@host:folder (or host:folder).
std::vector<std::string> RsyncArguments(const Settings& settings, const OutboxJob& job,
                                        const std::string& knownHostsFile);

// The known hosts file in use: uploadKnownHostsFile, or "known_hosts" beside config.txt.
std::string KnownHostsFile(const Settings& settings);

// The four files of the event of key, as a delivery job lists them.
std::vector<std::string> EventFileList(const std::string& eventsFolder, UtcTime key);

// The durable outbox and its deliverer: jobs are queued into the database of the base folder
// (see OutboxStore) and delivered, oldest first, by an owned thread that runs rsync for each.
//
// A failed delivery is tried again after a pause that doubles from kUploadFirstPause up to
// kUploadMaxPause. When the collector cannot be reached every waiting job waits out the pause (so
// the queue keeps its order); a failure of one job's own files (rsync's partial transfer) delays
// only that job, unless the job before failed so too. After kUploadFailureNotice of failing, and
// every kUploadFailureRepeat after that, the operator is told (a failure of kUploadTopic); a host
// key that is not known or a key that is refused is said at once, with how to put it right. The
// first delivery after a failure that was said is said once. A job whose files are gone (the event
// deleted by retention or by the operator) is dropped and said. A delivered job is marked done; its
// files stay.
//
// The deliverer wakes at once on a new job, and looks into the database every options.poll
// meanwhile (`ombrix outbox retry` makes the waiting jobs due from another process). It runs, with
// its rsync and ssh, at a lowered priority (nice 10), so that it never takes time from detection.
// Stop() ends a delivery in progress (the rsync is ended and reaped; its job stays waiting, and
// rsync resumes its partial file next time).
//
// Queue* and Status may be called from any thread. The settings, clock and notices must
// outlive the object.
class Outbox {
 public:
  // Opens (or creates) the database at path; throws OutboxError when it cannot be used.
  Outbox(const SharedSettings& settings, const std::string& path, const Clock& clock,
         Notices& notices, OutboxOptions options = {});
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Starts the deliverer; once.
  void Start();
  // Stops and joins it. Safe to call twice and without Start.
  void Stop();

  // Queues the delivery of an event's files from the events folder the settings name now;
  // false (said) when it could not be queued.
  bool QueueEvent(UtcTime key);
  // Queues the delivery of a night summary's folder (its files, not the folder itself).
  bool QueueNight(const std::string& date, const std::string& folder);
  OutboxStatus Status() const;

 private:
  bool QueueJob(JobKind kind, const std::string& key, const std::vector<std::string>& files);
  void Run(std::stop_token stop);
  // Delivers one job (or leaves it waiting when stopped in the middle); false when the database
  // failed, so that the next try waits.
  bool Deliver(const OutboxJob& job, std::stop_token stop);
  void Delivered(const OutboxJob& job, UtcTime now);
  void Failed(const OutboxJob& job, const std::string& error, bool jobOnly,
              const Settings& settings, UtcTime now);
  void Wait(std::stop_token stop, std::chrono::milliseconds wait);
  void Wake();
  // Reads the figures of Status() from the database. With storeMutex_ held.
  void RefreshStatus();

  const SharedSettings& settings_;
  const Clock& clock_;
  Notices& notices_;
  OutboxOptions options_;
  std::mutex storeMutex_;  // the connection, between the deliverer and the queueing threads
  OutboxStore store_;
  mutable std::mutex statusMutex_;
  OutboxStatus status_;  // under statusMutex_
  std::mutex wakeMutex_;
  bool woken_ = false;  // under wakeMutex_
  std::condition_variable_any wake_;
  // The deliverer's own: the current run of failures.
  int failures_ = 0;
  std::optional<UtcTime> failingSince_;
  std::optional<UtcTime> failureSaid_;
  bool configurationSaid_ = false;
  // The job whose last delivery failed for some of its files only, until one is delivered.
  std::optional<int64_t> partlyFailed_;
  int storeFailures_ = 0;  // deliveries in a row whose outcome could not be stored
  std::jthread thread_;    // last: stopped and joined before the rest goes
};

}  // namespace ombrix
