#include "outbox/outbox_store.h"

#include <sqlite3.h>

#include <string_view>

namespace ombrix {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS jobs ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " kind TEXT NOT NULL CHECK (kind IN ('event', 'night')),"
    " key TEXT NOT NULL,"
    " files TEXT NOT NULL,"
    " queued INTEGER NOT NULL,"
    " attempts INTEGER NOT NULL DEFAULT 0,"
    " next_attempt INTEGER NOT NULL,"
    " last_error TEXT NOT NULL DEFAULT '',"
    " state TEXT NOT NULL DEFAULT 'waiting' CHECK (state IN ('waiting', 'done', 'dropped')),"
    " done INTEGER);"
    "CREATE INDEX IF NOT EXISTS jobs_by_state ON jobs (state, id);"
    "CREATE INDEX IF NOT EXISTS jobs_due ON jobs (state, next_attempt);"
    "CREATE INDEX IF NOT EXISTS jobs_done ON jobs (state, done);";

constexpr const char* kColumns =
    "id, kind, key, files, queued, attempts, next_attempt, last_error, state, done";

int64_t Millis(UtcTime time) {
  return time.time_since_epoch().count();
}

UtcTime FromMillis(int64_t ms) {
  return UtcTime(std::chrono::milliseconds(ms));
}

std::string JoinFiles(const std::vector<std::string>& files) {
  std::string joined;
  for (const std::string& file : files) {
    joined += joined.empty() ? "" : "\n";
    joined += file;
  }
  return joined;
}

std::vector<std::string> SplitFiles(const std::string& joined) {
  std::vector<std::string> files;
  size_t start = 0;
  while (start < joined.size()) {
    size_t end = joined.find('\n', start);
    end = end == std::string::npos ? joined.size() : end;
    files.push_back(joined.substr(start, end - start));
    start = end + 1;
  }
  return files;
}

[[noreturn]] void Fail(sqlite3* db, std::string_view what) {
  throw OutboxError(std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "no memory"));
}

OutboxJob ReadJob(const SqlStatement::Run& run) {
  OutboxJob job;
  job.id = run.Int(0);
  job.kind = run.Text(1) == "night" ? JobKind::kNight : JobKind::kEvent;
  job.key = run.Text(2);
  job.files = SplitFiles(run.Text(3));
  job.queued = FromMillis(run.Int(4));
  job.attempts = run.Int(5);
  job.nextAttempt = FromMillis(run.Int(6));
  job.lastError = run.Text(7);
  const std::string state = run.Text(8);
  job.state = state == "done"      ? JobState::kDone
              : state == "dropped" ? JobState::kDropped
                                   : JobState::kWaiting;
  if (!run.Null(9)) {
    job.done = FromMillis(run.Int(9));
  }
  return job;
}

}  // namespace

const char* JobKindName(JobKind kind) {
  return kind == JobKind::kNight ? "night" : "event";
}

const char* JobStateName(JobState state) {
  switch (state) {
    case JobState::kDone:
      return "done";
    case JobState::kDropped:
      return "dropped";
    case JobState::kWaiting:
      break;
  }
  return "waiting";
}

void detail::DatabaseCloser::operator()(sqlite3* db) const noexcept {
  sqlite3_close_v2(db);  // the statements are finalised first; nothing is left to fail
}

void detail::StatementFinalizer::operator()(sqlite3_stmt* statement) const noexcept {
  sqlite3_finalize(statement);  // repeats the last step's error, already dealt with
}

SqlStatement::SqlStatement(sqlite3* db, const char* sql) : db_(db) {
  sqlite3_stmt* prepared = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &prepared, nullptr) != SQLITE_OK) {
    Fail(db, std::string("preparing ") + sql);
  }
  statement_.reset(prepared);
}

SqlStatement::Run::~Run() {
  // The return values repeat the outcome of the last step, which Step() has checked.
  sqlite3_reset(statement_.statement_.get());
  sqlite3_clear_bindings(statement_.statement_.get());
}

SqlStatement::Run& SqlStatement::Run::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(statement_.statement_.get(), index, value) != SQLITE_OK) {
    Fail(statement_.db_, "binding a number");
  }
  return *this;
}

SqlStatement::Run& SqlStatement::Run::Bind(int index, const std::string& text) {
  if (sqlite3_bind_text(statement_.statement_.get(), index, text.data(),
                        static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
    Fail(statement_.db_, "binding a text");
  }
  return *this;
}

bool SqlStatement::Run::Step() {
  const int result = sqlite3_step(statement_.statement_.get());
  if (result == SQLITE_ROW) {
    return true;
  }
  if (result != SQLITE_DONE) {
    Fail(statement_.db_, sqlite3_sql(statement_.statement_.get()));
  }
  return false;
}

int64_t SqlStatement::Run::Int(int column) const {
  return sqlite3_column_int64(statement_.statement_.get(), column);
}

std::string SqlStatement::Run::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_.statement_.get(), column);
  if (text == nullptr && sqlite3_errcode(statement_.db_) == SQLITE_NOMEM) {
    Fail(statement_.db_, "reading a text");
  }
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

bool SqlStatement::Run::Null(int column) const {
  return sqlite3_column_type(statement_.statement_.get(), column) == SQLITE_NULL;
}

OutboxStore::OutboxStore(const std::string& path, bool create) {
  sqlite3* opened = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  const int result = sqlite3_open_v2(path.c_str(), &opened, flags, nullptr);
  db_.reset(opened);  // closed also when the open failed
  if (result != SQLITE_OK) {
    Fail(opened, "opening " + path);
  }
  if (sqlite3_busy_timeout(db_.get(), kBusyWaitMs) != SQLITE_OK) {
    Fail(db_.get(), "setting the busy wait");
  }
  // WAL lets the station deliver while `ombrix outbox` reads; FULL puts every commit on the disk.
  Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
  Execute(kSchema);
  const std::string columns = kColumns;
  auto prepare = [this](const std::string& sql) {
    return std::make_unique<SqlStatement>(db_.get(), sql.c_str());
  };
  queue_ = prepare(
      "INSERT INTO jobs (kind, key, files, queued, next_attempt) VALUES (?1, ?2, ?3, ?4, ?4)");
  nextDue_ = prepare("SELECT " + columns +
                     " FROM jobs WHERE state = 'waiting' AND next_attempt <= ?1"
                     " ORDER BY id LIMIT 1");
  earliest_ = prepare("SELECT MIN(next_attempt) FROM jobs WHERE state = 'waiting'");
  done_ = prepare("UPDATE jobs SET state = 'done', done = ?2 WHERE id = ?1");
  dropped_ = prepare("UPDATE jobs SET state = 'dropped', done = ?3, last_error = ?2 WHERE id = ?1");
  failed_ = prepare(
      "UPDATE jobs SET attempts = attempts + 1, last_error = ?2, next_attempt = ?3 WHERE id = ?1");
  postpone_ =
      prepare("UPDATE jobs SET next_attempt = ?1 WHERE state = 'waiting' AND next_attempt < ?1");
  allDue_ = prepare("UPDATE jobs SET next_attempt = ?1 WHERE state = 'waiting'");
  count_ = prepare("SELECT state, COUNT(*) FROM jobs GROUP BY state");
  oldest_ = prepare("SELECT queued FROM jobs WHERE state = 'waiting' ORDER BY id LIMIT 1");
  lastSuccess_ = prepare("SELECT MAX(done) FROM jobs WHERE state = 'done'");
  list_ =
      prepare("SELECT " + columns + " FROM jobs WHERE state IN ('waiting', 'dropped') ORDER BY id");
}

OutboxStore::~OutboxStore() = default;

void OutboxStore::Execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message != nullptr ? message : sqlite3_errmsg(db_.get());
    sqlite3_free(message);
    throw OutboxError(std::string(sql) + ": " + text);
  }
}

OutboxStore::Transaction::Transaction(OutboxStore& store) : store_(store) {
  store_.Execute("BEGIN IMMEDIATE");
}

OutboxStore::Transaction::~Transaction() {
  if (open_) {
    // Leaving by an exception: nothing of it is kept. A failed rollback leaves SQLite to roll
    // back when the connection closes.
    sqlite3_exec(store_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void OutboxStore::Transaction::Commit() {
  store_.Execute("COMMIT");
  open_ = false;
}

int64_t OutboxStore::Queue(JobKind kind, const std::string& key,
                           const std::vector<std::string>& files, UtcTime now) {
  SqlStatement::Run run(*queue_);
  run.Bind(1, std::string(JobKindName(kind))).Bind(2, key).Bind(3, JoinFiles(files));
  run.Bind(4, Millis(now)).Step();
  return sqlite3_last_insert_rowid(db_.get());
}

std::optional<OutboxJob> OutboxStore::NextDue(UtcTime now) {
  SqlStatement::Run run(*nextDue_);
  run.Bind(1, Millis(now));
  if (!run.Step()) {
    return std::nullopt;
  }
  return ReadJob(run);
}

std::optional<UtcTime> OutboxStore::EarliestAttempt() {
  SqlStatement::Run run(*earliest_);
  if (!run.Step() || run.Null(0)) {
    return std::nullopt;
  }
  return FromMillis(run.Int(0));
}

void OutboxStore::MarkDone(int64_t id, UtcTime now) {
  SqlStatement::Run(*done_).Bind(1, id).Bind(2, Millis(now)).Step();
}

void OutboxStore::MarkDropped(int64_t id, const std::string& why, UtcTime now) {
  SqlStatement::Run(*dropped_).Bind(1, id).Bind(2, why).Bind(3, Millis(now)).Step();
}

void OutboxStore::MarkFailed(int64_t id, const std::string& error, UtcTime next) {
  SqlStatement::Run(*failed_).Bind(1, id).Bind(2, error).Bind(3, Millis(next)).Step();
}

void OutboxStore::PostponeAll(UtcTime until) {
  SqlStatement::Run(*postpone_).Bind(1, Millis(until)).Step();
}

size_t OutboxStore::MakeAllDue(UtcTime now) {
  SqlStatement::Run(*allDue_).Bind(1, Millis(now)).Step();
  return static_cast<size_t>(sqlite3_changes64(db_.get()));
}

OutboxSummary OutboxStore::Summarise() {
  OutboxSummary summary;
  {
    SqlStatement::Run run(*count_);
    while (run.Step()) {
      const std::string state = run.Text(0);
      const auto count = static_cast<size_t>(run.Int(1));
      (state == "done"      ? summary.done
       : state == "dropped" ? summary.dropped
                            : summary.waiting) = count;
    }
  }
  {
    SqlStatement::Run run(*oldest_);
    if (run.Step()) {
      summary.oldestWaiting = FromMillis(run.Int(0));
    }
  }
  SqlStatement::Run run(*lastSuccess_);
  if (run.Step() && !run.Null(0)) {
    summary.lastSuccess = FromMillis(run.Int(0));
  }
  return summary;
}

std::vector<OutboxJob> OutboxStore::ListUndelivered() {
  std::vector<OutboxJob> jobs;
  SqlStatement::Run run(*list_);
  while (run.Step()) {
    jobs.push_back(ReadJob(run));
  }
  return jobs;
}

}  // namespace ombrix
