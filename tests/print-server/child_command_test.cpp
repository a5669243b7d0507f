// The programs a job runs: bounded in time and in what they write, and given nothing of the
// server's but their arguments and environment.
#include "child_command.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/temp_dir.h"

namespace lumarix::printserver {
namespace {

using lumarix::testing::TempDirTest;
using Clock = std::chrono::steady_clock;

// How long a test waits for anything a child is to do.
constexpr int kEventLimitMs = 20000;

TEST(ChildCommandTest, ArgumentsReachTheProgramAsTheyAreWithTheEnvironmentGiven) {
  TChildCommand command;
  command.arguments = {"sh", "-c", "printf '%s|' \"$0\" \"$1\" \"$MARK\"", "$(echo no) ; `x`", "a b\\"};
  command.environment = std::vector<std::string>{"MARK=m'\"", "PATH=/usr/bin:/bin"};
  TChildResult result = RunChild(command);
  ASSERT_TRUE(result.Succeeded()) << result.Describe(command);
  EXPECT_EQ(result.output, "$(echo no) ; `x`|a b\\|m'\"|");
}

TEST(ChildCommandTest, FailuresAreToldApart) {
  TChildCommand command;
  command.arguments = {"sh", "-c", "echo going; exit 3"};
  TChildResult result = RunChild(command);
  EXPECT_FALSE(result.Succeeded());
  EXPECT_EQ(result.Describe(command), "sh exit status 3");
  EXPECT_EQ(result.output, "going\n");

  command.arguments = {"no-such-program-anywhere"};
  result = RunChild(command);
  EXPECT_FALSE(result.started);
  EXPECT_NE(result.Describe(command).find("cannot start no-such-program-anywhere"), std::string::npos);
}

TEST(ChildCommandTest, AFailureWhoseStatusIsLostIsNotTakenForSuccess) {
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGCHLD, &ignore, &previous);  // children are then reaped unseen
  TChildCommand command;
  command.arguments = {"sh", "-c", "exit 3"};
  TChildResult result = RunChild(command);
  ::sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_FALSE(result.Succeeded());
  EXPECT_NE(result.Describe(command).find("no exit status"), std::string::npos) << result.Describe(command);
}

TEST(ChildCommandTest, ATimeoutEndsTheProgramAndWhatItStarted) {
  TChildCommand command;
  // The background sleep holds the output open: only killing the group ends the wait.
  command.arguments = {"sh", "-c", "sleep 60 & echo started; wait"};
  command.timeoutMs = 300;
  auto start = Clock::now();
  TChildResult result = RunChild(command);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.output, "started\n");
  EXPECT_NE(result.Describe(command).find("timed out"), std::string::npos);

  // A program that ends leaves nothing running that holds its output open.
  command.arguments = {"sh", "-c", "sleep 60 & echo done"};
  command.timeoutMs = 20000;
  start = Clock::now();
  result = RunChild(command);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(result.Succeeded()) << result.Describe(command);
}

TEST(ChildCommandTest, WhatEscapesAStoppedChildDoesNotHoldUpItsResult) {
  // A program in a session of its own outlives the kill and keeps the output open, silent.
  TChildCommand command;
  command.arguments = {"sh", "-c", "setsid sleep 60 & echo $!; exec sleep 60"};
  command.timeoutMs = 1000;
  const auto start = Clock::now();
  TChildResult result = RunChild(command);
  const auto took = Clock::now() - start;
  const pid_t escaped = static_cast<pid_t>(std::atoi(result.output.c_str()));
  if (escaped > 0 && ::getsid(escaped) == escaped) ::kill(escaped, SIGKILL);
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.output, std::to_string(escaped) + "\n");
}

class ChildCommandFileTest : public TempDirTest {};

TEST_F(ChildCommandFileTest, OutputIsBoundedInFileAndInWhatIsKept) {
  TChildCommand command;
  command.arguments = {"head", "-c", "100000", "/dev/zero"};
  command.outputFile = dir.File("out");
  command.fileSizeLimit = 4096;
  TChildResult result = RunChild(command);
  EXPECT_EQ(result.Describe(command), "head exceeded the output limit of 4096 bytes");
  EXPECT_LE(std::filesystem::file_size(dir.File("out")), 4096u);

  command.arguments = {"sh", "-c", "head -c 100000 /dev/zero | tr '\\0' x; echo tail-of-it"};
  command.outputFile.clear();
  command.keptOutputLimit = 1000;
  result = RunChild(command);
  ASSERT_TRUE(result.Succeeded()) << result.Describe(command);
  EXPECT_EQ(result.output.size(), 1000u);
  EXPECT_EQ(result.output.substr(989), "tail-of-it\n");
}

TEST(ChildCommandTest, TheServersDescriptorsAreNotInherited) {
  int kept = ::open("/dev/null", O_RDONLY);  // without close-on-exec, as a socket may be
  ASSERT_GE(kept, 3);
  TChildCommand command;
  command.arguments = {"sh", "-c", "test -e /proc/self/fd/" + std::to_string(kept) + " && echo inherited || echo closed"};
  TChildResult result = RunChild(command);
  ::close(kept);
  EXPECT_EQ(result.output, "closed\n");
}

// Holds the thread that runs a command inside a signal handler, where it reads nothing, until
// released: what the child writes meanwhile stays in its pipe, unread.
class TSupervisorHold {
 public:
  TSupervisorHold() {
    if (::pipe2(entered_, O_CLOEXEC) != 0 || ::pipe2(release_, O_CLOEXEC) != 0) ADD_FAILURE() << "no pipes";
    enteredFd_ = entered_[1];
    releaseFd_ = release_[0];
    struct sigaction hold {};
    hold.sa_handler = OnSignal;
    ::sigaction(SIGUSR1, &hold, &previous_);
  }
  ~TSupervisorHold() {
    Release();
    ::sigaction(SIGUSR1, &previous_, nullptr);
    for (int fd : {entered_[0], entered_[1], release_[0], release_[1]}) ::close(fd);
  }
  // True once the thread is held.
  bool Hold(std::thread& thread) {
    if (::pthread_kill(thread.native_handle(), SIGUSR1) != 0) return false;
    struct pollfd entered {entered_[0], POLLIN, 0};
    return ::poll(&entered, 1, kEventLimitMs) == 1;
  }
  void Release() {
    if (!released_) released_ = ::write(release_[1], "r", 1) == 1;
  }

 private:
  static void OnSignal(int) {
    const int saved = errno;
    char byte = 'e';
    if (::write(enteredFd_, &byte, 1) == 1) {
      while (::read(releaseFd_, &byte, 1) < 0 && errno == EINTR) {
      }
    }
    errno = saved;
  }

  static inline int enteredFd_ = -1, releaseFd_ = -1;
  int entered_[2] = {-1, -1}, release_[2] = {-1, -1};
  struct sigaction previous_ {};
  bool released_ = false;
};

// Reads one line from `fd`, waiting a while for each part of it.
std::string AwaitLine(int fd) {
  std::string line;
  char byte;
  struct pollfd readable {fd, POLLIN, 0};
  while (::poll(&readable, 1, kEventLimitMs) == 1 && ::read(fd, &byte, 1) == 1 && byte != '\n') line += byte;
  return line;
}

TEST_F(ChildCommandFileTest, AStoppingServerEndsTheChildAtOnceAndSaysSo) {
  // The child tells of its progress on `events` and waits for a line on `go`. Both are opened
  // for reading and writing here, so that no open waits for the other side.
  const std::string events = dir.File("events"), go = dir.File("go");
  ASSERT_EQ(::mkfifo(events.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
  const int eventsFd = ::open(events.c_str(), O_RDWR | O_CLOEXEC), goFd = ::open(go.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(eventsFd, 0);
  ASSERT_GE(goFd, 0);
  std::atomic<bool> stopping{false};
  TChildCommand command;
  command.arguments = {"sh", "-c", "echo running >\"$0\"; read x <\"$1\"; echo said; echo warned >&2; echo said >\"$0\"; exec sleep 60",
                       events, go};
  command.timeoutMs = 60000;
  command.cancel = &stopping;
  TSupervisorHold hold;
  TChildResult result;
  const auto began = Clock::now();
  std::thread supervisor([&] { result = RunChild(command); });
  // The server stops while what the child said waits in the pipe, unread.
  const bool running = AwaitLine(eventsFd) == "running";
  const bool held = running && hold.Hold(supervisor);
  const bool said = held && ::write(goFd, "\n", 1) == 1 && AwaitLine(eventsFd) == "said";
  stopping = true;
  hold.Release();
  supervisor.join();
  ::close(eventsFd);
  ::close(goFd);
  ASSERT_TRUE(said) << "running " << running << ", held " << held;
  EXPECT_TRUE(result.canceled);
  EXPECT_FALSE(result.Succeeded());
  EXPECT_EQ(result.ExitStatus(), 128 + SIGKILL);
  EXPECT_EQ(result.output, "said\nwarned\n");
  EXPECT_EQ(result.Describe(command), "sh stopped as the server stops");
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(30));
}

}  // namespace
}  // namespace lumarix::printserver
