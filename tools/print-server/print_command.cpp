#include "print_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace lumarix::printserver {
namespace {

constexpr int kKeptLines = 10;
constexpr std::size_t kKeptBytes = 4096;
// Output read beyond this is dropped from the front, so that a chatty command costs little memory.
constexpr std::size_t kOutputWindow = 64 * 1024;

using Clock = std::chrono::steady_clock;

// Reads the child's output until it ends or the deadline passes; true when it ended.
bool ReadOutput(int fd, Clock::time_point deadline, const std::atomic<bool>* cancel, std::string& output) {
  constexpr long kSliceMs = 100;  // how soon a cancel is seen
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || (cancel && *cancel)) return false;
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(std::min(left, kSliceMs)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return true;
    if (ready == 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    output.append(buffer, static_cast<std::size_t>(n));
    if (output.size() > kOutputWindow) output.erase(0, output.size() - kOutputWindow / 2);
  }
}

int StatusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

}  // namespace

std::string LastLines(const std::string& text, int lines) {
  std::size_t end = text.size();
  if (end > 0 && text[end - 1] == '\n') --end;
  std::size_t begin = end;
  for (int seen = 0; begin > 0; --begin) {
    if (text[begin - 1] == '\n' && ++seen == lines) break;
  }
  if (end - begin > kKeptBytes) begin = end - kKeptBytes;
  return text.substr(begin, end - begin);
}

TCommandResult RunPrintCommand(const std::string& command, const std::string& path, std::chrono::milliseconds limit,
                               const std::atomic<bool>* cancel) {
  TCommandResult result;
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    result.failure = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  // The path travels as "$1", so that no character of it is read by the shell.
  const std::string script = command + " \"$1\"";
  std::vector<char*> argv = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                             const_cast<char*>("print-command"), const_cast<char*>(path.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, so that a command stopped for its time also stops what it started;
  // and the signals the server ignores are the command's defaults again.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(pipeEnds[1]);
  if (spawned != 0) {
    ::close(pipeEnds[0]);
    result.failure = std::string("cannot start /bin/sh: ") + std::strerror(spawned);
    return result;
  }
  std::string output;
  const Clock::time_point deadline = Clock::now() + limit;
  const bool outputEnded = ReadOutput(pipeEnds[0], deadline, cancel, output);
  ::close(pipeEnds[0]);
  int waitStatus = 0;
  // A command may close its output and live on: it is waited for within the same limit.
  while (outputEnded && Clock::now() < deadline && !(cancel && *cancel)) {
    const pid_t ended = ::waitpid(pid, &waitStatus, WNOHANG);
    if (ended == pid || (ended < 0 && errno != EINTR)) break;
    ::usleep(10000);
  }
  if (Clock::now() >= deadline || !outputEnded || (cancel && *cancel)) {
    if (::waitpid(pid, &waitStatus, WNOHANG) == 0) {
      result.timedOut = true;
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
      }
    }
  }
  result.exitStatus = StatusOf(waitStatus);
  result.succeeded = !result.timedOut && result.exitStatus == 0;
  result.output = LastLines(output, kKeptLines);
  return result;
}

}  // namespace lumarix::printserver
