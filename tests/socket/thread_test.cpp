// The library thread: how it dispatches the window's messages to the channels' work, its fatal
// ends, its start with Windows Sockets and its end at shutdown. The death cases run in a child
// process, which ends as the case says; the log is echoed to standard error, where they read it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "LumarixModuleOrder.h"
#include "LumarixSocket.h"
#include "LumarixTime.h"
#include "LumarixUtil.h"
#include "socket/internal.h"
#include "support/loopback_peer.h"
#include "support/socket_fixture.h"

#if !defined(_WIN32)
#include "platform/posix/testing.h"
#endif

namespace lumarix {
namespace {

using namespace socklib;
using testing::MakeReceived;
using testing::WorkRecorder;

using SocketThread = testing::ChannelsTest;

// A message of the library's own, as its calls post them.
void Post(UINT message, LPARAM lParam = 0) { PostMessageA(SocketWindow, message, 0, lParam); }

// A socket event of the channel, as Windows Sockets posts it: wParam is the socket.
void PostEvent(std::int32_t ch, LPARAM lParam) {
  PostMessageA(SocketWindow, kSocketEvent + static_cast<UINT>(ch), sockdata[ch].load()->sock, lParam);
}

TEST_F(SocketThread, SocketEventsCallTheWorkOfTheirLowHalf) {
  WorkRecorder recorder;
  std::int32_t ch = -1;
  for (int i = 0; i < 6; ++i) ch = Open();
  ASSERT_EQ(ch, opened.front() + 5);
  recorder.Drain();
  recorder.Clear();
  const std::int32_t before = refcnt[ch];
  const std::string n = std::to_string(ch);
  PostEvent(ch, FD_READ);
  PostEvent(ch, FD_WRITE);
  PostEvent(ch, FD_ACCEPT);
  PostEvent(ch, FD_CONNECT);
  recorder.Drain();
  EXPECT_EQ(recorder.Calls(), (std::vector<std::string>{"receive " + n, "send " + n, "accept " + n}));
  EXPECT_EQ(refcnt[ch], before);

  PostEvent(ch, (0x2745 << 16) | FD_CLOSE);
  TUserMessage* closed = Next();
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->type, umClosed);
  EXPECT_EQ(closed->ch, ch);
  FreeUserMessage(closed);
}

TEST_F(SocketThread, EventsOfAnotherSocketUnderTheChannelsNumberAreIgnored) {
  WorkRecorder recorder;
  const std::int32_t ch = Open();
  const std::int32_t other = Open();
  recorder.Drain();
  recorder.Clear();
  // As a socket accepted on a listener reports under the listener's number, or an event left
  // over from the channel's earlier socket.
  const WPARAM foreign = sockdata[other].load()->sock;
  for (LPARAM event : {FD_READ, FD_WRITE, FD_ACCEPT, FD_CLOSE}) {
    PostMessageA(SocketWindow, kSocketEvent + static_cast<UINT>(ch), foreign, event);
  }
  recorder.Drain();
  EXPECT_TRUE(recorder.Calls().empty());
  EXPECT_TRUE(alive[ch]);
  EXPECT_EQ(WaitMessage(0), nullptr) << "no umClosed";
  EXPECT_EQ(refcnt[ch], 1);
}

TEST_F(SocketThread, SendEventsAndForeignNumbers) {
  WorkRecorder recorder;
  const std::int32_t ch = Open();
  recorder.Drain();
  recorder.Clear();
  Post(kSocketSendEvent + ch);
  Post(3227);
  Post(1000);
  recorder.Drain();
  EXPECT_EQ(recorder.Calls(), std::vector<std::string>{"send " + std::to_string(ch)});
}

void FillToWatermark(std::int32_t ch) {
  while (!ReceivedQueue.AboveWatermark()) PutUserMessage(ReceivedQueue, MakeReceived(ch, "filler"));
}

TEST_F(SocketThread, ReceiveQueryResumesPausedChannelsUntilTheWatermark) {
  WorkRecorder recorder;
  std::vector<std::int32_t> ch;
  for (int i = 0; i < 4; ++i) ch.push_back(Open());
  recorder.Drain();
  recorder.Clear();
  for (std::int32_t c : ch) sockdata[c].load()->flags |= sfRecvPaused;
  mustdie[ch[1]] = true;  // must die: skipped
  Post(kPacketsReceiveQuery);
  recorder.Drain();
  const std::vector<std::string> all{"receive " + std::to_string(ch[0]), "receive " + std::to_string(ch[2]),
                                     "receive " + std::to_string(ch[3])};
  EXPECT_EQ(recorder.Calls(), all);

  recorder.Clear();
  recorder.onReceive = FillToWatermark;  // the first resumed channel fills the queue again
  Post(kPacketsReceiveQuery);
  recorder.Drain();
  EXPECT_EQ(recorder.Calls(), std::vector<std::string>{"receive " + std::to_string(ch[0])});
  recorder.onReceive = nullptr;
  for (std::int32_t c : ch) sockdata[c].load()->flags &= ~sfRecvPaused;
  while (TUserMessage* message = GetUserMessage(ReceivedQueue)) FreeUserMessage(message);
}

// ---- Start-up and shutdown ------------------------------------------------------------------

void EchoLogToStandardError(std::int32_t level) {
  testing::SendStandardOutputToStandardError();
  LogLevel = level;
  LogEcho = true;
}

TEST(SocketThreadDeathTest, ShutdownEndsTheThreadAndReportsTheWait) {
  EXPECT_EXIT(
      {
        EchoLogToStandardError(6);
        Halt(0);
      },
      ::testing::ExitedWithCode(0),
      "Socket message thread is terminated\nSocket thread termination wait result: 0\n"
      "Socket library is terminated\n");
}

#if !defined(_WIN32)
void RestartLibraryFailing(int error, int times) {
  testing::SendStandardOutputToStandardError();
  StopModules();
  win32::testing::FailWSAStartup(error, times);
  StartModules(kLibraryModules);
  std::fprintf(stderr, "started\n");
  Halt(0);
}

TEST(SocketThreadDeathTest, WinsockThatStaysBusyEndsWithRunError239) {
  EXPECT_EXIT(RestartLibraryFailing(WSAEINPROGRESS, 2), ::testing::ExitedWithCode(239),
              "^Unable to initialize WINSOCK.DLL\nRuntime error 239\n$");
  EXPECT_EXIT(RestartLibraryFailing(WSASYSNOTREADY, 1), ::testing::ExitedWithCode(239),
              "^Unable to initialize WINSOCK.DLL\nRuntime error 239\n$");
}

TEST(SocketThreadDeathTest, WinsockBusyOnceIsTriedAgain) {
  EXPECT_EXIT(RestartLibraryFailing(WSAEINPROGRESS, 1), ::testing::ExitedWithCode(0), "^started\n$");
}
#endif

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
