// The library thread's fatal ends and its end at shutdown. Each case runs in a child process,
// which ends as the case says; the log is echoed to standard error, where the case reads it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "LumarixModuleOrder.h"
#include "LumarixSocket.h"
#include "LumarixTime.h"
#include "LumarixUtil.h"
#include "socket/internal.h"
#include "support/socket_fixture.h"
#include "support/socket_peer.h"

#if !defined(_WIN32)
#include "platform/posix/testing.h"
#endif

namespace lumarix {
namespace {

using namespace socklib;

void EchoLogToStandardError(std::int32_t level) {
  testing::SendStandardOutputToStandardError();
  LogLevel = level;
  LogEcho = true;
}

// Under Wine, a process ended while its library thread is still running hangs now and then in
// Wine's own process exit when other Wine processes run beside it, so the cases that end the
// process under a running library thread run on POSIX only.
#if !defined(_WIN32)
// The main thread waits for records, as the print client does, while the library thread ends
// the process; a main thread that is not ended says so and ends the process itself.
[[noreturn]] void WaitForRecordsAsTheClientDoes() {
  for (int i = 0; i < 100; ++i) {
    TUserMessage* message = WaitMessage(100);
    FreeUserMessage(message);
  }
  std::printf("main ran on\n");
  Halt(0);
}

void SayAtExit() { std::printf("static teardown\n"); }

// An inconsistent table found while accepting ends the process from the library thread: one
// report, the library shut down once without waiting for its own thread, the main thread's
// waits left undisturbed, and the process ended with exit code 1 without the static teardown
// that would run under the main thread.
TEST(SocketThreadDeathTest, AnAssertionWhileAcceptingEndsTheProcessFromTheLibraryThread) {
  EXPECT_EXIT(
      {
        std::atexit(SayAtExit);
        const std::int32_t listener = OpenListeningChannel("127.0.0.1", 0, 0);
        sockdata[listener + 1] = new TSocketDesc;  // the channel the accepted peer would get
        EchoLogToStandardError(1);
        testing::PlainConnect(ListeningPort(listener));
        WaitForRecordsAsTheClientDoes();
      },
      ::testing::ExitedWithCode(1),
      "^FATAL: allocated channel with non-null sockdata\nAssertion failure \\(LumarixSocket, line 317\\)\n"
      "Socket library is terminated\n$");
}
#endif

// The library thread's last act on the way out: a thread-local object whose destructor runs
// after the thread has left its loop and set thread-finished.
struct TLeaving {
  DWORD milliseconds = 0;
  ~TLeaving() {
    Sleep(milliseconds);  // a thread that is slow to leave
    std::printf("left\n");  // beside the log's lines, in their order
  }
};
DWORD leavingTime = 0;
HANDLE leavingSet = nullptr;

void SetUpLeaving(std::int32_t) {
  thread_local TLeaving leaving;
  leaving.milliseconds = leavingTime;
  SetEvent(leavingSet);
}
const TChannelWork kSetUpLeaving{SetUpLeaving, SetUpLeaving, SetUpLeaving};

// Gives the library thread an exit that takes `milliseconds`, then ends the process.
[[noreturn]] void HaltWithTheThreadLeavingIn(DWORD milliseconds) {
  leavingTime = milliseconds;
  leavingSet = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ChannelWork = &kSetUpLeaving;
  PostToSocketWindow(kSocketSendEvent + 0);
  WaitForSingleObject(leavingSet, 10000);
  // The thread still gives back its reference to the channel; its log lines are not the case's.
  for (int i = 0; i < 10000 && refcnt[0] != 0; ++i) Sleep(1);
  EchoLogToStandardError(6);
  Halt(0);
}

// Shutdown goes on only when the thread has really ended, not when it has merely left its
// loop: otherwise the process is torn down under a thread that is still leaving.
TEST(SocketThreadDeathTest, ShutdownWaitsUntilTheThreadHasEnded) {
  EXPECT_EXIT(HaltWithTheThreadLeavingIn(300), ::testing::ExitedWithCode(0),
              "^Socket message thread is terminated\nleft\nSocket thread termination wait result: 0\n"
              "Socket library is terminated\n$");
}

#if !defined(_WIN32)
// A thread that has not ended within 1000 ms is left behind, and shutdown goes on. (Windows
// lets the process end only once the thread has left: its exit holds the loader lock.)
TEST(SocketThreadDeathTest, AThreadThatDoesNotEndInTimeIsLeftBehind) {
  EXPECT_EXIT(HaltWithTheThreadLeavingIn(2500), ::testing::ExitedWithCode(0),
              "^Socket message thread is terminated\nSocket thread termination wait result: 258\n"
              "Socket library is terminated\n");
}

TEST(SocketThreadDeathTest, AWindowThatCannotBeMadeIsAnAssertionFailureAtItsSite) {
  EXPECT_EXIT(
      {
        StopModules();
        EchoLogToStandardError(1);
        win32::testing::FailCreateWindow(1);
        StartModules(kLibraryModules);
        std::printf("started\n");
        Halt(0);
      },
      ::testing::ExitedWithCode(1),
      "^FATAL: unable to open fake socket window\nAssertion failure \\(LumarixSocket, line 1073\\)\n$");
}

TEST(SocketThreadDeathTest, AFailingGetMessageIsAnAssertionFailureAtItsSite) {
  EXPECT_EXIT(
      {
        EchoLogToStandardError(1);
        win32::testing::FailGetMessage(1);
        PostToSocketWindow(1000);  // wakes the thread for its next, failing, call
        WaitForRecordsAsTheClientDoes();
      },
      ::testing::ExitedWithCode(1),
      "^FATAL: strange message type received\nAssertion failure \\(LumarixSocket, line 1088\\)\n"
      "Socket library is terminated\n$");
}
#endif

}  // namespace
}  // namespace lumarix
