// The two record queues: their order, their overflow, the wait for a record, and the watermark
// below which a take asks the library thread to read the paused channels again.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "LumarixSocket.h"
#include "LumarixUtil.h"
#include "socket/internal.h"
#include "support/scoped_log.h"
#include "support/socket_fixture.h"

namespace lumarix {
namespace {

using namespace socklib;
using testing::MakeNotice;
using testing::MakeReceived;
using testing::ScopedLog;
using testing::WorkRecorder;

using SocketQueues = testing::ChannelsTest;

TEST_F(SocketQueues, NoticesOvertakeMessagesAndEachQueueKeepsItsOrder) {
  PutUserMessage(ReceivedQueue, MakeReceived(3, "a"));
  PutUserMessage(ReceivedQueue, MakeReceived(3, "b"));
  PutUserMessage(NoticeQueue, MakeNotice(umClosed, 3));
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

TEST_F(SocketQueues, TheThousandTwentyFourthPutIsDroppedAndTheRestComeInOrder) {
  ScopedLog log(2, true);
  ::testing::internal::CaptureStdout();
  for (std::int32_t i = 0; i < kQueueSize; ++i) PutUserMessage(NoticeQueue, MakeNotice(umClosed, i));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Message queue overflow\n");
  for (std::int32_t i = 0; i < kQueueSize - 1; ++i) {
    TUserMessage* message = WaitMessage(0);
    ASSERT_NE(message, nullptr) << i;
    ASSERT_EQ(message->ch, i);
    FreeUserMessage(message);
  }
  EXPECT_EQ(WaitMessage(0), nullptr);
}

TEST_F(SocketQueues, LogTextOfRecords) {
  TUserMessage* message = MakeReceived(3, "x\n");
  message->udata = 7;
  EXPECT_EQ(UserMessageLogText(*message), "user message type=0 ch=3 udata=7 ID=x#10; ");
  FreeUserMessage(message);
  TUserMessage* accepted = MakeNotice(umAccepted, 2);
  accepted->newchannel = 9;
  EXPECT_EQ(UserMessageLogText(*accepted), "user message type=1 ch=2 udata=0 newchannel=9");
  FreeUserMessage(accepted);
}

TEST_F(SocketQueues, EmptyWaitOfZeroReturnsAtOnceAndAStaleEventEndsTheNextWait) {
  const std::uint32_t start = GetTickCount();
  EXPECT_EQ(WaitMessage(0), nullptr);
  PutUserMessage(NoticeQueue, MakeNotice(umClosed, 1));
  TUserMessage* taken = WaitMessage(0);  // taken without waiting: the event stays set
  ASSERT_NE(taken, nullptr);
  FreeUserMessage(taken);
  EXPECT_EQ(WaitMessage(20000), nullptr);
  EXPECT_LT(TicksSince(start), 10000u);
}

TEST_F(SocketQueues, FallingBelowTheWatermarkPostsTheReceiveQueryOnce) {
  WorkRecorder recorder;
  const std::int32_t ch = Open();
  ASSERT_GE(ch, 0);
  recorder.Drain();
  sockdata[ch].load()->flags |= sfRecvPaused;
  recorder.Clear();
  for (std::int32_t i = 0; i < kWatermark + 1; ++i) PutUserMessage(ReceivedQueue, MakeReceived(ch, std::to_string(i)));
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
    PutUserMessage(ReceivedQueue, MakeReceived(ch, "r"));
    --recordsToPut;
  }
}

std::int32_t Held(const TUserMessageQueue& queue) { return (queue.qe - queue.qb + kQueueSize) % kQueueSize; }

TEST_F(SocketQueues, APutRacingWithATakeAtTheWatermarkNeverLeavesTheChannelPaused) {
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

}  // namespace
}  // namespace lumarix
