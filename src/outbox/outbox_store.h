#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/utc_time.h"

struct sqlite3;
struct sqlite3_stmt;

namespace ombrix {

// The database of delivery jobs in the base folder.
inline constexpr const char* kOutboxFileName = "outbox.sqlite";

// What the database could not do: the call and SQLite's own message.
class OutboxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class JobKind { kEvent, kNight };
enum class JobState { kWaiting, kDone, kDropped };

// "event", "night"; "waiting", "done", "dropped": as stored and as listed.
const char* JobKindName(JobKind kind);
const char* JobStateName(JobState state);

// One delivery: the files of an event (key: its Stamp) or the folder of a night summary (key: its
// date), sent together.
struct OutboxJob {
  int64_t id = 0;  // 1, 2, ... in the order queued
  JobKind kind = JobKind::kEvent;
  std::string key;
  std::vector<std::string> files;  // absolute paths
  UtcTime queued{};
  int64_t attempts = 0;  // deliveries tried and failed
  UtcTime nextAttempt{};
  std::string lastError;  // empty until one failed
  JobState state = JobState::kWaiting;
  std::optional<UtcTime> done;  // when delivered or dropped
};

// The figures of the outbox as a whole.
struct OutboxSummary {
  size_t waiting = 0;
  size_t done = 0;
  size_t dropped = 0;
  std::optional<UtcTime> oldestWaiting;  // when the oldest waiting job was queued
  std::optional<UtcTime> lastSuccess;    // when the newest delivery was done
};

namespace detail {
struct DatabaseCloser {
  void operator()(sqlite3* db) const noexcept;
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const noexcept;
};
}  // namespace detail

// One prepared statement of a connection, used over and over.
class SqlStatement {
 public:
  SqlStatement(sqlite3* db, const char* sql);

  // One run of the statement: binds, steps, reads the row's columns. Its end resets the
  // statement, so that no read snapshot outlives the call that needed it (a snapshot held open
  // would hide what another process committed since).
  class Run {
   public:
    explicit Run(SqlStatement& statement) : statement_(statement) {}
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    Run& Bind(int index, int64_t value);
    Run& Bind(int index, const std::string& text);
    // True with a row to read, false when the statement has run to its end.
    bool Step();
    int64_t Int(int column) const;
    std::string Text(int column) const;
    bool Null(int column) const;

   private:
    SqlStatement& statement_;
  };

 private:
  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, detail::StatementFinalizer> statement_;
};

// The durable queue of delivery jobs: an SQLite database in WAL mode whose every change is on the
// disk when the call returns (synchronous=FULL), so a job once queued survives a crash or a power
// cut. Several processes may open it at once (the station delivering, `ombrix outbox retry`);
// SQLite serialises their writes and each waits up to kBusyWait for the other.
//
// Every failure of the database throws OutboxError. One thread at a time uses an object.
class OutboxStore {
 public:
  static constexpr int kBusyWaitMs = 5000;

  // Opens the database at path; creates it (and its table) when create is set, else a missing
  // file is an error.
  OutboxStore(const std::string& path, bool create);
  ~OutboxStore();
  OutboxStore(const OutboxStore&) = delete;
  OutboxStore& operator=(const OutboxStore&) = delete;

  // Commits every change made while it lives at its end, in one write; rolled back when left by
  // an exception. For many jobs queued at once.
  class Transaction {
   public:
    explicit Transaction(OutboxStore& store);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

   private:
    OutboxStore& store_;
    bool open_ = true;
  };

  // A waiting job, due at once. Returns its id.
  int64_t Queue(JobKind kind, const std::string& key, const std::vector<std::string>& files,
                UtcTime now);
  // The oldest waiting job whose next attempt is not after now.
  std::optional<OutboxJob> NextDue(UtcTime now);
  // The earliest next attempt of the waiting jobs.
  std::optional<UtcTime> EarliestAttempt();
  void MarkDone(int64_t id, UtcTime now);
  void MarkDropped(int64_t id, const std::string& why, UtcTime now);
  // A failed attempt: counted, its error kept, the next one not before `next`.
  void MarkFailed(int64_t id, const std::string& error, UtcTime next);
  // Every waiting job due before `until` waits until then (the collector cannot be reached).
  void PostponeAll(UtcTime until);
  // Every waiting job is due at now. Returns how many wait.
  size_t MakeAllDue(UtcTime now);
  OutboxSummary Summarise();
  // The waiting and dropped jobs, oldest first.
  std::vector<OutboxJob> ListUndelivered();

 private:
  void Execute(const char* sql);

  std::unique_ptr<sqlite3, detail::DatabaseCloser> db_;
  // After db_: finalised before the connection closes.
  std::unique_ptr<SqlStatement> queue_, nextDue_, earliest_, done_, dropped_, failed_, postpone_,
      allDue_, count_, oldest_, lastSuccess_, list_;
};

}  // namespace ombrix
