// The send path over real loopback connections: the ring of seven packets, large packets,
// orderly closing with packets queued, and listening channels with their accepted channels.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "LumarixSocket.h"
#include "support/message.h"
#include "support/socket_fixture.h"
#include "support/socket_peer.h"

#if !defined(_WIN32)
#include <cerrno>

#include "platform/posix/testing.h"
#endif

namespace lumarix {
namespace {

using namespace socklib;
using testing::Gather;
using testing::Parts;
using testing::PlainListener;

class SocketSend : public testing::ChannelsTest {
 protected:
  void SetUp() override {
    ch = ConnectByName(listener.port(), 5, "127.0.0.1");
    ASSERT_GE(ch, 0);
    opened.push_back(ch);
    peer = listener.Accept();
    ASSERT_NE(peer, INVALID_SOCKET);
  }
  void TearDown() override {
    if (peer != INVALID_SOCKET) closesocket(peer);
  }

  PlainListener listener;
  std::int32_t ch = -1;
  SOCKET peer = INVALID_SOCKET;
};

TEST_F(SocketSend, ChannelsOutsideTheTableAreRefused) {
  TMessagePart* msg = testing::MakeMsg({{"ID", "1"}});
  EXPECT_FALSE(SendMsg(-1, msg));
  EXPECT_FALSE(SendMsg(kChannelCount, msg));
  FreeMsg(msg);
}

TEST_F(SocketSend, TheEighthPacketToAPeerThatReadsNothingIsRefusedAndTheSevenArriveLater) {
  // The first packet is more than the sockets buffer, so the ring cannot drain meanwhile.
  std::vector<Parts> sent{{{"ID", "big"}, {"BODY", std::string(24u << 20, 'b')}}};
  for (int i = 1; i < 7; ++i) sent.push_back({{"ID", std::to_string(i)}});
  for (const Parts& parts : sent) {
    TMessagePart* msg = testing::MakeMsg(parts);
    EXPECT_TRUE(SendMsg(ch, msg)) << parts[0].second;
    FreeMsg(msg);
  }
  TMessagePart* eighth = testing::MakeMsg({{"ID", "8"}});
  EXPECT_FALSE(SendMsg(ch, eighth));
  FreeMsg(eighth);
  for (const Parts& parts : sent) {
    const std::string expected = Gather(parts);
    EXPECT_TRUE(testing::ReceiveExact(peer, expected.size()) == expected) << parts[0].second;
  }
}

TEST_F(SocketSend, ClosingWithTwoPacketsQueuedSendsBothThenOneClosedNotice) {
  const Parts large{{"ID", "large"}, {"BODY", std::string(3u << 20, 'L')}};  // several sends
  const Parts small{{"ID", "small"}};
  for (const Parts& parts : {large, small}) {
    TMessagePart* msg = testing::MakeMsg(parts);
    ASSERT_TRUE(SendMsg(ch, msg));
    FreeMsg(msg);
  }
  const std::string expected = Gather(large) + Gather(small);
  std::string received;
  bool closedAfter = false;
  std::thread reader([&] {
    received = testing::ReceiveExact(peer, expected.size());
    closedAfter = testing::SeesClose(peer);
  });
  std::int32_t channel = ch;
  EXPECT_TRUE(CloseChannelWithTimeout(channel, 20000));
  reader.join();
  opened.clear();
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(closedAfter);
  EXPECT_EQ(WaitMessage(0), nullptr) << "exactly one umClosed";
}

// ---- Listening and accepting ------------------------------------------------------------------

class SocketAccept : public testing::ChannelsTest {
 protected:
  void SetUp() override {
    listening = OpenListeningChannel("127.0.0.1", 0, 42);
    ASSERT_GE(listening, 0);
    opened.push_back(listening);
    port = ListeningPort(listening);
    ASSERT_NE(port, 0);
  }
  // The next record, which must be a umAccepted of the listener: its new channel.
  std::int32_t NextAccepted() {
    TUserMessage* message = Next();
    if (!message) return -1;
    EXPECT_EQ(message->type, umAccepted);
    EXPECT_EQ(message->ch, listening);
    EXPECT_EQ(message->udata, 42);
    const std::int32_t newchannel = message->type == umAccepted ? message->newchannel : -1;
    FreeUserMessage(message);
    if (newchannel >= 0) opened.push_back(newchannel);
    return newchannel;
  }

  std::int32_t listening = -1;
  std::uint16_t port = 0;
};

TEST_F(SocketAccept, TwoWaitingConnectionsGiveTwoChannelsThatTalkBothWays) {
  const SOCKET first = testing::PlainConnect(port);
  const SOCKET second = testing::PlainConnect(port);
  ASSERT_NE(first, INVALID_SOCKET);
  ASSERT_NE(second, INVALID_SOCKET);
  const std::int32_t a = NextAccepted();
  const std::int32_t b = NextAccepted();
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(sockdata[a].load()->remote, "127.0.0.1");
  EXPECT_EQ(sockdata[b].load()->udata, 42);

  const Parts request{{"ID", "ping"}};
  ASSERT_TRUE(testing::SendAll(first, Gather(request)));
  TUserMessage* message = Next();
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->ch, a);
  EXPECT_EQ(testing::TakeParts(message->parts), request);
  message->parts = nullptr;
  FreeUserMessage(message);
  TMessagePart* reply = testing::MakeMsg({{"ID", "pong"}});
  ASSERT_TRUE(SendMsg(b, reply));
  const std::string expected = GatherMsg(reply);
  FreeMsg(reply);
  EXPECT_EQ(testing::ReceiveExact(second, expected.size()), expected);
  closesocket(first);
  closesocket(second);
}

TEST_F(SocketAccept, PeersThatConnectAndCloseAtOnceLeaveTheListenerListening) {
  constexpr int kPeers = 50;
  // Each peer gives a channel of its own that ends with its peer's close.
  std::vector<std::int32_t> accepted;
  int closed = 0;
  const auto take = [&](TUserMessage* message) {
    const TUserMessage record = *message;
    FreeUserMessage(message);
    if (record.type == umAccepted) {
      EXPECT_EQ(record.ch, listening);
      accepted.push_back(record.newchannel);
      return true;
    }
    EXPECT_EQ(record.type, umClosed);
    if (record.ch == listening) return false;
    EXPECT_NE(std::find(accepted.begin(), accepted.end(), record.ch), accepted.end());
    std::int32_t channel = record.ch;
    EXPECT_TRUE(FreeChannel(channel));
    ++closed;
    return true;
  };
  // Records are taken between the peers, so that a listener that ended is seen before the
  // next peer waits for a connection nobody accepts.
  for (int i = 0; i < kPeers; ++i) {
    const SOCKET peer = testing::PlainConnect(port);
    ASSERT_NE(peer, INVALID_SOCKET);
    closesocket(peer);
    while (TUserMessage* message = WaitMessage(0)) {
      ASSERT_TRUE(take(message)) << "the listener ended after " << i + 1 << " peers";
    }
  }
  while (closed < kPeers) {
    TUserMessage* message = Next();
    ASSERT_NE(message, nullptr) << accepted.size() << " accepted, " << closed << " closed";
    ASSERT_TRUE(take(message)) << "the listener ended";
  }
  EXPECT_EQ(accepted.size(), static_cast<std::size_t>(kPeers));

  const SOCKET client = testing::PlainConnect(port);
  ASSERT_NE(client, INVALID_SOCKET);
  const std::int32_t served = NextAccepted();
  ASSERT_GE(served, 0);
  ASSERT_TRUE(testing::SendAll(client, Gather({{"ID", "request"}})));
  TUserMessage* request = Next();
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->type, umMessage);
  EXPECT_EQ(request->ch, served);
  FreeUserMessage(request);
  TMessagePart* reply = testing::MakeMsg({{"ID", "answer"}});
  ASSERT_TRUE(SendMsg(served, reply));
  const std::string expected = GatherMsg(reply);
  FreeMsg(reply);
  EXPECT_EQ(testing::ReceiveExact(client, expected.size()), expected);
  EXPECT_TRUE(alive[listening]);
  closesocket(client);
}

#if !defined(_WIN32)
TEST_F(SocketAccept, AConnectionThatFailedWhileWaitingLeavesTheListenerListening) {
  win32::testing::FailAccept(ECONNABORTED, 1);  // Linux's report of a peer gone before accept
  const SOCKET peer = testing::PlainConnect(port);
  ASSERT_NE(peer, INVALID_SOCKET);
  EXPECT_GE(NextAccepted(), 0);
  EXPECT_TRUE(alive[listening]);
  win32::testing::FailAccept(0, 0);
  closesocket(peer);
}
#endif

TEST_F(SocketAccept, WithAllChannelsInUseTheAcceptedSocketIsClosedAndNoRecordMade) {
  std::vector<std::int32_t> taken;
  for (std::int32_t c = GetNewChannel(); c >= 0; c = GetNewChannel()) taken.push_back(c);
  const SOCKET peer = testing::PlainConnect(port);
  ASSERT_NE(peer, INVALID_SOCKET);
  EXPECT_TRUE(testing::SeesClose(peer));
  closesocket(peer);
  for (std::int32_t c : taken) DecRef(c);
  EXPECT_TRUE(NoticeQueue.IsEmpty());
  EXPECT_TRUE(alive[listening]) << "the listener keeps listening";
  const SOCKET later = testing::PlainConnect(port);
  EXPECT_GE(NextAccepted(), 0);
  closesocket(later);
}

TEST_F(SocketAccept, AnAddressInUseOrABadAddressLeavesNothingOpen) {
  EXPECT_EQ(OpenListeningChannel("127.0.0.1", port, 1), -1);
  EXPECT_EQ(OpenListeningChannel("not an address", 0, 1), -1);
  const std::int32_t next = GetNewChannel();
  EXPECT_EQ(next, listening + 1) << "no channel was kept by the failures";
  DecRef(next);
}

}  // namespace
}  // namespace lumarix
