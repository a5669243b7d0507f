// A CUPS scheduler of the test's own (Linux): cupsd with its configuration, spool, logs and
// socket in a fresh directory, listening only on that Unix socket, so that nothing reaches or
// depends on the machine's own CUPS. Printers write each job's PostScript to a file in the
// directory. The scheduler is stopped and the directory removed when the object goes.
#pragma once

#if !defined(_WIN32)
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/client_process.h"

namespace lumarix::testing {

class CupsScheduler {
 public:
  // Starts cupsd and waits (a bounded time) until it listens; see started() and problem().
  CupsScheduler();
  ~CupsScheduler();
  CupsScheduler(const CupsScheduler&) = delete;
  CupsScheduler& operator=(const CupsScheduler&) = delete;

  bool started() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }
  // The socket's path: what CUPS_SERVER names for the clients.
  const std::string& server() const { return socket_; }

  // A printer whose device is the file DeviceFile(name), through a generic PostScript driver.
  // Returns an empty text, or what went wrong.
  std::string AddPrinter(const std::string& name);
  // Puts the printer in the class (made when needed) and lets the class take jobs.
  std::string AddToClass(const std::string& printer, const std::string& className);
  // The file a printer writes; each job replaces the one before.
  std::string DeviceFile(const std::string& printer) const;

  // Waits until the scheduler says the job has been printed.
  bool WaitForJobCompleted(std::int64_t jobId, int timeoutMs = 60000);

  struct PageLogEntry {
    std::int64_t jobId = 0;
    std::int64_t pages = 0;  // what the printer's filters counted
    std::string title;
  };
  // The page log's job totals, one per printed job.
  std::vector<PageLogEntry> PageLog() const;

  // What the scheduler has logged, for a failing test's message.
  std::string Log();

 private:
  std::string RunClient(const std::string& program, const std::vector<std::string>& arguments);

  std::string directory_, socket_, problem_;
  std::unique_ptr<RunningProcess> cupsd_;
};

}  // namespace lumarix::testing
#endif
