// The channel table: allocation, reference counts, closing and freeing, on channels over real
// loopback connections whose work the library thread only records.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "LumarixSocket.h"
#include "LumarixUtil.h"
#include "socket/internal.h"
#include "support/scoped_log.h"
#include "support/socket_fixture.h"
#include "support/temp_dir.h"

namespace lumarix {
namespace {

using namespace socklib;
using testing::MakeNotice;
using testing::ScopedCurrentDirectory;
using testing::ScopedLog;
using testing::TempDir;
using testing::WorkRecorder;

using SocketChannels = testing::ChannelsTest;

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
  PutUserMessage(NoticeQueue, MakeNotice(umAccepted, ch));  // lost: it arrives while closing
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
  EXPECT_LT(TicksSince(start), 10000u);
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
    EXPECT_GT(TicksSince(start), 200u);
  }
  EXPECT_EQ(variable, ch);
  EXPECT_TRUE(mustdie[ch]);
}

TEST(SocketChannelsDeathTest, AFreeChannelWithARecordIsAnAssertionFailure) {
  EXPECT_EXIT(
      {
        testing::SendStandardOutputToStandardError();
        LogLevel = 1;
        LogEcho = true;
        sockdata[0] = new TSocketDesc;  // an inconsistent table: free, yet with a record
        GetChannelAllocation(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), 0, "127.0.0.1", false);
      },
      ::testing::ExitedWithCode(1),
      "^FATAL: allocated channel with non-null sockdata\nAssertion failure \\(LumarixSocket, line 317\\)\n"
      "Socket library is terminated\n$");
}

}  // namespace
}  // namespace lumarix
