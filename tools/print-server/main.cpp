// A small print server on the socket library: it listens on a channel, takes print requests,
// checks, counts, spools and answers each, and runs until it is stopped. Whatever a client
// sends, only that client's channel is closed.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LumarixModuleOrder.h"
#include "LumarixSocket.h"
#include "LumarixSocketStr.h"
#include "LumarixTime.h"
#include "LumarixUtil.h"
#include "print_jobs.h"

namespace {

using namespace lumarix;
using namespace lumarix::printserver;

std::atomic<bool> stopRequested{false};

void RequestStop(int) { stopRequested = true; }

struct TOptions {
  std::string address = "127.0.0.1";
  unsigned port = 17244;
  std::string spoolDir = ".";
  std::string teamsFile;
  std::string printCommand;
  int logLevel = 0;
};

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr,
               "%s\nusage: print-server [--address A] [--port P] [--spool DIR] [--teams FILE]\n"
               "                    [--print-command CMD] [--log-level N]\n",
               problem);
  std::exit(2);
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (i + 1 >= argc) Usage(("missing value for " + option).c_str());
    std::string value = argv[++i];
    if (option == "--address") options.address = value;
    else if (option == "--port") options.port = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
    else if (option == "--spool") options.spoolDir = value;
    else if (option == "--teams") options.teamsFile = value;
    else if (option == "--print-command") options.printCommand = value;
    else if (option == "--log-level") options.logLevel = std::atoi(value.c_str());
    else Usage(("unknown option " + option).c_str());
  }
  if (options.port == 0 || options.port > 65535) Usage("bad port");
  return options;
}

void Log(const std::string& line) {
  std::printf("%s %s\n", TimeToText(NowTime()).c_str(), line.c_str());
  std::fflush(stdout);
}

bool LoadTeams(const TOptions& options, TTeamList& teams) {
  if (options.teamsFile.empty()) return true;
  std::string text, error;
  if (!ReadFileText(options.teamsFile, 16u << 20, true, text)) {
    std::fprintf(stderr, "cannot read the team list %s\n", options.teamsFile.c_str());
    return false;
  }
  if (!teams.Load(text, error)) {
    std::fprintf(stderr, "%s: %s\n", options.teamsFile.c_str(), error.c_str());
    return false;
  }
  return true;
}

void Answer(TUserMessage& record, TPrintServer& server) {
  TJobOutcome outcome = HandleRequest(record.parts, server, TimeToText(NowTime()));
  if (!SendMsg(record.ch, outcome.reply)) Log("cannot answer on channel " + std::to_string(record.ch));
  FreeMsg(outcome.reply);
  Log(outcome.logLine);
}

int Serve(const TOptions& options) {
  TPrintServer server;
  server.options.spoolDir = options.spoolDir;
  server.options.printCommand = options.printCommand;
  if (!LoadTeams(options, server.teams)) return 1;
  LogLevel = options.logLevel;
  LogEcho = options.logLevel > 0;

  std::int32_t listening = OpenListeningChannel(options.address, static_cast<std::uint16_t>(options.port), 0);
  if (listening < 0) {
    std::fprintf(stderr, "cannot listen on %s:%u\n", options.address.c_str(), options.port);
    return 1;
  }
  std::signal(SIGINT, RequestStop);
  std::signal(SIGTERM, RequestStop);
  std::printf("listening on %s:%u\n", options.address.c_str(), options.port);
  std::fflush(stdout);

  while (!stopRequested) {
    TUserMessage* record = WaitMessage(200);
    if (record == nullptr) continue;
    if (record->type == umAccepted) {
      Log("connection on channel " + std::to_string(record->newchannel));
    } else if (record->type == umMessage) {
      Answer(*record, server);
    } else if (record->type == umClosed) {
      std::int32_t ch = record->ch;
      if (ch == listening) {
        Log("the listening channel was closed");
        stopRequested = true;
      }
      FreeChannel(ch);
    }
    FreeUserMessage(record);
  }
  Log("stopped after " + std::to_string(server.jobsSpooled) + " jobs");
  CloseChannelWithTimeout(listening, 1000);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options = ParseOptions(argc, argv);
  RunProgram(kLibraryModules, [&] { return Serve(options); });
}
