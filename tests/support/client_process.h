// Runs a built program as a process of its own, the way a contestant's shell would: given
// arguments, environment variables and the bytes of its standard input (a pipe), it gives back
// the exit code and everything written to standard output and standard error.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

namespace lumarix::testing {

struct ProcessResult {
  int exitCode = -1;  // -1: did not end within the time limit (it was killed)
  std::string output;
};

struct ProcessLaunch {
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> environment;  // set for the child only
  std::string workingDirectory;
  std::string input;
  int timeoutMs = 30000;
};

// A program started in the background with its standard input a pipe holding the launch's
// input (closed once written) and its standard output and error one pipe that is read all the
// time, so that a test can wait for what it says while it runs.
class RunningProcess {
 public:
  explicit RunningProcess(const ProcessLaunch& launch);
  // Kills the process if it still runs.
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  bool started() const;
  // Waits until the output holds `text`; false on timeout or when the output ended without it.
  bool WaitForOutput(std::string_view text, int timeoutMs = 10000);
  // Asks the process to stop: SIGTERM on POSIX; on Windows, where a process without a console
  // of its own cannot be asked, it is terminated with exit code 255.
  void Stop();
#if !defined(_WIN32)
  // Sends a signal, e.g. SIGKILL for a crash at an arbitrary moment.
  void Signal(int signal);
  pid_t pid() const { return pid_; }
#endif
  // Waits for the end: the exit code, or -1 when it did not end in time (it is then killed).
  int Wait(int timeoutMs);
  std::string Output();

 private:
  void ReadOutput();
  void WriteInput(std::string input);
  bool OutputEnded(int timeoutMs);

#if defined(_WIN32)
  void* process_ = nullptr;  // HANDLEs, kept out of this header with <windows.h>
  void* input_ = nullptr;
  void* output_ = nullptr;
#else
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
#endif
  bool ended_ = false;
  int exitCode_ = -1;
  std::mutex lock_;
  std::condition_variable changed_;
  std::string text_;
  bool outputEnded_ = false;
  std::thread reader_;
  std::thread writer_;
};

ProcessResult RunProcess(const ProcessLaunch& launch);

#if !defined(_WIN32)
// The argument and environment vectors of a launch, ready for execve: built before a fork, so
// that the child of a process with threads has nothing left to do but async-signal-safe calls.
class ExecImage {
 public:
  explicit ExecImage(const ProcessLaunch& launch);
  ExecImage(const ExecImage&) = delete;
  ExecImage& operator=(const ExecImage&) = delete;

  const char* program() const { return program_.c_str(); }
  const char* directory() const { return directory_.empty() ? nullptr : directory_.c_str(); }
  char* const* argv() { return argv_.data(); }
  char* const* envp() { return envp_.data(); }

 private:
  std::string program_, directory_;
  std::vector<std::string> arguments_, environment_;
  std::vector<char*> argv_, envp_;
};
#endif

// The line end the programs write on this platform.
#if defined(_WIN32)
constexpr const char* kEol = "\r\n";
#else
constexpr const char* kEol = "\n";
#endif

}  // namespace lumarix::testing
