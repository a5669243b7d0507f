// The workers apart from the answering loop. Render workers lay each checked request out as it
// will be printed (enscript), which counts its pages. The recording worker takes the rendered
// requests in batches: it checks the per-job limit and the quota against those pages, writes the
// spool file and records the batch in one transaction, and only then reports the answers back.
// The print workers then bind each recorded job into one PDF and hand it to a CUPS queue, or to
// a print command, or leave it in the spool, and record each outcome; an outcome watcher asks
// CUPS how the queued jobs ended. At start they take up the jobs a stopped server left unprinted.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cups_queue.h"
#include "job_store.h"
#include "print_jobs.h"
#include "render.h"

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

struct TPrinted {
  std::string state;  // printed, failed or spooled; recorded (not printed) when stopped
  std::optional<int> exitStatus;
  std::string output;
};
// Prints the bound PDF of a job some other way than CUPS.
using TPrintStep = std::function<TPrinted(const TStoredJob&, const std::string& pdfPath,
                                          const std::atomic<bool>& stopping)>;

struct TWorkerOptions {
  std::string spoolDir;
  std::string databasePath;
  const TTeamList* teams = nullptr;
  std::string encoding = "latin1";  // the code page the texts are read in
  std::int64_t pageLimit = 20;       // the most pages one job may have; 0: no limit
  TRenderLimits renderLimits;
  int renderWorkers = 2;
  std::optional<TCupsQueue> queue;  // where rendered jobs go; none: they stay in the spool
  TPrintStep print;                 // instead of a queue; none: the PDF in the spool is the result
  int printWorkers = 1;
  std::chrono::milliseconds outcomePoll{2000};  // how often CUPS is asked about queued jobs
};

// The print step that runs a command on each rendered PDF, stopped after `limit`.
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
  struct TRenderedTicket {
    TJobTicket ticket;
    std::string location;
    std::string spoolError;  // the text could not be written for its rendering
    TRenderedText rendered;
  };

  void RenderLoop();
  void RecordLoop();
  void RecordBatch(std::vector<TRenderedTicket>& batch);
  void PrintLoop();
  void PrintJob(TJobStore& store, const TStoredJob& job);
  void WatchOutcomes();
  void Complete(std::vector<TCompletion>& completions);
  bool Stopping();

  TWorkerOptions options_;
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  std::condition_variable ticketsChanged_, renderedChanged_, printChanged_, outcomesChanged_;
  std::deque<TJobTicket> tickets_;
  std::deque<TRenderedTicket> rendered_;
  std::deque<std::int64_t> toPrint_;
  // The renderings of recorded jobs, kept for their print step; a job taken up after a restart
  // is rendered again from its spool file.
  std::map<std::int64_t, TRenderedText> renderings_;
  std::vector<TCompletion> completions_;
  TJobStore recordStore_;
  std::vector<std::thread> threads_;
};

}  // namespace lumarix::printserver
