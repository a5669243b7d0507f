// The programs a job runs: bounded in time and in what they write, and given nothing of the
// server's but their arguments and environment.
#include "child_command.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "support/temp_dir.h"

namespace lumarix::printserver {
namespace {

using lumarix::testing::TempDirTest;
using Clock = std::chrono::steady_clock;

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

TEST_F(ChildCommandFileTest, AStoppingServerEndsTheChildAtOnceAndSaysSo) {
  std::atomic<bool> stopping{false};
  const std::string started = dir.File("started");
  TChildCommand command;
  command.arguments = {"sh", "-c", "echo started; touch \"$0\"; sleep 60", started};
  command.timeoutMs = 60000;
  command.cancel = &stopping;
  const auto began = Clock::now();
  // The server stops once the child runs.
  std::thread stopper([&] {
    while (!std::filesystem::exists(started) && Clock::now() - began < std::chrono::seconds(20)) std::this_thread::yield();
    stopping = true;
  });
  TChildResult result = RunChild(command);
  stopper.join();
  EXPECT_TRUE(result.canceled);
  EXPECT_FALSE(result.Succeeded());
  EXPECT_EQ(result.ExitStatus(), 128 + SIGKILL);
  EXPECT_EQ(result.output, "started\n");
  EXPECT_EQ(result.Describe(command), "sh stopped as the server stops");
  EXPECT_LT(Clock::now() - began, std::chrono::seconds(30));
}

}  // namespace
}  // namespace lumarix::printserver
