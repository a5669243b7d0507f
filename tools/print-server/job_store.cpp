#include "job_store.h"

#include <sqlite3.h>

#include <iterator>

namespace lumarix::printserver {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS jobs(
  number INTEGER PRIMARY KEY AUTOINCREMENT,
  request_id TEXT NOT NULL,
  team TEXT NOT NULL,
  filename TEXT NOT NULL,
  pages INTEGER NOT NULL,
  state TEXT NOT NULL,
  received_at TEXT NOT NULL DEFAULT (datetime('now', 'localtime')),
  printed_at TEXT,
  spool_path TEXT NOT NULL,
  reply BLOB NOT NULL,
  exit_status INTEGER,
  print_output TEXT,
  UNIQUE(team, request_id));
CREATE TABLE IF NOT EXISTS teams(
  team TEXT PRIMARY KEY,
  used_pages INTEGER NOT NULL);
)sql";

// Changes to the schema above, in order: a database made by an older server is brought up to
// date when it is opened, keeping its jobs; PRAGMA user_version counts the changes applied.
constexpr const char* kMigrations[] = {
    "ALTER TABLE jobs ADD COLUMN location TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE jobs ADD COLUMN pdf_path TEXT;"
    "ALTER TABLE jobs ADD COLUMN cups_job_id INTEGER;"
    "ALTER TABLE jobs ADD COLUMN cups_state TEXT;",
};

constexpr const char* kJobColumns =
    "SELECT number, request_id, team, filename, spool_path, state, pages, exit_status, print_output, "
    "location, received_at, pdf_path, cups_job_id, cups_state FROM jobs ";

// One prepared statement, finalized when it goes out of scope.
class TStatement {
 public:
  TStatement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~TStatement() { sqlite3_finalize(stmt_); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
  bool ok() const { return stmt_ != nullptr; }
  // Texts are bound with their length, so that any byte, NUL included, is kept.
  TStatement& Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  TStatement& BindBlob(int index, const std::string& bytes) {
    sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    return *this;
  }
  TStatement& Bind(int index, std::int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  TStatement& Bind(int index, std::optional<int> value) {
    if (value) sqlite3_bind_int(stmt_, index, *value);
    else sqlite3_bind_null(stmt_, index);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  std::string Text(int column) const {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
  }
  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

TStoredJob JobFromRow(const TStatement& row) {
  TStoredJob job;
  job.number = row.Int(0);
  job.requestId = row.Text(1);
  job.team = row.Text(2);
  job.filename = row.Text(3);
  job.spoolPath = row.Text(4);
  job.state = row.Text(5);
  job.pages = row.Int(6);
  if (!row.IsNull(7)) job.exitStatus = static_cast<int>(row.Int(7));
  job.printOutput = row.Text(8);
  job.location = row.Text(9);
  job.receivedAt = row.Text(10);
  job.pdfPath = row.Text(11);
  job.cupsJobId = row.Int(12);
  job.cupsState = row.Text(13);
  return job;
}

std::vector<TStoredJob> JobsOf(TStatement& query) {
  std::vector<TStoredJob> jobs;
  while (query.Step() == SQLITE_ROW) jobs.push_back(JobFromRow(query));
  return jobs;
}

std::string EncodeReply(const TReply& reply) {
  TMessagePart* message = ReplyMessage(reply);
  std::string bytes = GatherMsg(message);
  FreeMsg(message);
  return bytes;
}

TReply DecodeReply(const std::string& bytes) {
  TReply reply;
  TMessagePart* message = ParseMsg(bytes);
  for (const TMessagePart* part = message; part; part = part->next) reply.emplace_back(part->name, part->value);
  FreeMsg(message);
  return reply;
}

}  // namespace

TJobStore::~TJobStore() { sqlite3_close(db_); }

bool TJobStore::Open(const std::string& path, std::string& error) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    error = "cannot open the database " + path + ": " + LastError();
    return false;
  }
  sqlite3_busy_timeout(db_, 5000);
  // WAL with full sync: a commit is on the disk before the answer goes out.
  if (!Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", error) || !Execute(kSchema, error) ||
      !Migrate(error)) {
    error = "cannot prepare the database " + path + ": " + error;
    return false;
  }
  return true;
}

bool TJobStore::Migrate(std::string& error) {
  if (!Begin(error)) return false;
  TStatement version(db_, "PRAGMA user_version");
  const std::int64_t applied = version.Step() == SQLITE_ROW ? version.Int(0) : 0;
  const std::int64_t wanted = static_cast<std::int64_t>(std::size(kMigrations));
  for (std::int64_t next = applied; next < wanted; ++next) {
    if (!Execute(kMigrations[next], error)) {
      Rollback();
      return false;
    }
  }
  if (applied < wanted && !Execute(("PRAGMA user_version = " + std::to_string(wanted)).c_str(), error)) {
    Rollback();
    return false;
  }
  return Commit(error);
}

std::string TJobStore::LastError() const { return db_ ? sqlite3_errmsg(db_) : "out of memory"; }

bool TJobStore::Execute(const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : LastError();
  sqlite3_free(message);
  return false;
}

bool TJobStore::Begin(std::string& error) { return Execute("BEGIN IMMEDIATE", error); }

bool TJobStore::Commit(std::string& error) {
  if (Execute("COMMIT", error)) return true;
  Rollback();
  return false;
}

void TJobStore::Rollback() {
  std::string ignored;
  if (!sqlite3_get_autocommit(db_)) Execute("ROLLBACK", ignored);
}

std::optional<TReply> TJobStore::RecordedReply(const std::string& team, const std::string& requestId) {
  TStatement query(db_, "SELECT reply FROM jobs WHERE team = ?1 AND request_id = ?2");
  query.Bind(1, team).Bind(2, requestId);
  if (query.Step() != SQLITE_ROW) return std::nullopt;
  return DecodeReply(query.Text(0));
}

std::int64_t TJobStore::UsedPages(const std::string& team) {
  TStatement query(db_, "SELECT used_pages FROM teams WHERE team = ?1");
  query.Bind(1, team);
  return query.Step() == SQLITE_ROW ? query.Int(0) : 0;
}

std::optional<std::int64_t> TJobStore::AddJob(const TNewJob& job, std::string& error) {
  TStatement insert(db_,
                    "INSERT INTO jobs(request_id, team, filename, pages, state, spool_path, reply, location) "
                    "VALUES(?1, ?2, ?3, ?4, 'recorded', ?5, ?6, ?7)");
  insert.Bind(1, job.requestId).Bind(2, job.team).Bind(3, job.filename).Bind(4, job.pages).Bind(5, job.spoolPath);
  insert.Bind(7, job.location);
  insert.BindBlob(6, EncodeReply(job.reply));
  if (insert.Step() != SQLITE_DONE) {
    error = LastError();
    return std::nullopt;
  }
  const std::int64_t number = sqlite3_last_insert_rowid(db_);
  TStatement charge(db_,
                    "INSERT INTO teams(team, used_pages) VALUES(?1, ?2) "
                    "ON CONFLICT(team) DO UPDATE SET used_pages = used_pages + excluded.used_pages");
  charge.Bind(1, job.team).Bind(2, job.pages);
  if (charge.Step() != SQLITE_DONE) {
    error = LastError();
    return std::nullopt;
  }
  return number;
}

std::vector<std::pair<std::string, std::int64_t>> TJobStore::AllUsedPages() {
  TStatement query(db_, "SELECT team, used_pages FROM teams ORDER BY team");
  std::vector<std::pair<std::string, std::int64_t>> used;
  while (query.Step() == SQLITE_ROW) used.emplace_back(query.Text(0), query.Int(1));
  return used;
}

std::vector<TStoredJob> TJobStore::QueuedJobs() {
  TStatement query(db_, (std::string(kJobColumns) + "WHERE state = 'queued' ORDER BY number").c_str());
  return JobsOf(query);
}

std::vector<TStoredJob> TJobStore::UnprintedJobs() {
  TStatement query(db_, (std::string(kJobColumns) + "WHERE state IN ('recorded', 'printing') ORDER BY number").c_str());
  return JobsOf(query);
}

std::optional<TStoredJob> TJobStore::Job(std::int64_t number) {
  TStatement query(db_, (std::string(kJobColumns) + "WHERE number = ?1").c_str());
  query.Bind(1, number);
  if (query.Step() != SQLITE_ROW) return std::nullopt;
  return JobFromRow(query);
}

std::vector<TStoredJob> TJobStore::AllJobs() {
  TStatement query(db_, (std::string(kJobColumns) + "ORDER BY number").c_str());
  return JobsOf(query);
}

bool TJobStore::MarkPrinting(std::int64_t number, std::string& error) {
  TStatement update(db_, "UPDATE jobs SET state = 'printing' WHERE number = ?1");
  update.Bind(1, number);
  if (update.Step() == SQLITE_DONE) return true;
  error = LastError();
  return false;
}

bool TJobStore::RecordPrintOutcome(std::int64_t number, const std::string& state, std::optional<int> exitStatus,
                                   const std::string& output, std::string& error) {
  TStatement update(db_,
                    "UPDATE jobs SET state = ?2, exit_status = ?3, print_output = ?4, "
                    "printed_at = CASE ?2 WHEN 'recorded' THEN NULL ELSE datetime('now', 'localtime') END "
                    "WHERE number = ?1");
  update.Bind(1, number).Bind(2, state).Bind(3, exitStatus).Bind(4, output);
  if (update.Step() == SQLITE_DONE) return true;
  error = LastError();
  return false;
}

bool TJobStore::RecordPrintout(std::int64_t number, const std::string& pdfPath, std::string& error) {
  TStatement update(db_, "UPDATE jobs SET pdf_path = ?2 WHERE number = ?1");
  update.Bind(1, number).Bind(2, pdfPath);
  if (update.Step() == SQLITE_DONE) return true;
  error = LastError();
  return false;
}

bool TJobStore::RecordQueued(std::int64_t number, std::int64_t cupsJobId, std::string& error) {
  TStatement update(db_, "UPDATE jobs SET state = 'queued', cups_job_id = ?2, cups_state = 'pending' WHERE number = ?1");
  update.Bind(1, number).Bind(2, cupsJobId);
  if (update.Step() == SQLITE_DONE) return true;
  error = LastError();
  return false;
}

bool TJobStore::RecordCupsOutcome(std::int64_t number, const std::string& state, const std::string& cupsState,
                                  std::string& error) {
  TStatement update(db_,
                    "UPDATE jobs SET state = ?2, cups_state = ?3, printed_at = datetime('now', 'localtime') "
                    "WHERE number = ?1");
  update.Bind(1, number).Bind(2, state).Bind(3, cupsState);
  if (update.Step() == SQLITE_DONE) return true;
  error = LastError();
  return false;
}

}  // namespace lumarix::printserver
