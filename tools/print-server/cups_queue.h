// Handing a rendered job to a CUPS queue (a printer or a class, whose scheduler spreads a rush
// over its printers) and asking CUPS what became of it, through CUPS's own client programs.
#pragma once

#include <cstdint>
#include <string>

namespace lumarix::printserver {

struct TCupsQueue {
  std::string name;    // a printer or a class
  std::string server;  // "host[:port]" or a Unix socket's path; empty: CUPS's default
  int timeoutMs = 30000;
};

struct TCupsSubmission {
  std::int64_t jobId = 0;  // CUPS's number for the job
  std::string error;       // empty on success
};

enum class ECupsJobState { Pending, Held, Processing, Stopped, Canceled, Aborted, Completed, Unknown };

struct TCupsJobStatus {
  ECupsJobState state = ECupsJobState::Unknown;
  std::int64_t pagesPrinted = 0;  // as CUPS counted them so far
  std::string error;              // why the state could not be learnt

  // Whether the job has left the queue, printed or not.
  bool Finished() const;
};

// Whether `name` can name a CUPS queue: printable, without blanks, "/", "#", "\" or quotes.
bool IsValidQueueName(const std::string& name);

// The job's title: the team and the file, made of printable characters and valid UTF-8.
std::string JobTitle(const std::string& team, const std::string& fileName);

// Submits the file at `path` (absolute) under `title`, as `lp -d QUEUE -t TITLE PATH` does.
TCupsSubmission SubmitToQueue(const TCupsQueue& queue, const std::string& title, const std::string& path);

// The job's state as the scheduler has it now.
TCupsJobStatus QueryOutcome(const TCupsQueue& queue, std::int64_t jobId);

// "completed", "aborted", ...: the state's name in CUPS's words, for the job's record.
const char* CupsJobStateName(ECupsJobState state);

}  // namespace lumarix::printserver
