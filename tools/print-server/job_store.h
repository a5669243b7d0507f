// The server's memory: every recorded job and the pages each team has used, in one SQLite
// database (WAL mode, every change in a transaction), so that a restart keeps every quota and
// the whole history. Each thread opens a store of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "print_jobs.h"

struct sqlite3;

namespace lumarix::printserver {

// A job's states: recorded (answered, not yet printed), printing (being bound and handed on),
// queued (handed to CUPS, its outcome not yet known), printed, failed (the rendering, the print
// command or CUPS failed, or the command ran too long), spooled (no queue and no print
// command: the rendered file in the spool is the result).
struct TStoredJob {
  std::int64_t number = 0;
  std::string requestId, team, location, filename, spoolPath, state;
  std::int64_t pages = 0;
  std::optional<int> exitStatus;
  std::string printOutput;
  std::string receivedAt;  // "YYYY-MM-DD HH:MM:SS", local time
  std::string pdfPath;     // the rendered job, once bound
  std::int64_t cupsJobId = 0;  // 0: not handed to CUPS
  std::string cupsState;       // CUPS's last word on it: "completed", "aborted"...
};

struct TNewJob {
  std::string requestId, team, filename, spoolPath;
  std::int64_t pages = 0;
  TReply reply;
  std::string location;
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
  // Every team that was charged, with its pages.
  std::vector<std::pair<std::string, std::int64_t>> AllUsedPages();
  // Records the job and charges its pages to the team; its number, or nothing (then `error`).
  std::optional<std::int64_t> AddJob(const TNewJob& job, std::string& error);

  // Jobs answered but not yet printed (recorded, or printing when the server stopped), oldest first.
  std::vector<TStoredJob> UnprintedJobs();
  std::optional<TStoredJob> Job(std::int64_t number);
  std::vector<TStoredJob> AllJobs();
  bool MarkPrinting(std::int64_t number, std::string& error);
  bool RecordPrintOutcome(std::int64_t number, const std::string& state, std::optional<int> exitStatus,
                          const std::string& output, std::string& error);
  bool RecordPrintout(std::int64_t number, const std::string& pdfPath, std::string& error);
  // The job was handed to CUPS under `cupsJobId`: queued until CUPS says how it ended.
  bool RecordQueued(std::int64_t number, std::int64_t cupsJobId, std::string& error);
  bool RecordCupsOutcome(std::int64_t number, const std::string& state, const std::string& cupsState,
                         std::string& error);
  // Jobs handed to CUPS whose outcome is not yet known, oldest first.
  std::vector<TStoredJob> QueuedJobs();

 private:
  bool Execute(const char* sql, std::string& error);
  bool Migrate(std::string& error);
  std::string LastError() const;
  sqlite3* db_ = nullptr;
};

}  // namespace lumarix::printserver
