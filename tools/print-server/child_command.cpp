#include "child_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace lumarix::printserver {
namespace {

using Clock = std::chrono::steady_clock;

// The program's path as execve needs it, found before the fork: the child of a process with
// threads may only make async-signal-safe calls.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= directories.size()) {
    std::size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    std::string directory = directories.substr(start, end - start);
    std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

std::vector<char*> PointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs in the forked child: only async-signal-safe calls until the exec.
[[noreturn]] void BecomeChild(const char* program, char* const* argv, char* const* envp, int outputFd, int errorFd,
                              std::uint64_t fileSizeLimit) {
  ::setpgid(0, 0);  // a group of its own, so that a timeout ends whatever it started too
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &defaults, nullptr);
  ::sigaction(SIGXFSZ, &defaults, nullptr);
  int input = ::open("/dev/null", O_RDONLY);
  if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(outputFd, 1) < 0 || ::dup2(errorFd, 2) < 0) ::_exit(127);
  ::close_range(3, ~0u, 0);
  struct rlimit noCore {0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  if (fileSizeLimit > 0) {
    struct rlimit size {fileSizeLimit, fileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &size);
  }
  ::execve(program, argv, envp);
  ::_exit(127);
}

void Keep(std::string& kept, const char* data, std::size_t size, std::size_t limit) {
  kept.append(data, size);
  if (kept.size() > limit) kept.erase(0, kept.size() - limit);
}

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

// How soon a cancel is seen.
constexpr int kCancelSliceMs = 100;

// Reads the child's output until the child has ended and the pipe is drained, or the deadline
// passes or the cancel is set. Returns false on timeout or cancel, with the rest of the output
// still in the pipe.
bool Supervise(int pidFd, int pipeFd, pid_t pid, Clock::time_point deadline, const TChildCommand& command,
               std::string& kept) {
  bool exited = false, drained = false;
  char buffer[4096];
  while (!drained) {
    if (command.cancel && *command.cancel) return false;
    struct pollfd watched[2] = {{pipeFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
    const int wait = MillisecondsUntil(deadline);
    int ready = ::poll(watched, exited ? 1 : 2, command.cancel ? std::min(wait, kCancelSliceMs) : wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && wait > kCancelSliceMs && command.cancel) continue;
    if (ready <= 0) return false;
    if (watched[0].revents != 0) {
      ssize_t got = ::read(pipeFd, buffer, sizeof buffer);
      if (got > 0) Keep(kept, buffer, static_cast<std::size_t>(got), command.keptOutputLimit);
      else if (got == 0 || errno != EINTR) drained = true;
    }
    if (!exited && watched[1].revents != 0) {
      exited = true;
      // Whatever the command left running would hold the pipe open; it ends with the command.
      ::kill(-pid, SIGKILL);
    }
  }
  return true;
}

// After the child is stopped, what it wrote before its end may still wait in the pipe. Read
// without blocking, since what escaped the kill may hold the pipe open, and no more than the
// pipe holds, since that may go on writing.
void KeepWhatIsWaiting(int pipeFd, const TChildCommand& command, std::string& kept) {
  const int flags = ::fcntl(pipeFd, F_GETFL);
  if (flags < 0 || ::fcntl(pipeFd, F_SETFL, flags | O_NONBLOCK) != 0) return;
  const int capacity = ::fcntl(pipeFd, F_GETPIPE_SZ);
  std::size_t left = capacity > 0 ? static_cast<std::size_t>(capacity) : 1024 * 1024;
  char buffer[4096];
  while (left > 0) {
    const ssize_t got = ::read(pipeFd, buffer, std::min(sizeof buffer, left));
    if (got > 0) {
      Keep(kept, buffer, static_cast<std::size_t>(got), command.keptOutputLimit);
      left -= static_cast<std::size_t>(got);
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
}

}  // namespace

std::string TChildResult::Describe(const TChildCommand& command) const {
  std::string program = command.arguments.empty() ? std::string("(nothing)") : command.arguments[0];
  if (!started) return "cannot start " + program + ": " + problem;
  if (canceled) return program + " stopped as the server stops";
  if (timedOut) return program + " timed out after " + std::to_string(command.timeoutMs) + " ms";
  if (!problem.empty()) return program + ": " + problem;
  if (signal == SIGXFSZ) return program + " exceeded the output limit of " + std::to_string(command.fileSizeLimit) + " bytes";
  if (signal != 0) return program + " killed by signal " + std::to_string(signal);
  return program + " exit status " + std::to_string(exitCode);
}

std::optional<int> TChildResult::ExitStatus() const {
  if (signal != 0) return 128 + signal;
  if (exitCode >= 0) return exitCode;
  return std::nullopt;
}

std::string LastLines(const std::string& text, int lines) {
  constexpr std::size_t kKeptBytes = 4096;
  std::size_t end = text.size();
  if (end > 0 && text[end - 1] == '\n') --end;
  std::size_t begin = end;
  for (int seen = 0; begin > 0; --begin) {
    if (text[begin - 1] == '\n' && ++seen == lines) break;
  }
  if (end - begin > kKeptBytes) begin = end - kKeptBytes;
  return text.substr(begin, end - begin);
}

TChildResult RunChild(const TChildCommand& command) {
  TChildResult result;
  if (command.arguments.empty()) {
    result.problem = "no program given";
    return result;
  }
  std::string program = FindProgram(command.arguments[0]);
  if (program.empty()) {
    result.problem = "not found on PATH";
    return result;
  }
  std::vector<std::string> arguments = command.arguments;
  std::vector<std::string> environment;
  if (command.environment) environment = *command.environment;
  else
    for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  std::vector<char*> argv = PointersTo(arguments), envp = PointersTo(environment);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.problem = std::strerror(errno);
    return result;
  }
  int outputFd = pipeFds[1];
  if (!command.outputFile.empty()) {
    outputFd = ::open(command.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outputFd < 0) {
      result.problem = command.outputFile + ": " + std::strerror(errno);
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
      return result;
    }
  }

  pid_t pid = ::fork();
  if (pid == 0) BecomeChild(program.c_str(), argv.data(), envp.data(), outputFd, pipeFds[1], command.fileSizeLimit);
  int forkError = errno;
  ::close(pipeFds[1]);
  if (outputFd != pipeFds[1]) ::close(outputFd);
  if (pid < 0) {
    ::close(pipeFds[0]);
    result.problem = std::strerror(forkError);
    return result;
  }
  result.started = true;

  auto deadline = Clock::now() + std::chrono::milliseconds(command.timeoutMs);
  int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // glibc 2.36 declares no C linkage for it
  const bool ended = pidFd >= 0 && Supervise(pidFd, pipeFds[0], pid, deadline, command, result.output);
  if (!ended) {
    result.canceled = command.cancel && *command.cancel;
    result.timedOut = pidFd >= 0;
    if (pidFd < 0) result.problem = std::string("cannot watch the child: ") + std::strerror(errno);
    ::kill(-pid, SIGKILL);
  }
  if (pidFd >= 0) ::close(pidFd);

  int status = 0;
  pid_t waited;
  while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (!ended) KeepWhatIsWaiting(pipeFds[0], command, result.output);
  ::close(pipeFds[0]);
  // Without its status (SIGCHLD ignored, say) the child counts as failed, never as done.
  if (waited != pid) result.problem = std::string("no exit status: ") + std::strerror(errno);
  else if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace lumarix::printserver
