#if !defined(_WIN32)
#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "LumarixModules.h"
#include "support/deadline.h"
#include "support/terminal_text.h"

namespace lumarix::testing {

ChildProcess::ChildProcess(Input input, std::function<int()> body, std::string pipedInput) {
  Start(input, [&body] { Halt(body()); }, pipedInput);
}

ChildProcess::ChildProcess(Input input, const ProcessLaunch& launch, std::string pipedInput) {
  ExecImage image(launch);
  Start(input,
        [&image] {
          if (image.directory() != nullptr && ::chdir(image.directory()) != 0) ::_exit(127);
          ::execve(image.program(), image.argv(), image.envp());
          ::_exit(127);
        },
        pipedInput);
}

void ChildProcess::Start(Input input, const std::function<void()>& inChild, const std::string& pipedInput) {
  struct winsize size {};
  size.ws_row = 24;
  size.ws_col = 80;
  if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
  int pipeFds[2] = {-1, -1};
  if (input == Input::Pipe && ::pipe(pipeFds) != 0) return;
  std::fflush(stdout);
  std::fflush(stderr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setsid();
    ::ioctl(slave_, TIOCSCTTY, 0);
    if (input == Input::Terminal) ::dup2(slave_, 0);
    if (input == Input::Pipe) {
      ::dup2(pipeFds[0], 0);
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
    }
    if (input == Input::Closed) ::close(0);
    ::dup2(slave_, 1);
    ::close(master_);
    ::close(slave_);
    inChild();
  }
  if (input == Input::Pipe) {
    ::close(pipeFds[0]);
    for (std::size_t done = 0; done < pipedInput.size();) {
      ssize_t put = ::write(pipeFds[1], pipedInput.data() + done, pipedInput.size() - done);
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
    ::close(pipeFds[1]);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

void ChildProcess::Type(std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t put = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

void ChildProcess::Drain(int timeoutMs) {
  if (master_ < 0) {
    if (timeoutMs > 0) ::poll(nullptr, 0, timeoutMs);
    return;
  }
  struct pollfd fd = {master_, POLLIN, 0};
  if (::poll(&fd, 1, timeoutMs) <= 0) return;
  char bytes[4096];
  ssize_t got = ::read(master_, bytes, sizeof bytes);
  if (got > 0) screen_.append(bytes, static_cast<std::size_t>(got));
}

bool ChildProcess::WaitFor(std::string_view text, int timeoutMs) {
  return WaitUntilShown([this] { return screen_; }, text, seen_, timeoutMs);
}

bool ChildProcess::WaitForVisible(std::string_view text, int timeoutMs) {
  return WaitUntilShown([this] { return VisibleText(screen_); }, text, seenVisible_, timeoutMs);
}

bool ChildProcess::WaitUntilShown(const std::function<std::string()>& view, std::string_view text, std::size_t& seen,
                                  int timeoutMs) {
  const Deadline deadline(timeoutMs);
  for (;;) {
    std::size_t found = view().find(text, seen);
    if (found != std::string::npos) {
      seen = found + text.size();
      return true;
    }
    if (deadline.MillisecondsLeft() == 0) return false;
    Drain(std::min(deadline.MillisecondsLeft(), 100));
  }
}

const std::string& ChildProcess::Screen() {
  for (int round = 0; round < 1000; ++round) {
    std::size_t before = screen_.size();
    Drain(0);
    if (screen_.size() == before) break;
  }
  return screen_;
}

void ChildProcess::Resize(unsigned short rows, unsigned short cols) {
  struct winsize size {};
  size.ws_row = rows;
  size.ws_col = cols;
  ::ioctl(master_, TIOCSWINSZ, &size);
}

void ChildProcess::Signal(int signal) { ::kill(pid_, signal); }

void ChildProcess::HangUp() {
  Screen();
  ::close(master_);
  master_ = -1;
}

int ChildProcess::Wait(int timeoutMs) {
  if (status_) return *status_;
  const Deadline deadline(timeoutMs);
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      Screen();
      return *status_;
    }
    if (done < 0 || deadline.MillisecondsLeft() == 0) return -1;
    Drain(std::min(deadline.MillisecondsLeft(), 20));  // keeps the terminal's output flowing
  }
}

struct termios ChildProcess::TerminalMode() const {
  struct termios mode {};
  ::tcgetattr(slave_, &mode);
  return mode;
}

bool ChildProcess::WaitForTerminalMode(const std::function<bool(const struct termios&)>& wanted, int timeoutMs) {
  const Deadline deadline(timeoutMs);
  while (!wanted(TerminalMode())) {
    if (deadline.MillisecondsLeft() == 0) return false;
    Drain(std::min(deadline.MillisecondsLeft(), 10));  // the mode gives no event: looked at again soon
  }
  return true;
}

}  // namespace lumarix::testing
#endif
