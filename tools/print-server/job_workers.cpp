#include "job_workers.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "LumarixTime.h"
#include "child_command.h"
#include "server_log.h"
#include "spool.h"

namespace lumarix::printserver {
namespace {

// Requests recorded in one transaction at most; a rush is recorded in a few commits.
constexpr std::size_t kMaxBatch = 64;

// Lines of a print command's output kept in the job's record.
constexpr int kKeptOutputLines = 10;
// Unfinished CUPS jobs asked about in one round: the queue prints roughly in order, so the
// oldest tell whether the newer can have ended.
constexpr int kUnfinishedPerRound = 4;

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

// The time in each page's header: to the minute, as the header's room allows.
std::string HeaderTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

void RemoveRendering(const TRenderedText& rendering) {
  if (!rendering.bodyPath.empty()) std::remove(rendering.bodyPath.c_str());
  if (!rendering.bannerPath.empty()) std::remove(rendering.bannerPath.c_str());
}

// Lays the text out under temporary names in the spool directory (removed at the next start
// if the server stops before the job is printed). A text that cannot be written there is a
// spool failure, told apart in `spoolError`.
TRenderedText RenderContents(const TWorkerOptions& options, const std::string& contents, const std::string& team,
                             const std::string& location, const std::string& fileName, const std::string& timeText,
                             std::string& spoolError) {
  TRenderRequest request;
  request.outputBase = SpoolTemporaryName(options.spoolDir, "");
  request.textPath = request.outputBase + ".txt";
  request.team = team;
  request.location = location;
  request.fileName = BaseName(fileName);  // the client sends a whole path; the header has room for the name
  request.timeText = timeText;
  request.encoding = options.encoding;
  request.limits = options.renderLimits;
  if (!WriteSpoolTemporary(request.textPath, contents, spoolError)) {
    TRenderedText failed;
    failed.error = spoolError;
    return failed;
  }
  TRenderedText rendered = RenderText(request);
  std::remove(request.textPath.c_str());
  return rendered;
}

// A recorded job rendered again from its spool file (the text after the header line), as after
// a restart, when the first rendering is gone.
TRenderedText RenderRecorded(const TWorkerOptions& options, const TStoredJob& job) {
  std::ifstream file(job.spoolPath, std::ios::binary);
  std::stringstream text;
  if (!file || !(text << file.rdbuf())) {
    TRenderedText failed;
    failed.error = "cannot read the spool file " + PrintableName(job.spoolPath, 1000);
    return failed;
  }
  const std::string spooled = text.str();
  const std::size_t header = spooled.find('\n');
  const std::string contents = header == std::string::npos ? std::string() : spooled.substr(header + 1);
  std::string spoolError;
  return RenderContents(options, contents, job.team, job.location, job.filename, job.receivedAt.substr(0, 16),
                        spoolError);
}

// The rendered job beside its spool file: "x.txt" gives "x.pdf".
std::string PrintoutPath(const std::string& spoolPath) {
  const std::size_t dot = spoolPath.rfind(".txt");
  return (dot == std::string::npos ? spoolPath : spoolPath.substr(0, dot)) + ".pdf";
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
  return [command, limit](const TStoredJob&, const std::string& pdfPath, const std::atomic<bool>& stopping) {
    TChildCommand child;
    // The path travels as "$1", so that no character of it is read by the shell.
    child.arguments = {"/bin/sh", "-c", command + " \"$1\"", "print-command", pdfPath};
    child.timeoutMs = static_cast<int>(limit.count());
    child.cancel = &stopping;
    const TChildResult result = RunChild(child);
    if (result.canceled) return TPrinted{"recorded", std::nullopt, {}};
    TPrinted printed{result.Succeeded() ? "printed" : "failed", result.ExitStatus(),
                     LastLines(result.output, kKeptOutputLines)};
    if (result.timedOut) printed.output += "\n[stopped after " + std::to_string(limit.count() / 1000) + " s]";
    if (!result.started || !result.problem.empty()) printed.output = result.Describe(child);
    return printed;
  };
}

TJobWorkers::~TJobWorkers() { Stop(); }

bool TJobWorkers::Start(const TWorkerOptions& options, std::string& error) {
  options_ = options;
  if (!recordStore_.Open(options_.databasePath, error)) return false;
  RemoveSpoolTemporaries(options_.spoolDir);
  for (const TStoredJob& job : recordStore_.UnprintedJobs()) {
    toPrint_.push_back(job.number);
    ServerLog("job " + std::to_string(job.number) + " was recorded before the restart; it is printed now");
  }
  for (int i = 0; i < std::max(1, options_.renderWorkers); ++i) threads_.emplace_back(&TJobWorkers::RenderLoop, this);
  threads_.emplace_back(&TJobWorkers::RecordLoop, this);
  for (int i = 0; i < std::max(1, options_.printWorkers); ++i) threads_.emplace_back(&TJobWorkers::PrintLoop, this);
  if (options_.queue) threads_.emplace_back(&TJobWorkers::WatchOutcomes, this);
  return true;
}

void TJobWorkers::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  ticketsChanged_.notify_all();
  renderedChanged_.notify_all();
  printChanged_.notify_all();
  outcomesChanged_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  std::lock_guard<std::mutex> hold(lock_);
  for (const TRenderedTicket& waiting : rendered_) RemoveRendering(waiting.rendered);
  for (const auto& [number, rendering] : renderings_) RemoveRendering(rendering);
  rendered_.clear();
  renderings_.clear();
}

bool TJobWorkers::Stopping() { return stopping_; }

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

// Rendering is the slow step (some 20 ms for 100 KiB): it runs on several workers, before the
// store is locked for a batch.
void TJobWorkers::RenderLoop() {
  for (;;) {
    TRenderedTicket item;
    {
      std::unique_lock<std::mutex> hold(lock_);
      ticketsChanged_.wait(hold, [&] { return stopping_ || !tickets_.empty(); });
      if (stopping_) return;
      item.ticket = std::move(tickets_.front());
      tickets_.pop_front();
    }
    const TPrintJob& job = item.ticket.job;
    const TTeamAccount* account = options_.teams ? options_.teams->Find(job.team) : nullptr;
    if (account) item.location = account->location;
    item.rendered = RenderContents(options_, job.contents, job.team, item.location, job.filename,
                                   HeaderTime(std::time(nullptr)), item.spoolError);
    {
      std::lock_guard<std::mutex> hold(lock_);
      rendered_.push_back(std::move(item));
    }
    renderedChanged_.notify_one();
  }
}

void TJobWorkers::RecordLoop() {
  for (;;) {
    std::vector<TRenderedTicket> batch;
    {
      std::unique_lock<std::mutex> hold(lock_);
      renderedChanged_.wait(hold, [&] { return stopping_ || !rendered_.empty(); });
      if (stopping_) return;
      while (!rendered_.empty() && batch.size() < kMaxBatch) {
        batch.push_back(std::move(rendered_.front()));
        rendered_.pop_front();
      }
    }
    RecordBatch(batch);
  }
}

// In three steps, so that a batch pays for one directory flush and one commit: each job is
// checked and written to a temporary file; the files are flushed and named; the jobs are
// recorded and committed. Only then are the answers reported.
void TJobWorkers::RecordBatch(std::vector<TRenderedTicket>& batch) {
  std::vector<TPendingAnswer> answers(batch.size());
  std::string storeError;
  bool storeFailed = !recordStore_.Begin(storeError);
  std::map<std::pair<std::string, std::string>, int> newInBatch;
  std::map<std::string, std::int64_t> chargedInBatch;
  TSpoolBatch spool(options_.spoolDir);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const TPrintJob& job = batch[i].ticket.job;
    const TRenderedText& rendered = batch[i].rendered;
    TPendingAnswer& answer = answers[i];
    answer.completion.ch = batch[i].ticket.ch;
    answer.completion.serial = batch[i].ticket.serial;
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
    } else if (!batch[i].spoolError.empty()) {
      fail("The print server cannot spool the job: " + batch[i].spoolError);
    } else if (!rendered.error.empty()) {
      fail("The print server cannot render the job");
      answer.completion.logLine += ": " + PrintableName(rendered.error, 1000);
    } else if (options_.pageLimit > 0 && rendered.pages > options_.pageLimit) {
      fail("The job has " + std::to_string(rendered.pages) + " pages, more than the limit of " +
           std::to_string(options_.pageLimit) + " pages per job; it was not printed");
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
                                AcceptedReply(job, rendered.pages, left), batch[i].location};
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
      answer.completion.reply =
          ErrorReply(batch[i].ticket.job.id, "The print server cannot spool the job: " + file.error);
      answer.completion.logLine = "refused " + JobText(batch[i].ticket.job) + ": " + file.error;
      continue;
    }
    answer.spoolPath = answer.record.spoolPath = file.path;
    answer.completion.logLine = JobText(batch[i].ticket.job) + ": " + std::to_string(answer.record.pages) +
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
      answer.completion.logLine = "repeated " + JobText(batch[i].ticket.job) + " answered again";
      answer.needsCommit = first.needsCommit;
    }
    if (storeFailed && answer.needsCommit) {
      // Nothing of the batch was recorded: its files go and its teams are not charged.
      if (!answer.spoolPath.empty()) ::unlink(answer.spoolPath.c_str());
      answer.completion.reply =
          ErrorReply(batch[i].ticket.job.id, "The print server cannot record the job: " + storeError);
      answer.completion.logLine = "not recorded: " + storeError;
    } else if (answer.number) {
      recorded.push_back(answer.number);
    }
    completions.push_back(std::move(answer.completion));
  }
  Complete(completions);
  {
    // The renderings of recorded jobs wait for their print step; the others go.
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (answers[i].number && !storeFailed) renderings_[answers[i].number] = batch[i].rendered;
      else RemoveRendering(batch[i].rendered);
    }
  }
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
    PrintJob(store, *job);
  }
}

// Binds the job into one PDF beside its spool file, then hands it on; each outcome is recorded.
void TJobWorkers::PrintJob(TJobStore& store, const TStoredJob& job) {
  const std::string name = "job " + std::to_string(job.number);
  std::string error;
  auto record = [&](const TPrinted& printed) {
    if (!store.RecordPrintOutcome(job.number, printed.state, printed.exitStatus, printed.output, error)) {
      ServerLog("the outcome of " + name + " cannot be recorded: " + error);
    }
    ServerLog(name + " " + printed.state +
              (printed.exitStatus ? " (exit status " + std::to_string(*printed.exitStatus) + ")" : std::string()) +
              (printed.output.empty() ? std::string() : ": " + PrintableName(printed.output, 1000)));
  };

  TRenderedText rendering;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (auto kept = renderings_.find(job.number); kept != renderings_.end()) {
      rendering = kept->second;
      renderings_.erase(kept);
    }
  }
  if (rendering.bodyPath.empty()) {
    rendering = RenderRecorded(options_, job);
    if (rendering.error.empty() && rendering.pages != job.pages) {
      ServerLog(name + " renders to " + std::to_string(rendering.pages) + " pages now; " +
                std::to_string(job.pages) + " were charged");
    }
  }
  if (!rendering.error.empty()) return record({"failed", std::nullopt, "cannot render: " + rendering.error});

  const std::string pdfPath = PrintoutPath(job.spoolPath);
  const std::string temporary = SpoolTemporaryName(options_.spoolDir, ".pdf");
  // Bound under a temporary name, so that a PDF under the job's name is always whole.
  TPrintout printout = BindPrintout(rendering, temporary, options_.renderLimits);
  if (printout.error.empty() && std::rename(temporary.c_str(), pdfPath.c_str()) != 0) {
    printout.error = "cannot name " + pdfPath;
  }
  if (!printout.error.empty()) {
    std::remove(temporary.c_str());
    return record({"failed", std::nullopt, "cannot bind the printout: " + printout.error});
  }
  if (!store.RecordPrintout(job.number, pdfPath, error)) ServerLog(name + ": " + error);

  if (options_.queue) {
    const std::string absolute = std::filesystem::absolute(pdfPath).string();
    const TCupsSubmission submission = SubmitToQueue(*options_.queue, JobTitle(job.team, job.filename), absolute);
    if (!submission.error.empty()) return record({"failed", std::nullopt, "CUPS: " + submission.error});
    if (!store.RecordQueued(job.number, submission.jobId, error)) ServerLog(name + ": " + error);
    ServerLog(name + " queued on " + options_.queue->name + " as CUPS job " + std::to_string(submission.jobId));
  } else if (options_.print) {
    record(options_.print(job, pdfPath, stopping_));
  } else {
    record({"spooled", std::nullopt, {}});
  }
}

// Asks CUPS, every so often, how the queued jobs ended, oldest first.
void TJobWorkers::WatchOutcomes() {
  TJobStore store;
  std::string error;
  if (!store.Open(options_.databasePath, error)) {
    ServerLog("the outcome watcher cannot open the database: " + error);
    return;
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      outcomesChanged_.wait_for(hold, options_.outcomePoll, [&] { return stopping_.load(); });
      if (stopping_) return;
    }
    int unfinished = 0;
    for (const TStoredJob& job : store.QueuedJobs()) {
      if (Stopping() || unfinished == kUnfinishedPerRound) break;
      const TCupsJobStatus status = QueryOutcome(*options_.queue, job.cupsJobId);
      if (!status.Finished()) {
        ++unfinished;
        if (!status.error.empty()) ServerLog("job " + std::to_string(job.number) + ": " + status.error);
        continue;
      }
      const std::string state = status.state == ECupsJobState::Completed ? "printed" : "failed";
      if (!store.RecordCupsOutcome(job.number, state, CupsJobStateName(status.state), error)) {
        ServerLog("the outcome of job " + std::to_string(job.number) + " cannot be recorded: " + error);
      }
      ServerLog("job " + std::to_string(job.number) + " " + state + " (CUPS job " + std::to_string(job.cupsJobId) +
                " " + CupsJobStateName(status.state) + ")");
    }
  }
}

}  // namespace lumarix::printserver
