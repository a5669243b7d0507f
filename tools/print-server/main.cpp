// The print server: a listening channel on the socket library, one answering loop and the job
// workers behind it, with every job and every team's used pages in a database in the spool
// directory. It runs until it is stopped (SIGINT, SIGTERM); whatever a client sends, only that
// client's channel is closed.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "LumarixModuleOrder.h"
#include "LumarixSocket.h"
#include "LumarixSocketStr.h"
#include "LumarixTime.h"
#include "LumarixUtil.h"
#include "answer_loop.h"
#include "job_store.h"
#include "job_workers.h"
#include "print_jobs.h"
#include "render.h"
#include "report.h"
#include "server_log.h"

namespace {

using namespace lumarix;
using namespace lumarix::printserver;

constexpr const char* kDatabaseName = "print-server.db";

std::atomic<bool> stopRequested{false};

void RequestStop(int) { stopRequested = true; }

struct TOptions {
  std::string address = "127.0.0.1";
  unsigned port = 17244;
  std::string spoolDir = ".";
  std::string teamsFile;
  std::string printCommand;
  long printTimeout = 60;
  long requestTimeout = 10;
  long backlog = 512;
  long memoryLimit = 256;
  long printWorkers = 1;
  long renderWorkers = 2;
  long pageLimit = 20;
  std::string queue;
  std::string encoding = "latin1";
  int logLevel = 0;
  bool report = false;
  bool csv = false;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr,
               "%s\nusage: print-server [--address A] [--port P] [--spool DIR] [--teams FILE]\n"
               "                    [--page-limit N] [--encoding NAME] [--render-workers N]\n"
               "                    [--queue NAME | --print-command CMD] [--print-timeout S]\n"
               "                    [--print-workers N] [--request-timeout S] [--backlog N]\n"
               "                    [--memory-limit MIB] [--log-level N]\n"
               "       print-server report [--spool DIR] [--teams FILE] [--csv]\n",
               problem.c_str());
  std::exit(2);
}

long Number(const std::string& option, const std::string& value, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno != 0 || number < low || number > high) {
    Usage("bad value for " + option + ": " + value);
  }
  return number;
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions options;
  int first = 1;
  if (argc > 1 && std::string(argv[1]) == "report") {
    options.report = true;
    first = 2;
  }
  for (int i = first; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--csv" && options.report) {
      options.csv = true;
      continue;
    }
    if (i + 1 >= argc) Usage("missing value for " + option);
    const std::string value = argv[++i];
    if (option == "--address") options.address = value;
    else if (option == "--port") options.port = static_cast<unsigned>(Number(option, value, 1, 65535));
    else if (option == "--spool") options.spoolDir = value;
    else if (option == "--teams") options.teamsFile = value;
    else if (option == "--print-command") options.printCommand = value;
    else if (option == "--print-timeout") options.printTimeout = Number(option, value, 1, 86400);
    else if (option == "--print-workers") options.printWorkers = Number(option, value, 1, 64);
    else if (option == "--request-timeout") options.requestTimeout = Number(option, value, 1, 3600);
    else if (option == "--backlog") options.backlog = Number(option, value, 1, 65535);
    else if (option == "--memory-limit") options.memoryLimit = Number(option, value, 16, 1 << 20);
    else if (option == "--log-level") options.logLevel = static_cast<int>(Number(option, value, 0, 7));
    else if (option == "--page-limit") options.pageLimit = Number(option, value, 0, 100000);
    else if (option == "--render-workers") options.renderWorkers = Number(option, value, 1, 64);
    else if (option == "--queue") options.queue = value;
    else if (option == "--encoding") options.encoding = value;
    else Usage("unknown option " + option);
  }
  if (!options.queue.empty() && !options.printCommand.empty()) Usage("--queue and --print-command exclude each other");
  if (!options.queue.empty() && !IsValidQueueName(options.queue)) Usage("not a CUPS queue name: " + options.queue);
  if (!IsKnownEncoding(options.encoding)) Usage("unknown code page for --encoding: " + options.encoding);
  return options;
}

// The team list, or a stop naming the file (and the line) that is wrong.
bool LoadTeams(const std::string& file, TTeamList& teams) {
  if (file.empty()) return true;
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    std::fprintf(stderr, "print-server: cannot read the team list %s: %s\n", file.c_str(), std::strerror(errno));
    return false;
  }
  std::string error;
  if (!teams.Load(text.str(), error)) {
    std::fprintf(stderr, "print-server: the team list %s is not valid: %s\n", file.c_str(), error.c_str());
    return false;
  }
  return true;
}

bool PrepareSpool(const std::string& dir) {
  struct stat info {};
  if (::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
  if (::mkdir(dir.c_str(), 0755) == 0) return true;
  std::fprintf(stderr, "print-server: cannot use the spool directory %s: %s\n", dir.c_str(), std::strerror(errno));
  return false;
}

// The jury's view of the store: each team's pages and every job.
int Report(const TOptions& options) {
  TTeamList teams;
  if (!LoadTeams(options.teamsFile, teams)) return 1;
  TJobStore store;
  std::string error;
  if (!store.Open(options.spoolDir + kPathSeparator + kDatabaseName, error)) {
    std::fprintf(stderr, "print-server: %s\n", error.c_str());
    return 1;
  }
  const std::string report = MakeReport(teams, store.AllUsedPages(), store.AllJobs(),
                                        options.csv ? EReportFormat::Csv : EReportFormat::Table);
  std::fwrite(report.data(), 1, report.size(), stdout);
  return 0;
}

int Serve(const TOptions& options) {
  TTeamList teams;
  if (!LoadTeams(options.teamsFile, teams) || !PrepareSpool(options.spoolDir)) return 1;
  LogLevel = options.logLevel;
  LogEcho = options.logLevel > 0;

  TWorkerOptions workerOptions;
  workerOptions.spoolDir = options.spoolDir;
  workerOptions.databasePath = options.spoolDir + kPathSeparator + kDatabaseName;
  workerOptions.teams = &teams;
  workerOptions.printWorkers = static_cast<int>(options.printWorkers);
  workerOptions.renderWorkers = static_cast<int>(options.renderWorkers);
  workerOptions.pageLimit = options.pageLimit;
  workerOptions.encoding = options.encoding;
  // CUPS's clients find the scheduler as usual: CUPS_SERVER, or the system's own.
  if (!options.queue.empty()) workerOptions.queue = TCupsQueue{options.queue, {}, 30000};
  if (!options.printCommand.empty()) {
    workerOptions.print = CommandPrintStep(options.printCommand, std::chrono::seconds(options.printTimeout));
  }
  TJobWorkers workers;
  std::string error;
  if (!workers.Start(workerOptions, error)) {
    std::fprintf(stderr, "print-server: %s\n", error.c_str());
    return 1;
  }

  std::int32_t listening = OpenListeningChannel(options.address, static_cast<std::uint16_t>(options.port), 0,
                                                static_cast<int>(options.backlog));
  if (listening < 0) {
    std::fprintf(stderr, "print-server: cannot listen on %s:%u\n", options.address.c_str(), options.port);
    return 1;
  }
  std::printf("listening on %s:%u\n", options.address.c_str(), options.port);
  std::fflush(stdout);

  TLoopLimits limits;
  limits.requestTimeout = std::chrono::seconds(options.requestTimeout);
  limits.memoryBudget = static_cast<std::size_t>(options.memoryLimit) << 20;
  TAnswerLoop loop(listening, teams, workers, limits);
  loop.Run(stopRequested);
  workers.Stop();
  ServerLog("stopped");
  CloseChannelWithTimeout(listening, 1000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options = ParseOptions(argc, argv);
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
  // A write that does not fit must fail (and be answered), not end the server.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  RunProgram(kLibraryModules, [&] { return options.report ? Report(options) : Serve(options); });
}
