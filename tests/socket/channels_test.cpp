#include "LumarixSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <thread>

#include "LumarixModuleOrder.h"
#include "LumarixTime.h"
#include "LumarixUtil.h"
#include "support/socket_fixture.h"
#include "support/temp_dir.h"

#if !defined(_WIN32)
#include "platform/posix/testing.h"
#endif

namespace lumarix {
namespace {

using namespace socklib;
using testing::ChannelsTest;
using testing::ScopedCurrentDirectory;
using testing::TempDir;
using testing::WorkRecorder;

// Log settings back to silent at the end of a test.
struct ScopedLog {
  ScopedLog(std::int32_t level, bool echo, const std::string& file = "") {
    LogLevel = level;
    LogEcho = echo;
    LogFileName = file;
  }
  ~ScopedLog() {
    LogLevel = 0;
    LogEcho = false;
    LogFileName = std::string();
    ResetLog();
  }
};

TUserMessage* Notice(std::int32_t type, std::int32_t ch) {
  auto* message = new TUserMessage;
  message->type = type;
  message->ch = ch;
  message->newchannel = 0;
  return message;
}

TUserMessage* Received(std::int32_t ch, const std::string& value) {
  auto* message = new TUserMessage;
  message->ch = ch;
  AddPart(message->parts, "ID", value);
  return message;
}

std::uint32_t Elapsed(std::uint32_t start) { return TicksSince(start); }

// "DD.MM.YYYY HH:MM:SS [tid] text" CR LF, alone.
bool IsStampedLine(const std::string& line, const std::string& tid, const std::string& text) {
  const std::string pattern = "00.00.0000 00:00:00";
  if (line.size() < pattern.size() || line.substr(pattern.size()) != " [" + tid + "] " + text + "\r\n") return false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if ((pattern[i] == '0') != digit || (!digit && line[i] != pattern[i])) return false;
  }
  return true;
}

// ---- Log ------------------------------------------------------------------------------------

TEST(SocketLog, LevelZeroWritesNothingButTheErrorFileStillGrows) {
  TempDir dir;
  ScopedCurrentDirectory here(dir.path());
  ScopedLog log(0, true, dir.File("log.txt"));
  ::testing::internal::CaptureStdout();
  SOCKET_LOG(1, "FATAL: nothing %d", 1);
  LogLine("nothing either");
  ErrorFileLine("Socket library error: attempting to close refcnt=0\r\n");
  ErrorFileLine("Socket library error: attempting to close refcnt=0\r\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(FileExists(dir.File("log.txt")));
  EXPECT_EQ(dir.Read(kErrorFileName),
            "Socket library error: attempting to close refcnt=0\r\nSocket library error: attempting to close refcnt=0\r\n");
}

TEST(SocketLog, EchoWithoutFileWritesUpToTheLevelOnStandardOutput) {
  ScopedLog log(3, true);
  ::testing::internal::CaptureStdout();
  SOCKET_LOG(3, "Allocated channel %d", 4);
  SOCKET_LOG(4, "Identified message: socket send event for channel %d", 4);
  SOCKET_LOG(1, "Socket library is %s", "terminated");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Allocated channel 4\nSocket library is terminated\n");
}

TEST(SocketLog, LinesAreStampedAndAChangedFileNameMovesTheLog) {
  TempDir dir;
  ScopedLog log(2, false, dir.File("first.txt"));
  SOCKET_LOG(2, "one %s", "x");
  LogFileName = dir.File("second.txt");
  SOCKET_LOG(2, "two");
  SOCKET_LOG(3, "three is above the level");
  const std::string tid = std::to_string(GetCurrentThreadId());
  EXPECT_TRUE(IsStampedLine(dir.Read("first.txt"), tid, "one x")) << dir.Read("first.txt");
  EXPECT_TRUE(IsStampedLine(dir.Read("second.txt"), tid, "two")) << dir.Read("second.txt");
}

// ---- User message queues --------------------------------------------------------------------

TEST(SocketQueues, NoticesOvertakeMessagesAndEachQueueKeepsItsOrder) {
  PutUserMessage(ReceivedQueue, Received(3, "a"));
  PutUserMessage(ReceivedQueue, Received(3, "b"));
  PutUserMessage(NoticeQueue, Notice(umClosed, 3));
  TUserMessage* first = WaitMessage(0);
  TUserMessage* second = WaitMessage(0);
  TUserMessage* third = WaitMessage(0);
  ASSERT_TRUE(first && second && third);
  EXPECT_EQ(first->type, umClosed);
  EXPECT_EQ(GetPart(second->parts, "ID"), "a");
  EXPECT_EQ(GetPart(third->parts, "ID"), "b");
  EXPECT_EQ(WaitMessage(0), nullptr);
  for (TUserMessage* message : {first, second, third}) FreeUserMessage(message);
}

TEST(SocketQueues, TheThousandTwentyFourthPutIsDroppedAndTheRestComeInOrder) {
  ScopedLog log(2, true);
  ::testing::internal::CaptureStdout();
  for (std::int32_t i = 0; i < kQueueSize; ++i) PutUserMessage(NoticeQueue, Notice(umClosed, i));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Message queue overflow\n");
  for (std::int32_t i = 0; i < kQueueSize - 1; ++i) {
    TUserMessage* message = WaitMessage(0);
    ASSERT_NE(message, nullptr) << i;
    ASSERT_EQ(message->ch, i);
    FreeUserMessage(message);
  }
  EXPECT_EQ(WaitMessage(0), nullptr);
}

TEST(SocketQueues, LogTextOfRecords) {
  TUserMessage* message = Received(3, "x\n");
  message->udata = 7;
  EXPECT_EQ(UserMessageLogText(*message), "user message type=0 ch=3 udata=7 ID=x#10; ");
  FreeUserMessage(message);
  TUserMessage* accepted = Notice(umAccepted, 2);
  accepted->newchannel = 9;
  EXPECT_EQ(UserMessageLogText(*accepted), "user message type=1 ch=2 udata=0 newchannel=9");
  FreeUserMessage(accepted);
}

TEST(SocketQueues, EmptyWaitOfZeroReturnsAtOnceAndAStaleEventEndsTheNextWait) {
  const std::uint32_t start = GetTickCount();
  EXPECT_EQ(WaitMessage(0), nullptr);
  PutUserMessage(NoticeQueue, Notice(umClosed, 1));
  TUserMessage* taken = WaitMessage(0);  // taken without waiting: the event stays set
  ASSERT_NE(taken, nullptr);
  FreeUserMessage(taken);
  EXPECT_EQ(WaitMessage(20000), nullptr);
  EXPECT_LT(Elapsed(start), 10000u);
}

using SocketWatermark = ChannelsTest;

TEST_F(SocketWatermark, FallingBelowTheWatermarkPostsTheReceiveQueryOnce) {
  WorkRecorder recorder;
  const std::int32_t ch = Open();
  ASSERT_GE(ch, 0);
  recorder.Drain();
  sockdata[ch].load()->flags |= sfRecvPaused;
  recorder.Clear();
  for (std::int32_t i = 0; i < kWatermark + 1; ++i) PutUserMessage(ReceivedQueue, Received(ch, std::to_string(i)));
  for (std::int32_t i = 0; i < kWatermark + 1; ++i) {
    TUserMessage* message = WaitMessage(0);
    ASSERT_NE(message, nullptr);
    FreeUserMessage(message);
  }
  recorder.Drain();
  EXPECT_EQ(recorder.Calls(), std::vector<std::string>{"receive " + std::to_string(ch)});
  sockdata[ch].load()->flags &= ~sfRecvPaused;
}

// Records the receive path puts, at most this many in all: it fills the queue to the
// watermark and pauses, as TryReceive does with a peer that always has more to send.
std::atomic<std::int32_t> recordsToPut{0};

void PutUntilTheWatermark(std::int32_t ch) {
  TSocketDesc& desc = *sockdata[ch].load();
  desc.flags &= ~sfRecvPaused;
  while (recordsToPut > 0) {
    if (ReceivedQueue.AboveWatermark()) {
      desc.flags |= sfRecvPaused;
      return;
    }
    PutUserMessage(ReceivedQueue, Received(ch, "r"));
    --recordsToPut;
  }
}

std::int32_t Held(const TUserMessageQueue& queue) { return (queue.qe - queue.qb + kQueueSize) % kQueueSize; }

TEST_F(SocketWatermark, APutRacingWithATakeAtTheWatermarkNeverLeavesTheChannelPaused) {
  constexpr std::int32_t kRecords = 20000;
  WorkRecorder recorder;
  const std::int32_t ch = Open();
  ASSERT_GE(ch, 0);
  recorder.Drain();
  recordsToPut = kRecords;
  recorder.onReceive = PutUntilTheWatermark;
  sockdata[ch].load()->flags |= sfRecvPaused;
  PostMessageA(SocketWindow, kPacketsReceiveQuery, 0, 0);
  // The taker keeps the queue at the watermark, so that its takes meet the puts there.
  std::int32_t taken = 0;
  DWORD lastTaken = GetTickCount();
  while (taken < kRecords && GetTickCount() - lastTaken < 10000) {
    TUserMessage* message = nullptr;
    if (recordsToPut == 0 || Held(ReceivedQueue) >= kWatermark - 1) message = GetUserMessage(ReceivedQueue);
    if (message) {
      FreeUserMessage(message);
      ++taken;
      lastTaken = GetTickCount();
    }
  }
  EXPECT_EQ(taken, kRecords) << "the channel was left paused with " << Held(ReceivedQueue) << " records queued";
  recordsToPut = 0;
  recorder.Drain();
  recorder.onReceive = nullptr;
  sockdata[ch].load()->flags &= ~sfRecvPaused;
  while (TUserMessage* message = GetUserMessage(ReceivedQueue)) FreeUserMessage(message);
}

// ---- Channel table --------------------------------------------------------------------------

using SocketChannels = ChannelsTest;

TEST_F(SocketChannels, NewChannelsTakeTheLowestFreeNumberAndStartOpen) {
  WorkRecorder recorder;
  const std::int32_t a = Open(11);
  const std::int32_t b = Open(12);
  const std::int32_t c = Open(13);
  ASSERT_EQ(b, a + 1);
  ASSERT_EQ(c, b + 1);
  recorder.Drain();
  const std::string n = std::to_string(b);
  EXPECT_EQ(recorder.Calls()[3], "accept " + n) << "the alive event tries accept, send, receive in order";
  EXPECT_EQ(recorder.Calls()[4], "send " + n);
  EXPECT_EQ(recorder.Calls()[5], "receive " + n);
  EXPECT_EQ(refcnt[b], 1);
  EXPECT_TRUE(alive[b]);
  EXPECT_FALSE(mustdie[b]);
  TSocketDesc* desc = sockdata[b];
  EXPECT_EQ(desc->udata, 12);
  EXPECT_EQ(desc->sb, 0);
  EXPECT_EQ(desc->se, 0);
  EXPECT_EQ(desc->currentptr, 1);
  EXPECT_EQ(desc->remote, "127.0.0.1");

  PostClose(b);
  TUserMessage* closed = Next();
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->type, umClosed);
  EXPECT_EQ(closed->ch, b);
  EXPECT_EQ(closed->udata, 12);
  FreeUserMessage(closed);
  std::int32_t variable = b;
  ASSERT_TRUE(FreeChannel(variable));
  EXPECT_EQ(variable, -1);
  Forget(b);
  EXPECT_TRUE(Released(b));
  EXPECT_EQ(Open(), b);
}

TEST_F(SocketChannels, AFullTableRefusesTwiceAndLeavesTheSocketAlone) {
  WorkRecorder recorder;  // no accept warnings of the new channels among the captured lines
  for (std::int32_t i = 0; i < kChannelCount; ++i) ASSERT_GE(Open(), 0) << i;
  recorder.Drain();
  SOCKET spare = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(spare, INVALID_SOCKET);
  {
    ScopedLog log(2, true);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(GetChannelAllocation(spare, 0, "127.0.0.1", false), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Channel allocation unsuccessful\nChannel allocation unsuccessful\n");
  }
  u_long on = 1;
  EXPECT_EQ(ioctlsocket(spare, FIONBIO, &on), 0) << "the socket is still open";
  EXPECT_EQ(closesocket(spare), 0);
}

TEST_F(SocketChannels, AFailedSelectModeReleasesTheChannelAndHandsTheSocketBack) {
  const SOCKET notASocket = static_cast<SOCKET>(0x7FFFFFF0);
  const std::int32_t first = Open();
  ASSERT_GE(first, 0);
  EXPECT_EQ(GetChannelAllocation(notASocket, 0, "127.0.0.1", false), -1);
  EXPECT_EQ(refcnt[first + 1], 0);
  EXPECT_EQ(sockdata[first + 1], nullptr);
  EXPECT_EQ(Open(), first + 1);
}

TEST_F(SocketChannels, FreeChannelsRefuseCloseAndDecRefWithErrorFileLines) {
  TempDir dir;
  ScopedCurrentDirectory here(dir.path());
  CloseChannel(-1);
  CloseChannel(kChannelCount);
  EXPECT_FALSE(FileExists(kErrorFileName));
  CloseChannel(300);
  EXPECT_EQ(refcnt[300], 0);
  DecRef(300);
  EXPECT_EQ(refcnt[300], 0);
  EXPECT_EQ(dir.Read(kErrorFileName),
            "Socket library error: attempting to close refcnt=0\r\n"
            "Socket library error: attempting to decrement refcnt<=0\r\n");
  std::int32_t outside = kChannelCount;
  EXPECT_FALSE(FreeChannel(outside));
  EXPECT_EQ(outside, kChannelCount);
}

TEST_F(SocketChannels, ClosingAFreeChannelNeverTakesTheReferenceOfAnAllocationBesideIt) {
  TempDir dir;
  ScopedCurrentDirectory here(dir.path());
  const std::int32_t ch = GetNewChannel();
  ASSERT_GE(ch, 0);
  DecRef(ch);
  std::atomic<bool> done{false};
  std::thread allocator([&] {
    while (!done) {
      const std::int32_t taken = GetNewChannel();
      if (taken >= 0) DecRef(taken);
    }
  });
  {
    // The close's log line comes between its look at the count and its write: the log makes
    // an allocation in between likely.
    ScopedLog log(3, false, dir.File("close.log"));
    for (int i = 0; i < 40000; ++i) CloseChannel(ch);
    done = true;
    allocator.join();
  }
  WorkRecorder().Drain();  // the send events of the closes that met the channel allocated
  EXPECT_EQ(refcnt[ch], 0);
  EXPECT_EQ(dir.Read(kErrorFileName).find("decrement"), std::string::npos) << "a count went below 0";
}

TEST_F(SocketChannels, FreeChannelWantsADeadChannelAndReleasesItsSocket) {
  const std::int32_t ch = Open();
  ASSERT_GE(ch, 0);
  const SOCKET sock = sockdata[ch].load()->sock;
  std::int32_t variable = ch;
  EXPECT_FALSE(FreeChannel(variable));
  EXPECT_EQ(variable, ch);

  PostClose(ch, WSAECONNRESET);  // the error half is not looked at
  PostClose(ch);
  TUserMessage* closed = Next();
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->type, umClosed);
  FreeUserMessage(closed);
  EXPECT_EQ(WaitMessage(0), nullptr) << "one umClosed per allocation";
  EXPECT_FALSE(alive[ch]);
  EXPECT_TRUE(mustdie[ch]);

  ASSERT_TRUE(FreeChannel(variable));
  Forget(ch);
  EXPECT_EQ(variable, -1);
  EXPECT_TRUE(Released(ch));
  u_long on = 1;
  EXPECT_EQ(ioctlsocket(sock, FIONBIO, &on), SOCKET_ERROR) << "the release closed the socket";
}

TEST_F(SocketChannels, ClosingWithTimeoutWaitsForTheEndOfTheChannel) {
  const std::int32_t ch = Open();
  ASSERT_GE(ch, 0);
  PutUserMessage(NoticeQueue, Notice(umAccepted, ch));  // lost: it arrives while closing
  std::int32_t variable = ch;
  EXPECT_TRUE(CloseChannelWithTimeout(variable, 10000));
  Forget(ch);
  EXPECT_EQ(variable, -1);
  EXPECT_TRUE(Released(ch));
  EXPECT_EQ(WaitMessage(0), nullptr) << "records taken while closing are discarded";
}

TEST_F(SocketChannels, ClosingADeadChannelReturnsAtOnceAndKeepsItAllocated) {
  WorkRecorder recorder;
  const std::int32_t ch = Open();
  ASSERT_GE(ch, 0);
  PostClose(ch);
  TUserMessage* closed = Next();
  ASSERT_NE(closed, nullptr);
  FreeUserMessage(closed);
  recorder.Drain();  // the library thread has given back its reference
  std::int32_t variable = ch;
  const std::uint32_t start = GetTickCount();
  EXPECT_TRUE(CloseChannelWithTimeout(variable, 20000));
  EXPECT_LT(Elapsed(start), 10000u);
  EXPECT_EQ(variable, -1);
  EXPECT_EQ(refcnt[ch], 1);
  std::int32_t again = ch;
  EXPECT_TRUE(FreeChannel(again));
  Forget(ch);
}

TEST_F(SocketChannels, ClosingWithTimeoutGivesUpWhenTheEndNeverComes) {
  const std::int32_t ch = Open();
  ASSERT_GE(ch, 0);
  std::int32_t variable = ch;
  {
    WorkRecorder recorder;  // TrySend is only recorded, so nothing ends the channel
    const std::uint32_t start = GetTickCount();
    EXPECT_FALSE(CloseChannelWithTimeout(variable, 200));
    EXPECT_GT(Elapsed(start), 200u);
  }
  EXPECT_EQ(variable, ch);
  EXPECT_TRUE(mustdie[ch]);
}

// ---- Library thread dispatch ----------------------------------------------------------------

using SocketDispatch = ChannelsTest;

void Post(UINT message, LPARAM lParam = 0) { PostMessageA(SocketWindow, message, 0, lParam); }

// A socket event of the channel, as Windows Sockets posts it: wParam is the socket.
void PostEvent(std::int32_t ch, LPARAM lParam) {
  PostMessageA(SocketWindow, kSocketEvent + static_cast<UINT>(ch), sockdata[ch].load()->sock, lParam);
}

TEST_F(SocketDispatch, SocketEventsCallTheWorkOfTheirLowHalf) {
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

TEST_F(SocketDispatch, EventsOfAnotherSocketUnderTheChannelsNumberAreIgnored) {
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

TEST_F(SocketDispatch, SendEventsAndForeignNumbers) {
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
  while (!ReceivedQueue.AboveWatermark()) PutUserMessage(ReceivedQueue, Received(ch, "filler"));
}

TEST_F(SocketDispatch, ReceiveQueryResumesPausedChannelsUntilTheWatermark) {
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

void EchoLogToStandardError() {
  testing::SendStandardOutputToStandardError();
}

TEST(SocketLibraryDeathTest, ShutdownEndsTheThreadAndReportsTheWait) {
  EXPECT_EXIT(
      {
        EchoLogToStandardError();
        LogLevel = 6;
        LogEcho = true;
        Halt(0);
      },
      ::testing::ExitedWithCode(0),
      "Socket message thread is terminated\nSocket thread termination wait result: 0\n"
      "Socket library is terminated\n");
}

TEST(SocketLibraryDeathTest, AFreeChannelWithARecordIsAnAssertionFailure) {
  EXPECT_EXIT(
      {
        EchoLogToStandardError();
        LogLevel = 1;
        LogEcho = true;
        sockdata[0] = new TSocketDesc;  // an inconsistent table: free, yet with a record
        GetChannelAllocation(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), 0, "127.0.0.1", false);
      },
      ::testing::ExitedWithCode(1),
      "^FATAL: allocated channel with non-null sockdata\nAssertion failure \\(LumarixSocket, line 317\\)\n"
      "Socket library is terminated\n$");
}

#if !defined(_WIN32)
void RestartLibraryFailing(int error, int times) {
  EchoLogToStandardError();
  StopModules();
  win32::testing::FailWSAStartup(error, times);
  StartModules(kLibraryModules);
  std::fprintf(stderr, "started\n");
  Halt(0);
}

TEST(SocketLibraryDeathTest, WinsockThatStaysBusyEndsWithRunError239) {
  EXPECT_EXIT(RestartLibraryFailing(WSAEINPROGRESS, 2), ::testing::ExitedWithCode(239),
              "^Unable to initialize WINSOCK.DLL\nRuntime error 239\n$");
  EXPECT_EXIT(RestartLibraryFailing(WSASYSNOTREADY, 1), ::testing::ExitedWithCode(239),
              "^Unable to initialize WINSOCK.DLL\nRuntime error 239\n$");
}

TEST(SocketLibraryDeathTest, WinsockBusyOnceIsTriedAgain) {
  EXPECT_EXIT(RestartLibraryFailing(WSAEINPROGRESS, 1), ::testing::ExitedWithCode(0), "^started\n$");
}
#endif

}  // namespace
}  // namespace lumarix
