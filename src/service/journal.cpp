#include "service/journal.h"

#include <sqlite3.h>

#include <set>
#include <utility>

namespace vexolant::service {

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS jobs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  printer TEXT NOT NULL,
  op TEXT NOT NULL,
  request TEXT NOT NULL,
  key TEXT UNIQUE,
  state TEXT NOT NULL,
  accepted REAL NOT NULL,
  started REAL,
  finished REAL,
  result TEXT
);
CREATE INDEX IF NOT EXISTS jobs_state ON jobs(state, id);
)";

// Columns added since the first journal: Migrate adds them to an older file
// (its jobs came through HTTP).
constexpr const char* kAddedColumns[][2] = {
    {"source", "ALTER TABLE jobs ADD COLUMN source TEXT NOT NULL DEFAULT 'http'"},
    {"remote_id", "ALTER TABLE jobs ADD COLUMN remote_id TEXT"},
    {"expires", "ALTER TABLE jobs ADD COLUMN expires REAL"},
    {"event_pending", "ALTER TABLE jobs ADD COLUMN event_pending INTEGER NOT NULL DEFAULT 0"},
};

constexpr const char* kAddedIndexes = R"(
CREATE UNIQUE INDEX IF NOT EXISTS jobs_remote ON jobs(remote_id);
CREATE INDEX IF NOT EXISTS jobs_event_pending ON jobs(event_pending, id);
)";

// A fleet job's terminal state is an event to publish: set with the state,
// in the same statement.
constexpr const char* kPendingIfFleet = "event_pending = (source = 'fleet')";

constexpr const char* kColumns =
    "id, printer, op, request, key, state, accepted, started, finished, result, source, "
    "remote_id, expires, event_pending";

JobState StateFromName(const std::string& name) {
  if (name == "queued") return JobState::kQueued;
  if (name == "running") return JobState::kRunning;
  if (name == "done") return JobState::kDone;
  if (name == "cancelled") return JobState::kCancelled;
  if (name == "expired") return JobState::kExpired;
  return JobState::kUnknown;
}

// One prepared statement, finalized when it goes out of scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
      throw JournalError(std::string("journal: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, const std::string& text) {
    Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int index, int64_t number) {
    Check(sqlite3_bind_int64(statement_, index, number));
    return *this;
  }
  Statement& Bind(int index, double number) {
    Check(sqlite3_bind_double(statement_, index, number));
    return *this;
  }
  Statement& BindNull(int index) {
    Check(sqlite3_bind_null(statement_, index));
    return *this;
  }
  // True while there is a row.
  bool Step() {
    const int code = sqlite3_step(statement_);
    if (code == SQLITE_ROW) return true;
    if (code == SQLITE_DONE) return false;
    throw JournalError(std::string("journal: ") + sqlite3_errmsg(db_));
  }
  std::string Text(int column) {
    const auto* text = sqlite3_column_text(statement_, column);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text),
                             static_cast<size_t>(sqlite3_column_bytes(statement_, column)));
  }
  int64_t Integer(int column) { return sqlite3_column_int64(statement_, column); }
  double Real(int column) { return sqlite3_column_double(statement_, column); }

  JobRecord Record() {
    JobRecord record;
    record.id = Integer(0);
    record.printer = Text(1);
    record.op = Text(2);
    record.request = Text(3);
    record.key = Text(4);
    record.state = StateFromName(Text(5));
    record.accepted = Real(6);
    record.started = Real(7);
    record.finished = Real(8);
    record.result = Text(9);
    record.source = Text(10);
    record.remote_id = Text(11);
    record.expires = Real(12);
    record.event_pending = Integer(13) != 0;
    return record;
  }

 private:
  void Check(int code) {
    if (code != SQLITE_OK) throw JournalError(std::string("journal: ") + sqlite3_errmsg(db_));
  }
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

}  // namespace

const char* StateName(JobState state) {
  switch (state) {
    case JobState::kQueued:
      return "queued";
    case JobState::kRunning:
      return "running";
    case JobState::kDone:
      return "done";
    case JobState::kCancelled:
      return "cancelled";
    case JobState::kUnknown:
      return "unknown";
    case JobState::kExpired:
      return "expired";
  }
  return "unknown";
}

Journal::Journal(const std::string& path) {
  const int code =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (code != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    sqlite3_close(db_);
    db_ = nullptr;
    throw JournalError(path + ": " + message);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec(kSchema);
    Migrate();
    Statement mode(db_, "PRAGMA journal_mode");
    if (!mode.Step() || mode.Text(0) != "wal") {
      throw JournalError(path + ": the journal cannot be put in WAL mode");
    }
  } catch (const JournalError& error) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw JournalError(path + ": " + error.what());
  }
}

Journal::~Journal() {
  sqlite3_close(db_);
}

void Journal::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message != nullptr ? message : "failed";
    sqlite3_free(message);
    throw JournalError("journal: " + text);
  }
}

void Journal::Migrate() {
  std::set<std::string> columns;
  {
    Statement info(db_, "PRAGMA table_info(jobs)");
    while (info.Step()) columns.insert(info.Text(1));
  }
  for (const auto& [column, sql] : kAddedColumns) {
    if (columns.count(column) == 0) Exec(sql);
  }
  Exec(kAddedIndexes);
}

int Journal::MarkRunningUnknown(double now) {
  std::lock_guard lock(mutex_);
  Statement update(db_, (std::string("UPDATE jobs SET state = 'unknown', finished = ?, ") +
                         kPendingIfFleet + " WHERE state = 'running'")
                            .c_str());
  update.Bind(1, now).Step();
  return sqlite3_changes(db_);
}

std::vector<JobRecord> Journal::Queued() {
  std::lock_guard lock(mutex_);
  Statement select(
      db_, (std::string("SELECT ") + kColumns + " FROM jobs WHERE state = 'queued' ORDER BY id")
               .c_str());
  std::vector<JobRecord> records;
  while (select.Step()) records.push_back(select.Record());
  return records;
}

int64_t Journal::Insert(const std::string& printer, const std::string& op,
                        const std::string& request, const std::string& key, double now,
                        const JobOrigin& origin) {
  std::lock_guard lock(mutex_);
  Statement insert(db_,
                   "INSERT INTO jobs (printer, op, request, key, state, accepted, source, "
                   "remote_id, expires) VALUES (?, ?, ?, ?, 'queued', ?, ?, ?, ?)");
  insert.Bind(1, printer).Bind(2, op).Bind(3, request);
  if (key.empty()) {
    insert.BindNull(4);
  } else {
    insert.Bind(4, key);
  }
  insert.Bind(5, now).Bind(6, origin.source);
  if (origin.remote_id.empty()) {
    insert.BindNull(7);
  } else {
    insert.Bind(7, origin.remote_id);
  }
  if (origin.expires > 0) {
    insert.Bind(8, origin.expires);
  } else {
    insert.BindNull(8);
  }
  insert.Step();
  return sqlite3_last_insert_rowid(db_);
}

std::optional<JobRecord> Journal::Find(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement select(db_, (std::string("SELECT ") + kColumns + " FROM jobs WHERE id = ?").c_str());
  select.Bind(1, id);
  if (!select.Step()) return std::nullopt;
  return select.Record();
}

std::optional<JobRecord> Journal::FindByKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  Statement select(db_, (std::string("SELECT ") + kColumns + " FROM jobs WHERE key = ?").c_str());
  select.Bind(1, key);
  if (!select.Step()) return std::nullopt;
  return select.Record();
}

std::optional<JobRecord> Journal::FindByRemote(const std::string& remote_id) {
  std::lock_guard lock(mutex_);
  Statement select(db_,
                   (std::string("SELECT ") + kColumns + " FROM jobs WHERE remote_id = ?").c_str());
  select.Bind(1, remote_id);
  if (!select.Step()) return std::nullopt;
  return select.Record();
}

std::vector<JobRecord> Journal::PendingEvents() {
  std::lock_guard lock(mutex_);
  Statement select(
      db_, (std::string("SELECT ") + kColumns + " FROM jobs WHERE event_pending = 1 ORDER BY id")
               .c_str());
  std::vector<JobRecord> records;
  while (select.Step()) records.push_back(select.Record());
  return records;
}

void Journal::EventDelivered(int64_t id) {
  std::lock_guard lock(mutex_);
  Statement update(db_, "UPDATE jobs SET event_pending = 0 WHERE id = ?");
  update.Bind(1, id).Step();
}

std::vector<JobRecord> Journal::Latest(int limit) {
  std::lock_guard lock(mutex_);
  Statement select(
      db_, (std::string("SELECT ") + kColumns + " FROM jobs ORDER BY id DESC LIMIT ?").c_str());
  select.Bind(1, static_cast<int64_t>(limit));
  std::vector<JobRecord> records;
  while (select.Step()) records.push_back(select.Record());
  return records;
}

void Journal::SetRunning(int64_t id, double now) {
  std::lock_guard lock(mutex_);
  Statement update(db_, "UPDATE jobs SET state = 'running', started = ? WHERE id = ?");
  update.Bind(1, now).Bind(2, id).Step();
}

void Journal::Finish(int64_t id, const std::string& result, double now) {
  std::lock_guard lock(mutex_);
  Statement update(db_, (std::string("UPDATE jobs SET state = 'done', finished = ?, result = ?, ") +
                         kPendingIfFleet + " WHERE id = ?")
                            .c_str());
  update.Bind(1, now).Bind(2, result).Bind(3, id).Step();
}

bool Journal::Cancel(int64_t id, double now) {
  std::lock_guard lock(mutex_);
  Statement update(db_, (std::string("UPDATE jobs SET state = 'cancelled', finished = ?, ") +
                         kPendingIfFleet + " WHERE id = ? AND state = 'queued'")
                            .c_str());
  update.Bind(1, now).Bind(2, id).Step();
  return sqlite3_changes(db_) == 1;
}

void Journal::Expire(int64_t id, double now) {
  std::lock_guard lock(mutex_);
  Statement update(db_, (std::string("UPDATE jobs SET state = 'expired', finished = ?, ") +
                         kPendingIfFleet + " WHERE id = ? AND state = 'queued'")
                            .c_str());
  update.Bind(1, now).Bind(2, id).Step();
}

int Journal::Prune(double before) {
  std::lock_guard lock(mutex_);
  Statement remove(db_,
                   "DELETE FROM jobs WHERE state IN ('done', 'cancelled', 'unknown', 'expired') "
                   "AND finished < ? AND event_pending = 0");
  remove.Bind(1, before).Step();
  return sqlite3_changes(db_);
}

}  // namespace vexolant::service
