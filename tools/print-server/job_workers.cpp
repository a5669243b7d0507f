#include "job_workers.h"

#include <unistd.h>

#include <ctime>
#include <map>
#include <utility>

#include "LumarixTime.h"
#include "print_command.h"
#include "server_log.h"
#include "spool.h"

namespace lumarix::printserver {
namespace {

// Requests recorded in one transaction at most; a rush is recorded in a few commits.
constexpr std::size_t kMaxBatch = 64;

TRendered CountTextPages(const TPrintJob& job) { return {true, CountPages(job.contents), {}}; }

TPrinted LeaveInSpool(const TStoredJob&, const std::atomic<bool>&) { return {"spooled", std::nullopt, {}}; }

// The file's own name, without the client's directories.
std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SpoolStem(const TPrintJob& job) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return std::string(stamp) + "_" + SafeNamePart(job.team) + "_" + SafeNamePart(BaseName(job.filename));
}

std::string SpoolText(const TPrintJob& job) {
  return "Team: " + PrintableName(job.team) + "  File: " + PrintableName(job.filename, 1000) +
         "  Time: " + TimeToText(NowTime()) + "\n" + job.contents;
}

std::string JobText(const TPrintJob& job) {
  return "request '" + PrintableName(job.id) + "' of team '" + PrintableName(job.team) + "' file '" +
         PrintableName(job.filename) + "'";
}

// An answer of the batch being recorded. One that depends on the batch's own changes turns
// into an error if the batch cannot be committed.
struct TPendingAnswer {
  TCompletion completion;
  bool needsCommit = false;
  int spoolIndex = -1;         // its file in the batch's spool, when it is a new job
  int sameAs = -1;             // a repeat of an earlier request of the same batch
  std::string spoolPath;
  std::int64_t number = 0;
  TNewJob record;
};

}  // namespace

TPrintStep CommandPrintStep(const std::string& command, std::chrono::milliseconds limit) {
  return [command, limit](const TStoredJob& job, const std::atomic<bool>& stopping) {
    const TCommandResult result = RunPrintCommand(command, job.spoolPath, limit, &stopping);
    if (result.timedOut && stopping) return TPrinted{"recorded", std::nullopt, {}};
    TPrinted printed{result.succeeded ? "printed" : "failed", result.exitStatus, result.output};
    if (result.timedOut) printed.output += "\n[stopped after " + std::to_string(limit.count() / 1000) + " s]";
    if (!result.failure.empty()) printed.output = result.failure;
    return printed;
  };
}

TJobWorkers::~TJobWorkers() { Stop(); }

bool TJobWorkers::Start(const TWorkerOptions& options, std::string& error) {
  options_ = options;
  if (!options_.render) options_.render = CountTextPages;
  if (!options_.print) options_.print = LeaveInSpool;
  if (!recordStore_.Open(options_.databasePath, error)) return false;
  RemoveSpoolTemporaries(options_.spoolDir);
  for (const TStoredJob& job : recordStore_.UnprintedJobs()) {
    toPrint_.push_back(job.number);
    ServerLog("job " + std::to_string(job.number) + " was recorded before the restart; it is printed now");
  }
  threads_.emplace_back(&TJobWorkers::RecordLoop, this);
  for (int i = 0; i < std::max(1, options_.printWorkers); ++i) threads_.emplace_back(&TJobWorkers::PrintLoop, this);
  return true;
}

void TJobWorkers::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  ticketsChanged_.notify_all();
  printChanged_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void TJobWorkers::Submit(TJobTicket ticket) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    tickets_.push_back(std::move(ticket));
  }
  ticketsChanged_.notify_one();
}

std::vector<TCompletion> TJobWorkers::TakeCompletions() {
  std::lock_guard<std::mutex> hold(lock_);
  return std::exchange(completions_, {});
}

void TJobWorkers::Complete(std::vector<TCompletion>& completions) {
  std::lock_guard<std::mutex> hold(lock_);
  for (TCompletion& completion : completions) completions_.push_back(std::move(completion));
}

void TJobWorkers::RecordLoop() {
  for (;;) {
    std::vector<TJobTicket> batch;
    {
      std::unique_lock<std::mutex> hold(lock_);
      ticketsChanged_.wait(hold, [&] { return stopping_ || !tickets_.empty(); });
      if (stopping_) return;
      while (!tickets_.empty() && batch.size() < kMaxBatch) {
        batch.push_back(std::move(tickets_.front()));
        tickets_.pop_front();
      }
    }
    RecordBatch(batch);
  }
}

// In three steps, so that a batch pays for one directory flush and one commit: each job is
// checked and written to a temporary file; the files are flushed and named; the jobs are
// recorded and committed. Only then are the answers reported.
void TJobWorkers::RecordBatch(std::vector<TJobTicket>& batch) {
  std::vector<TPendingAnswer> answers(batch.size());
  std::string storeError;
  bool storeFailed = !recordStore_.Begin(storeError);
  std::map<std::pair<std::string, std::string>, int> newInBatch;
  std::map<std::string, std::int64_t> chargedInBatch;
  TSpoolBatch spool(options_.spoolDir);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const TPrintJob& job = batch[i].job;
    TPendingAnswer& answer = answers[i];
    answer.completion.ch = batch[i].ch;
    answer.completion.serial = batch[i].serial;
    auto fail = [&](const std::string& error) {
      answer.completion.reply = ErrorReply(job.id, error);
      answer.completion.logLine = "refused " + JobText(job) + ": " + error;
    };
    const auto key = std::make_pair(job.team, job.id);
    if (storeFailed) {
      fail("The print server cannot record the job: " + storeError);
    } else if (auto earlier = newInBatch.find(key); earlier != newInBatch.end()) {
      answer.sameAs = earlier->second;
      answer.needsCommit = true;
    } else if (std::optional<TReply> recorded = recordStore_.RecordedReply(job.team, job.id)) {
      // A repeated request: the same answer, neither printed nor charged again.
      answer.completion.reply = *recorded;
      answer.completion.logLine = "repeated " + JobText(job) + " answered again";
    } else if (TRendered rendered = options_.render(job); !rendered.ok) {
      fail(rendered.error);
    } else {
      const TTeamAccount* account = options_.teams ? options_.teams->Find(job.team) : nullptr;
      std::optional<std::int64_t> left;
      if (account && account->quota) {
        left = *account->quota - recordStore_.UsedPages(job.team) - chargedInBatch[job.team] - rendered.pages;
      }
      std::string spoolError;
      if (left && *left < 0) {
        fail("Page quota exceeded: the job has " + std::to_string(rendered.pages) + " pages, " +
             std::to_string(*left + rendered.pages) + " left");
      } else if ((answer.spoolIndex = spool.Add(SpoolStem(job), SpoolText(job), spoolError)) < 0) {
        fail("The print server cannot spool the job: " + spoolError);
      } else {
        chargedInBatch[job.team] += rendered.pages;
        newInBatch[key] = static_cast<int>(i);
        answer.needsCommit = true;
        answer.record = TNewJob{job.id, job.team, job.filename, {}, rendered.pages,
                                AcceptedReply(job, rendered.pages, left)};
        answer.completion.reply = answer.record.reply;
      }
    }
  }

  std::vector<TSpoolResult> spooled = spool.Publish();
  for (std::size_t i = 0; i < batch.size(); ++i) {
    TPendingAnswer& answer = answers[i];
    if (answer.spoolIndex < 0) continue;
    const TSpoolResult& file = spooled[static_cast<std::size_t>(answer.spoolIndex)];
    if (!file.ok) {
      answer.needsCommit = false;
      answer.completion.reply = ErrorReply(batch[i].job.id, "The print server cannot spool the job: " + file.error);
      answer.completion.logLine = "refused " + JobText(batch[i].job) + ": " + file.error;
      continue;
    }
    answer.spoolPath = answer.record.spoolPath = file.path;
    answer.completion.logLine = JobText(batch[i].job) + ": " + std::to_string(answer.record.pages) +
                                " pages, spooled to " + PrintableName(file.path, 1000);
    if (storeFailed) continue;
    if (std::optional<std::int64_t> number = recordStore_.AddJob(answer.record, storeError)) {
      answer.number = *number;
    } else {
      storeFailed = true;
    }
  }
  if (!storeFailed && !recordStore_.Commit(storeError)) storeFailed = true;
  if (storeFailed) recordStore_.Rollback();

  std::vector<TCompletion> completions;
  std::vector<std::int64_t> recorded;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    TPendingAnswer& answer = answers[i];
    if (answer.sameAs >= 0) {
      const TPendingAnswer& first = answers[static_cast<std::size_t>(answer.sameAs)];
      answer.completion.reply = first.completion.reply;
      answer.completion.logLine = "repeated " + JobText(batch[i].job) + " answered again";
      answer.needsCommit = first.needsCommit;
    }
    if (storeFailed && answer.needsCommit) {
      // Nothing of the batch was recorded: its files go and its teams are not charged.
      if (!answer.spoolPath.empty()) ::unlink(answer.spoolPath.c_str());
      answer.completion.reply = ErrorReply(batch[i].job.id, "The print server cannot record the job: " + storeError);
      answer.completion.logLine = "not recorded: " + storeError;
    } else if (answer.number) {
      recorded.push_back(answer.number);
    }
    completions.push_back(std::move(answer.completion));
  }
  Complete(completions);
  if (!recorded.empty()) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      toPrint_.insert(toPrint_.end(), recorded.begin(), recorded.end());
    }
    printChanged_.notify_all();
  }
}

void TJobWorkers::PrintLoop() {
  TJobStore store;
  std::string error;
  if (!store.Open(options_.databasePath, error)) {
    ServerLog("the print worker cannot open the database: " + error);
    return;
  }
  for (;;) {
    std::int64_t number = 0;
    {
      std::unique_lock<std::mutex> hold(lock_);
      printChanged_.wait(hold, [&] { return stopping_ || !toPrint_.empty(); });
      if (stopping_) return;
      number = toPrint_.front();
      toPrint_.pop_front();
    }
    std::optional<TStoredJob> job = store.Job(number);
    if (!job) continue;
    if (!store.MarkPrinting(number, error)) {
      ServerLog("job " + std::to_string(number) + " cannot be marked as printing: " + error);
    }
    const TPrinted printed = options_.print(*job, stopping_);
    if (!store.RecordPrintOutcome(number, printed.state, printed.exitStatus, printed.output, error)) {
      ServerLog("the outcome of job " + std::to_string(number) + " cannot be recorded: " + error);
    }
    ServerLog("job " + std::to_string(number) + " " + printed.state +
              (printed.exitStatus ? " (exit status " + std::to_string(*printed.exitStatus) + ")" : std::string()) +
              (printed.output.empty() ? std::string() : ": " + PrintableName(printed.output, 1000)));
  }
}

}  // namespace lumarix::printserver
