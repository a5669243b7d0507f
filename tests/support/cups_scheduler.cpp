#include "support/cups_scheduler.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace lumarix::testing {
namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kClientTimeoutMs = 30000;

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::trunc);
  file << text;
  return static_cast<bool>(file.flush());
}

// Everything a scheduler keeps lives in its directory; the error log goes to its standard error,
// where the test reads what the scheduler does. Filters and backends run as the user lp.
std::string FilesConfiguration(const std::string& directory) {
  return "ServerRoot " + directory + "\n" +
         "RequestRoot " + directory + "/spool\n" +
         "TempDir " + directory + "/spool/tmp\n" +
         "CacheDir " + directory + "/cache\n" +
         "StateDir " + directory + "/state\n" +
         "Printcap " + directory + "/printcap\n" +
         "AccessLog " + directory + "/log/access_log\n" +
         "PageLog " + directory + "/log/page_log\n" +
         "ErrorLog stderr\n"
         "FileDevice Yes\n"
         "User lp\n"
         "Group lp\n"
         "SystemGroup root\n";
}

std::string SchedulerConfiguration(const std::string& socket) {
  return "Listen " + socket + "\n" +
         "LogLevel info\n"
         "WebInterface No\n"
         "Browsing No\n"
         "PageLogFormat %j %P %C %{job-name}\n"
         "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
         "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
}

}  // namespace

CupsScheduler::CupsScheduler() {
  // A short path: a Unix socket's path holds at most 107 bytes.
  char pattern[] = "/tmp/lumarix-cups-XXXXXX";
  if (!::mkdtemp(pattern)) {
    problem_ = "cannot make the scheduler's directory";
    return;
  }
  directory_ = pattern;
  socket_ = directory_ + "/cups.sock";
  ::chmod(directory_.c_str(), 0755);  // the filters, run as lp, read from here
  for (const char* sub : {"spool", "spool/tmp", "cache", "state", "log", "ppd", "out"})
    std::filesystem::create_directories(directory_ + "/" + sub);
  if (!WriteFile(directory_ + "/cups-files.conf", FilesConfiguration(directory_)) ||
      !WriteFile(directory_ + "/cupsd.conf", SchedulerConfiguration(socket_))) {
    problem_ = "cannot write the scheduler's configuration";
    return;
  }
  ProcessLaunch launch;
  launch.program = "/usr/sbin/cupsd";
  launch.arguments = {"-f", "-c", directory_ + "/cupsd.conf", "-s", directory_ + "/cups-files.conf"};
  launch.workingDirectory = directory_;
  cupsd_ = std::make_unique<RunningProcess>(launch);
  if (!cupsd_->started()) problem_ = "cannot start /usr/sbin/cupsd";
  else if (!cupsd_->WaitForOutput("Listening to " + socket_, kStartTimeoutMs))
    problem_ = "cupsd did not start listening: " + cupsd_->Output();
}

CupsScheduler::~CupsScheduler() {
  if (cupsd_ && cupsd_->started()) {
    cupsd_->Stop();
    cupsd_->Wait(30000);
  }
  if (!directory_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
}

std::string CupsScheduler::RunClient(const std::string& program, const std::vector<std::string>& arguments) {
  ProcessLaunch launch;
  launch.program = program;
  launch.arguments = arguments;
  launch.environment = {{"CUPS_SERVER", socket_}};
  launch.timeoutMs = kClientTimeoutMs;
  ProcessResult result = RunProcess(launch);
  if (result.exitCode == 0) return {};
  return program + " exit status " + std::to_string(result.exitCode) + ": " + result.output;
}

std::string CupsScheduler::AddPrinter(const std::string& name) {
  return RunClient("/usr/sbin/lpadmin", {"-p", name, "-E", "-v", "file://" + DeviceFile(name), "-m",
                                         "drv:///sample.drv/generic.ppd"});
}

std::string CupsScheduler::AddToClass(const std::string& printer, const std::string& className) {
  std::string problem = RunClient("/usr/sbin/lpadmin", {"-p", printer, "-c", className});
  if (problem.empty()) problem = RunClient("/usr/sbin/cupsenable", {className});
  if (problem.empty()) problem = RunClient("/usr/sbin/cupsaccept", {className});
  return problem;
}

std::string CupsScheduler::DeviceFile(const std::string& printer) const { return directory_ + "/out/" + printer + ".ps"; }

bool CupsScheduler::WaitForJobCompleted(std::int64_t jobId, int timeoutMs) {
  return cupsd_->WaitForOutput("[Job " + std::to_string(jobId) + "] Job completed.", timeoutMs);
}

std::vector<CupsScheduler::PageLogEntry> CupsScheduler::PageLog() const {
  std::vector<PageLogEntry> entries;
  std::ifstream log(directory_ + "/log/page_log");
  std::string line;
  while (std::getline(log, line)) {
    std::istringstream fields(line);
    PageLogEntry entry;
    std::string page;
    if (!(fields >> entry.jobId >> page >> entry.pages) || page != "total") continue;
    std::getline(fields >> std::ws, entry.title);
    entries.push_back(entry);
  }
  return entries;
}

std::string CupsScheduler::Log() { return cupsd_ ? cupsd_->Output() : std::string(); }

}  // namespace lumarix::testing
#endif
