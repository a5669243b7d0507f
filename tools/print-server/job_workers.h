// The workers apart from the answering loop. The recording worker takes checked requests in
// batches: it counts each job's pages, checks the quota, writes the spool file and records the
// batch in one transaction, and only then reports the answers back. The print workers then
// print the recorded jobs one by one and record each outcome; at start they take up the jobs
// a stopped server left unprinted. Rendering and printing are steps that can be replaced.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "job_store.h"
#include "print_jobs.h"

namespace lumarix::printserver {

// A checked request on its way to the store, and the connection that asked: its channel and
// the serial of that channel's connection, so that the answer never reaches a later one.
struct TJobTicket {
  std::int32_t ch = -1;
  std::uint64_t serial = 0;
  TPrintJob job;
};

struct TCompletion {
  std::int32_t ch = -1;
  std::uint64_t serial = 0;
  TReply reply;
  std::string logLine;
};

struct TRendered {
  bool ok = true;
  std::int64_t pages = 0;
  std::string error;  // when not ok: why the job cannot be printed, shown to the team
};
using TRenderStep = std::function<TRendered(const TPrintJob&)>;

struct TPrinted {
  std::string state;  // printed, failed or spooled; recorded (not printed) when stopped
  std::optional<int> exitStatus;
  std::string output;
};
using TPrintStep = std::function<TPrinted(const TStoredJob&, const std::atomic<bool>& stopping)>;

struct TWorkerOptions {
  std::string spoolDir;
  std::string databasePath;
  const TTeamList* teams = nullptr;
  TRenderStep render;  // default: the pages of the text as sent
  TPrintStep print;    // default: none, the spool file is the result
  int printWorkers = 1;
};

// The print step that runs a command on each spool file, stopped after `limit`.
TPrintStep CommandPrintStep(const std::string& command, std::chrono::milliseconds limit);

class TJobWorkers {
 public:
  ~TJobWorkers();
  // Opens the store and starts the threads; false with the reason in `error`.
  bool Start(const TWorkerOptions& options, std::string& error);
  // Stops the threads: the batch being recorded is finished, a print command is stopped and its
  // job is printed after the next start.
  void Stop();

  void Submit(TJobTicket ticket);
  std::vector<TCompletion> TakeCompletions();

 private:
  void RecordLoop();
  void RecordBatch(std::vector<TJobTicket>& batch);
  void PrintLoop();
  void Complete(std::vector<TCompletion>& completions);

  TWorkerOptions options_;
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  std::condition_variable ticketsChanged_, printChanged_;
  std::deque<TJobTicket> tickets_;
  std::deque<std::int64_t> toPrint_;
  std::vector<TCompletion> completions_;
  TJobStore recordStore_;
  std::vector<std::thread> threads_;
};

}  // namespace lumarix::printserver
