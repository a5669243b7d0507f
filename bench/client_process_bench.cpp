// The print client's whole process against the smallest process that makes the same exchange
// (minimal-print-client): both print the same 512 KiB file to a scripted print server on
// loopback, in turn (client, minimal, client, ...), each run timed from its start to its end
// as the operating system reports it. Prints the medians and the ratio client/minimal, pair by
// pair, so that a drift of the machine's speed moves both sides alike. Figures only.
//
//   client-process-bench --client PATH --minimal PATH [--runs N]
//   client-process-bench --serve SECONDS     the scripted server alone, for profiling by hand
//
// The scripted server answers at once (no rendering, no printer), so that what is measured is
// the client's own cost: it reads the request to its packet end, answers with the request's
// "ID", a message and the pages, and holds the connection until the client closes it, as the
// print server does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LumarixSocketStr.h"
#include "process_run.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr unsigned short kPrintPort = 17244;
constexpr std::size_t kFileSize = 512 * 1024;
const std::string kPacketEnd("\0+++\0", 5);
constexpr const char* kTeam = "team05";
constexpr const char* kPassword = "k7-crane-41";

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "client-process-bench: %s\n", what.c_str());
  std::exit(1);
}

// ---- The scripted print server ------------------------------------------------------------

class QuickServer {
 public:
  QuickServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    const sockaddr_in address = Loopback();
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
      Fail("cannot listen on 127.0.0.1:17244");
    }
    thread_ = std::thread([this] { Serve(); });
  }

  ~QuickServer() {
    stopping_ = true;
    // A connection of our own ends an accept that still waits.
    const int wake = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback();
    ::connect(wake, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    thread_.join();
    ::close(wake);
    ::close(listener_);
  }

  QuickServer(const QuickServer&) = delete;
  QuickServer& operator=(const QuickServer&) = delete;

  int answered() const { return answered_; }

 private:
  static sockaddr_in Loopback() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPrintPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  void Serve() {
    while (!stopping_) {
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      if (!stopping_) Answer(connection);
      ::close(connection);
    }
  }

  void Answer(int connection) {
    std::string received;
    char buffer[65536];
    while (received.size() < 5 || received.find(kPacketEnd, 4) == std::string::npos) {
      const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      received.append(buffer, static_cast<std::size_t>(got));
    }
    lumarix::TMessagePart* request = lumarix::ParseMsg(received);
    lumarix::TMessagePart* reply = nullptr;
    lumarix::AddPart(reply, "ID", lumarix::GetPart(request, "ID"));
    lumarix::AddPart(reply, "Message", "File " + lumarix::GetPart(request, "Filename") + " has been sent to the printer");
    lumarix::AddPart(reply, "JobPages", "142");
    lumarix::AddPart(reply, "LeftPages", "358");
    const std::string packet = lumarix::GatherMsg(reply);
    lumarix::FreeMsg(request);
    lumarix::FreeMsg(reply);
    if (::send(connection, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size())) {
      ++answered_;
    }
    // The print server keeps an answered connection until the client closes it.
    while (::recv(connection, buffer, sizeof buffer, 0) > 0) {
    }
  }

  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

// ---- Timed runs ---------------------------------------------------------------------------

struct TRun {
  double wallMs = 0;
  double cpuMs = 0;
  int exitCode = -1;
};

double Milliseconds(const timeval& time) { return static_cast<double>(time.tv_sec) * 1e3 + time.tv_usec / 1e3; }

// One run with its input from `input` and its output (and error) into `output`.
TRun Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
         const std::string& input, const std::string& output) {
  const Clock::time_point start = Clock::now();
  const int pid = StartProcess(arguments, environment, input, output);
  if (pid < 0) Fail("cannot start " + arguments[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  TRun run;
  run.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  run.cpuMs = Milliseconds(usage.ru_utime) + Milliseconds(usage.ru_stime);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Source text: lines with indentation, tabs and line ends, which the encoding escapes.
std::string SourceText(std::size_t size) {
  std::string text;
  for (unsigned line = 0; text.size() < size; ++line) {
    text += "\tfor (int i = 0; i < " + std::to_string(line % 977) + "; ++i) total += value[i] * " +
            std::to_string((line * 104729u) % 1000003u) + ";\r\n";
  }
  text.resize(size);
  return text;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct TSide {
  std::string name;
  std::vector<std::string> arguments;
  fs::path output;
  std::vector<TRun> runs;
};

// A run that did not print the reply measured something else: the figures would lie.
void CheckRun(const TSide& side, const TRun& run) {
  const std::string text = ReadWhole(side.output);
  if (run.exitCode != 0 || text.find("142 pages have been printed") == std::string::npos) {
    Fail(side.name + " did not print the reply (exit code " + std::to_string(run.exitCode) + "):\n" + text);
  }
}

void Report(const TSide& side) {
  std::vector<double> wall, cpu;
  for (const TRun& run : side.runs) {
    wall.push_back(run.wallMs);
    cpu.push_back(run.cpuMs);
  }
  std::printf("  %-8s wall median %7.2f ms (min %7.2f, max %7.2f), cpu median %7.2f ms\n", side.name.c_str(),
              Median(wall), *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()),
              Median(cpu));
}

int Serve(int seconds) {
  LockPrintPort();
  std::printf("scripted print server on 127.0.0.1:17244 for %d s\n", seconds);
  std::fflush(stdout);
  QuickServer server;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  std::printf("answered %d requests\n", server.answered());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage = "usage: client-process-bench --client PATH --minimal PATH [--runs N] | --serve SECONDS";
  auto options = ReadOptions(argc, argv, {"--client", "--minimal", "--runs", "--serve"}, usage);
  if (options.count("--serve")) return Serve(std::clamp(std::atoi(options["--serve"].c_str()), 1, 600));
  if (!options.count("--client") || !options.count("--minimal")) Fail(usage);
  const std::string clientPath = fs::absolute(options["--client"]).string();
  const std::string minimalPath = fs::absolute(options["--minimal"]).string();
  const int runs = options.count("--runs") ? std::clamp(std::atoi(options["--runs"].c_str()), 1, 1000) : 20;
  ::signal(SIGPIPE, SIG_IGN);
  const std::string network = TakePrintPort();
  const fs::path work = MakeWorkDirectory("client-bench");
  WriteFile(work / "yes.txt", "YES\n");
  WriteFile(work / (std::string(kTeam) + ".dat"),
            std::string("TEAM=") + kTeam + "\r\nPWD=" + kPassword + "\r\nSERVER=127.0.0.1\r\n");
  const std::string source = (work / "solution.cpp").string();
  WriteFile(source, SourceText(kFileSize));
  // The same environment for both; the client finds its team in CTDIR.
  const std::vector<std::string> environment{"CTDIR=" + work.string(), "TEAM=", "LANG=C"};

  TSide client{"client", {clientPath, source}, work / "client.out", {}};
  TSide minimal{"minimal", {minimalPath, source, kTeam, kPassword}, work / "minimal.out", {}};
  std::vector<double> wallRatios, cpuRatios;
  {
    QuickServer server;
    for (int i = -1; i < runs; ++i) {  // run -1 warms up both and is not counted
      TRun a = Run(client.arguments, environment, (work / "yes.txt").string(), client.output.string());
      CheckRun(client, a);
      TRun b = Run(minimal.arguments, environment, (work / "yes.txt").string(), minimal.output.string());
      CheckRun(minimal, b);
      if (i < 0) continue;
      client.runs.push_back(a);
      minimal.runs.push_back(b);
      wallRatios.push_back(a.wallMs / b.wallMs);
      cpuRatios.push_back(a.cpuMs / std::max(b.cpuMs, 0.001));
    }
  }
  std::printf("client process: %d runs each, in turn, 512 KiB to a scripted print server on 127.0.0.1 (%s)\n", runs,
              network.c_str());
  Report(client);
  Report(minimal);
  std::printf("  ratio client/minimal: wall %.3f (median of pairs), cpu %.3f\n", Median(wallRatios),
              Median(cpuRatios));
  fs::remove_all(work);
  return 0;
}
