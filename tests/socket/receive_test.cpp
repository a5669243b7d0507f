// The receive path over real loopback connections: framing, rejected packets, the peer's close,
// the watermark and the packet bound.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "LumarixSocket.h"
#include "support/loopback_peer.h"
#include "support/message.h"
#include "support/scoped_log.h"
#include "support/socket_fixture.h"
#include "support/temp_dir.h"

namespace lumarix {
namespace {

using namespace socklib;
using testing::Gather;
using testing::MakeReceived;
using testing::Parts;
using testing::ScopedLog;
using testing::TakeParts;
using testing::WaitUntil;

class SocketReceive : public testing::ConnectedChannelTest {
 protected:
  // The next record, which must be a message of the channel: its parts.
  Parts NextMessage() {
    TUserMessage* message = Next();
    if (!message) return {{"none", ""}};
    EXPECT_EQ(message->type, umMessage);
    EXPECT_EQ(message->ch, ch);
    EXPECT_EQ(message->udata, kUdata);
    Parts parts = message->type == umMessage ? TakeParts(message->parts) : Parts{{"type", std::to_string(message->type)}};
    if (message->type == umMessage) message->parts = nullptr;
    FreeUserMessage(message);
    return parts;
  }
  void ExpectClosed() {
    TUserMessage* message = Next();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->type, umClosed);
    EXPECT_EQ(message->ch, ch);
    FreeUserMessage(message);
  }
};

const Parts kFirst{{"ID", "1"}, {"TEXT", "one"}};
const Parts kSecond{{"ID", "2"}, {"EMPTY", ""}};
const Parts kThird{{"ID", "3"}, {"DATA", std::string("a\0b\n", 4)}};

TEST_F(SocketReceive, PacketsInOneChunkComeInOrderAndAHalfPacketWaitsForItsRest) {
  const std::string third = Gather(kThird);
  ASSERT_TRUE(testing::SendAll(peer, Gather(kFirst) + Gather(kSecond) + third.substr(0, 7)));
  EXPECT_EQ(NextMessage(), kFirst);
  EXPECT_EQ(NextMessage(), kSecond);
  ASSERT_TRUE(testing::SendAll(peer, third.substr(7)));
  EXPECT_EQ(NextMessage(), kThird);
}

TEST_F(SocketReceive, APacketWrittenAByteAtATimeGivesOneRecord) {
  const std::string packet = Gather(kThird);
  for (char byte : packet) ASSERT_TRUE(testing::SendAll(peer, std::string(1, byte)));
  EXPECT_EQ(NextMessage(), kThird);
  ASSERT_TRUE(testing::SendAll(peer, Gather(kFirst)));
  EXPECT_EQ(NextMessage(), kFirst) << "nothing was left over from the byte-wise packet";
}

TEST_F(SocketReceive, TheEmptyMessageIsRejectedAndClosesTheChannel) {
  ASSERT_TRUE(testing::SendAll(peer, Gather({}) + Gather(kFirst)));
  ExpectClosed();
  EXPECT_TRUE(testing::SeesClose(peer));
  EXPECT_TRUE(ReceivedQueue.IsEmpty()) << "the packet after the rejected one is not read";
}

TEST_F(SocketReceive, GarbageIsRejectedAtItsPacketEndAndPacketsBeforeItStay) {
  // 00 bytes among the first four never end a packet: "\0+++\0" needs a packet of five.
  ASSERT_TRUE(testing::SendAll(peer, Gather(kFirst) + std::string("xy\0+++\0", 7)));
  ASSERT_TRUE(WaitUntil([&] { return !alive[ch].load(); }));
  ExpectClosed();
  EXPECT_EQ(NextMessage(), kFirst) << "records already queued come after the notice";
}

TEST_F(SocketReceive, ThePeersCloseAfterHalfAPacketComesBeforeTheWaitingRecords) {
  const std::string second = Gather(kSecond);
  ASSERT_TRUE(testing::SendAll(peer, Gather(kFirst) + second.substr(0, second.size() / 2)));
  ClosePeer();
  ASSERT_TRUE(WaitUntil([&] { return !alive[ch].load(); }));
  ExpectClosed();
  EXPECT_EQ(NextMessage(), kFirst);
  EXPECT_EQ(WaitMessage(0), nullptr) << "the half packet is lost";
}

TEST_F(SocketReceive, AnAnswerFollowedAtOnceByThePeersCloseArrivesWhole) {
  const Parts answer{{"ID", "answer"}, {"BODY", std::string(600000, 'q')}};
  ASSERT_TRUE(testing::SendAll(peer, Gather(kFirst) + Gather(answer)));
  ClosePeer();
  ASSERT_TRUE(WaitUntil([&] { return !alive[ch].load(); }));
  ExpectClosed();
  EXPECT_EQ(NextMessage(), kFirst);
  EXPECT_EQ(NextMessage(), answer);
}

void TakeAll() {
  while (TUserMessage* message = GetUserMessage(ReceivedQueue)) FreeUserMessage(message);
}

TUserMessage* Filler() { return MakeReceived(0, "filler"); }

TEST_F(SocketReceive, AtTheWatermarkReadingPausesAndResumesWithoutANewSocketEvent) {
  ASSERT_TRUE(WaitUntil([&] { return sockdata[ch].load()->received == 0 && alive[ch].load(); }));
  while (!ReceivedQueue.AboveWatermark()) PutUserMessage(ReceivedQueue, Filler());
  ASSERT_TRUE(testing::SendAll(peer, Gather(kFirst)));
  ASSERT_TRUE(WaitUntil([&] { return (sockdata[ch].load()->flags & sfRecvPaused) != 0; }));
  TUserMessage* one = GetUserMessage(ReceivedQueue);  // 760 becoming 759 resumes the channel
  FreeUserMessage(one);
  ASSERT_TRUE(WaitUntil([&] { return (sockdata[ch].load()->flags & sfRecvPaused) == 0; }));
  std::int32_t fillers = 0;
  Parts last;
  while (TUserMessage* message = Next()) {
    Parts parts = TakeParts(message->parts);
    message->parts = nullptr;
    FreeUserMessage(message);
    if (parts != Parts{{"ID", "filler"}}) {
      last = parts;
      break;
    }
    ++fillers;
  }
  EXPECT_EQ(fillers, kWatermark - 1);
  EXPECT_EQ(last, kFirst);
}

TEST_F(SocketReceive, AFullQueueDropsTheRestOfAChunkWithAnOverflowLine) {
  testing::TempDir dir;
  ScopedLog log(2, false, dir.File("overflow.log"));
  ASSERT_TRUE(WaitUntil([&] { return alive[ch].load(); }));
  // The ring's ends may have wrapped in earlier tests: the count is taken modulo its size.
  const auto held = [] { return (ReceivedQueue.qe - ReceivedQueue.qb + kQueueSize) % kQueueSize; };
  while (held() != kWatermark - 1) PutUserMessage(ReceivedQueue, Filler());
  const std::string small = Gather({{"ID", "s"}});
  std::string chunk;
  while (chunk.size() + small.size() <= kReceiveChunk) chunk += small;
  ASSERT_TRUE(testing::SendAll(peer, chunk));
  ASSERT_TRUE(WaitUntil([] { return ReceivedQueue.IsFull(); }));
  // The queue fills before the next record is refused, so the line comes a moment later.
  const bool logged = WaitUntil([&] {
    return dir.Read("overflow.log").find("Message queue overflow") != std::string::npos;
  });
  TakeAll();
  EXPECT_TRUE(logged);
}

TEST_F(SocketReceive, APeerThatNeverEndsAPacketHasTheChannelClosedAtTheBound) {
  std::uint64_t sent = 0;
  std::thread streamer([&] {
    const std::string block(1 << 16, 'x');
    while (sent < 100u * 1048576u && testing::SendAll(peer, block)) sent += block.size();
  });
  ExpectClosed();
  streamer.join();
  EXPECT_LT(sent, 100u * 1048576u) << "the library closed the connection";
  EXPECT_GE(sent + 16384, kMaxPacket);
}

// ---- Framing alone, without the connection ---------------------------------------------------

bool Collect(void* context, std::string_view packet) {
  auto& packets = *static_cast<std::vector<std::string>*>(context);
  packets.emplace_back(packet);
  return packet.substr(0, 5) == std::string_view("\0---\0", 5);
}

TEST_F(SocketReceive, PacketEndsNeedFiveBytesAndTheBoundCountsTheWholePacket) {
  std::vector<std::string> packets;
  std::string buffer;
  const std::string empty = Gather({});  // nine bytes
  EXPECT_EQ(CutPackets(buffer, std::string("\0+++", 4), 100, Collect, &packets), TFraming::kOk);
  EXPECT_EQ(CutPackets(buffer, std::string("\0", 1), 100, Collect, &packets), TFraming::kRejected)
      << "five bytes 00 2B 2B 2B 00 end a packet across chunks";
  buffer.clear();
  packets.clear();
  EXPECT_EQ(CutPackets(buffer, empty + empty.substr(0, 8), 9, Collect, &packets), TFraming::kOk);
  EXPECT_EQ(packets.size(), 1u) << "a packet of exactly the bound is taken";
  EXPECT_EQ(buffer.size(), 8u);
  EXPECT_EQ(CutPackets(buffer, "z", 9, Collect, &packets), TFraming::kTooLong) << "the rest reached the bound";
  buffer.clear();
  EXPECT_EQ(CutPackets(buffer, "a" + empty, 9, Collect, &packets), TFraming::kTooLong)
      << "a whole packet longer than the bound in one chunk";
}

}  // namespace
}  // namespace lumarix
