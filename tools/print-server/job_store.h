// The server's memory: every recorded job and the pages each team has used, in one SQLite
// database (WAL mode, every change in a transaction), so that a restart keeps every quota and
// the whole history. Each thread opens a store of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "print_jobs.h"

struct sqlite3;

namespace lumarix::printserver {

// A job's states: recorded (answered, not yet printed), printing, printed, failed (the print
// command failed or ran too long), spooled (no print command: the file is the result).
struct TStoredJob {
  std::int64_t number = 0;
  std::string requestId, team, filename, spoolPath, state;
  std::int64_t pages = 0;
  std::optional<int> exitStatus;
  std::string printOutput;
};

struct TNewJob {
  std::string requestId, team, filename, spoolPath;
  std::int64_t pages = 0;
  TReply reply;
};

class TJobStore {
 public:
  TJobStore() = default;
  ~TJobStore();
  TJobStore(const TJobStore&) = delete;
  TJobStore& operator=(const TJobStore&) = delete;

  // Opens (or creates) the database; false with the reason in `error`.
  bool Open(const std::string& path, std::string& error);

  // A transaction around several changes; false with the reason in `error`.
  bool Begin(std::string& error);
  bool Commit(std::string& error);
  void Rollback();

  // The reply a team's request was given, when that request was recorded.
  std::optional<TReply> RecordedReply(const std::string& team, const std::string& requestId);
  std::int64_t UsedPages(const std::string& team);
  // Records the job and charges its pages to the team; its number, or nothing (then `error`).
  std::optional<std::int64_t> AddJob(const TNewJob& job, std::string& error);

  // Jobs answered but not yet printed (recorded, or printing when the server stopped), oldest first.
  std::vector<TStoredJob> UnprintedJobs();
  std::optional<TStoredJob> Job(std::int64_t number);
  std::vector<TStoredJob> AllJobs();
  bool MarkPrinting(std::int64_t number, std::string& error);
  bool RecordPrintOutcome(std::int64_t number, const std::string& state, std::optional<int> exitStatus,
                          const std::string& output, std::string& error);

 private:
  bool Execute(const char* sql, std::string& error);
  std::string LastError() const;
  sqlite3* db_ = nullptr;
};

}  // namespace lumarix::printserver
