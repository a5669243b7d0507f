// Listening channels and the channels they accept, over real loopback connections: both ways
// of talking, peers gone at once or before their accept, a full table, and the backlog that
// holds connections the library cannot accept yet, instead of refusing them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LumarixSocket.h"
#include "support/loopback_peer.h"
#include "support/message.h"
#include "support/socket_fixture.h"

#if !defined(_WIN32)
#include <cerrno>

#include "platform/posix/testing.h"
#include "socket/waiting_connects.h"
#endif

namespace lumarix {
namespace {

using namespace socklib;
using testing::Gather;
using testing::Parts;

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

  // Sends a packet of "ID" `id` on the channel; true when its peer receives it whole.
  static bool ReplyReaches(std::int32_t ch, SOCKET peer, const std::string& id) {
    TMessagePart* reply = testing::MakeMsg({{"ID", id}});
    const bool sent = SendMsg(ch, reply);
    const std::string expected = GatherMsg(reply);
    FreeMsg(reply);
    return sent && testing::ReceiveExact(peer, expected.size()) == expected;
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
  EXPECT_TRUE(ReplyReaches(b, second, "pong"));
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
  EXPECT_TRUE(ReplyReaches(served, client, "answer"));
  EXPECT_TRUE(alive[listening]);
  closesocket(client);
}

#if !defined(_WIN32)
TEST_F(SocketAccept, ConnectionsTheLibraryCannotAcceptYetWaitInTheBacklogItAskedFor) {
  constexpr int kWaiting = 40;
  const std::int32_t asking = OpenListeningChannel("127.0.0.1", 0, 5, 64);
  ASSERT_GE(asking, 0);
  opened.push_back(asking);
  std::vector<int> sockets;
  const std::size_t held = testing::ConnectsHeldByTheBacklog(ListeningPort(asking), kWaiting, 5, sockets);
  EXPECT_EQ(held, static_cast<std::size_t>(kWaiting));
  // Once descriptors are there again, every one of them is accepted.
  for (std::size_t accepted = 0; accepted < held;) {
    TUserMessage* record = Next();
    ASSERT_NE(record, nullptr);
    if (record->type == umAccepted && record->ch == asking) {
      opened.push_back(record->newchannel);
      ++accepted;
    }
    FreeUserMessage(record);
  }
  testing::CloseAll(sockets);
}

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
