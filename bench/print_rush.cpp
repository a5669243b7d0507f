// A contest's rush: many teams print at the same moment. Starts the built print server with a
// print command that takes 1 s per job, then the built print client N times at once, each with a
// contest directory of its own and a different 100 KiB file, and reports how many were answered
// within the client's 8 s, how many jobs were spooled (and whether any twice), the median and
// the 99th percentile of the time from a client's start to its reply, and the server's peak
// memory. Figures only: nothing here passes or fails on speed.
//
//   print-rush --client PATH --server PATH [--clients N]
//
// The client always speaks to port 17244, so the run takes a network namespace of its own
// when it may (as root), and otherwise waits for the shared lock of that port.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "process_run.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileSize = 100 * 1024;
constexpr double kClientLimitSeconds = 8.0;

struct TChild {
  pid_t pid = -1;
  int output = -1;
  std::string text;
  Clock::time_point started;
  double replySeconds = -1;  // when its reply (or its failure) showed
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "print-rush: %s\n", what.c_str());
  std::exit(1);
}

std::string Text(std::size_t size, unsigned seed) {
  std::string text;
  for (unsigned line = 0; text.size() < size; ++line) {
    text += "// team file " + std::to_string(seed) + ", line " + std::to_string(line) + ": int x = " +
            std::to_string((seed * 7919u + line * 104729u) % 1000003u) + ";\n";
  }
  text.resize(size);
  return text;
}

// Starts a program with its input from a file and its output (and error) into a pipe, or into
// the file `output` when one is named.
TChild Spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
             const std::string& input, const std::string& output = {}) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) Fail("cannot make a pipe");
  TChild child;
  child.started = Clock::now();
  child.pid = StartProcess(arguments, environment, input, output, pipeEnds[1]);
  if (child.pid < 0) Fail("cannot start " + arguments[0]);
  ::close(pipeEnds[1]);
  child.output = pipeEnds[0];
  return child;
}

bool Drain(TChild& child) {
  char buffer[4096];
  const ssize_t n = ::read(child.output, buffer, sizeof buffer);
  if (n > 0) child.text.append(buffer, static_cast<std::size_t>(n));
  return n > 0;
}

long PeakMemoryKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())));
  return values[index];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage = "usage: print-rush --client PATH --server PATH [--clients N]";
  auto options = ReadOptions(argc, argv, {"--client", "--server", "--clients"}, usage);
  if (!options.count("--client") || !options.count("--server")) Fail(usage);
  const std::string clientPath = fs::absolute(options["--client"]).string();
  const std::string serverPath = fs::absolute(options["--server"]).string();
  const int clients = options.count("--clients") ? std::max(1, std::atoi(options["--clients"].c_str())) : 300;
  ::signal(SIGPIPE, SIG_IGN);

  const std::string network = TakePrintPort();
  const fs::path work = MakeWorkDirectory("rush");
  fs::create_directories(work / "spool");
  WriteFile(work / "yes.txt", "YES\n");
  std::string teams;
  for (int i = 0; i < clients; ++i) {
    const std::string team = "team" + std::to_string(1000 + i);
    teams += team + " pw 1000\n";
    fs::create_directories(work / team);
    WriteFile(work / team / (team + ".dat"), "TEAM=" + team + "\r\nPWD=pw\r\nSERVER=127.0.0.1\r\n");
    WriteFile(work / team / "solution.cpp", Text(kFileSize, static_cast<unsigned>(i)));
  }
  WriteFile(work / "teams.txt", teams);

  TChild server = Spawn({serverPath, "--address", "127.0.0.1", "--port", "17244", "--spool", (work / "spool").string(),
                         "--teams", (work / "teams.txt").string(), "--print-command", "sleep 1; true",
                         // a 100 KiB file renders to some 30 pages: above the default per-job limit
                         "--page-limit", "0"},
                        {}, (work / "yes.txt").string(), (work / "server.log").string());
  ::close(server.output);
  // The server's log goes to a file, which never holds it up; it has started when it listens.
  const auto serverDeadline = Clock::now() + std::chrono::seconds(20);
  while (ReadWhole(work / "server.log").find("listening on") == std::string::npos) {
    if (Clock::now() > serverDeadline || ::waitpid(server.pid, nullptr, WNOHANG) != 0) {
      Fail("the server did not start: " + ReadWhole(work / "server.log"));
    }
    ::usleep(10000);
  }

  std::vector<TChild> children;
  for (int i = 0; i < clients; ++i) {
    const std::string team = "team" + std::to_string(1000 + i);
    children.push_back(Spawn({clientPath, (work / team / "solution.cpp").string()},
                             {"CTDIR=" + (work / team).string(), "TEAM="}, (work / "yes.txt").string()));
  }
  // Each client's reply time: from its start to the line that tells the outcome.
  std::size_t open = children.size();
  while (open > 0) {
    std::vector<pollfd> readable;
    std::vector<TChild*> owners;
    for (TChild& child : children) {
      if (child.output < 0) continue;
      readable.push_back({child.output, POLLIN, 0});
      owners.push_back(&child);
    }
    if (::poll(readable.data(), readable.size(), 1000) < 0) Fail("poll failed");
    for (std::size_t i = 0; i < readable.size(); ++i) {
      if (!readable[i].revents) continue;
      TChild& child = *owners[i];
      const bool more = Drain(child);
      if (child.replySeconds < 0 && (child.text.find("has been sent to the printer") != std::string::npos ||
                                     child.text.find("FATAL") != std::string::npos)) {
        child.replySeconds = std::chrono::duration<double>(Clock::now() - child.started).count();
      }
      if (!more) {
        ::close(child.output);
        child.output = -1;
        --open;
      }
    }
  }
  for (TChild& child : children) ::waitpid(child.pid, nullptr, 0);
  const long peakKiB = PeakMemoryKiB(server.pid);
  ::kill(server.pid, SIGTERM);
  ::waitpid(server.pid, nullptr, 0);
  server.text = ReadWhole(work / "server.log");

  std::vector<double> replyTimes;
  int inTime = 0;
  for (const TChild& child : children) {
    if (child.text.find("has been sent to the printer") == std::string::npos) continue;
    replyTimes.push_back(child.replySeconds);
    if (child.replySeconds <= kClientLimitSeconds) ++inTime;
  }
  if (std::getenv("PRINT_RUSH_DEBUG")) {
    for (const TChild& child : children) {
      if (child.text.find("has been sent to the printer") == std::string::npos) {
        std::printf("failed client (%.2f s):\n%s\n", child.replySeconds, child.text.c_str());
        break;
      }
    }
    std::printf("server:\n%s\n", server.text.c_str());
  }
  std::map<std::string, int> spooledPerTeam;
  int spooled = 0;
  for (const auto& entry : fs::directory_iterator(work / "spool")) {
    if (entry.path().extension() != ".txt") continue;
    ++spooled;
    const std::string name = entry.path().filename().string();
    const std::size_t team = name.find("_team");
    if (team != std::string::npos) ++spooledPerTeam[name.substr(team + 1, 8)];
  }
  int twice = 0;
  for (const auto& [team, count] : spooledPerTeam) twice += count > 1;

  std::printf("print rush: %d clients at once, 100 KiB each, print command 1 s per job (%s)\n", clients,
              network.c_str());
  std::printf("  replies within 8 s: %d of %d\n", inTime, clients);
  std::printf("  jobs spooled:       %d (teams spooled twice: %d)\n", spooled, twice);
  std::printf("  reply time:         median %.2f s, 99th percentile %.2f s\n", Percentile(replyTimes, 0.5),
              Percentile(replyTimes, 0.99));
  std::printf("  server peak memory: %.1f MiB\n", static_cast<double>(peakKiB) / 1024.0);
  fs::remove_all(work);
  return 0;
}
