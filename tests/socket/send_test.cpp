// The send path over real loopback connections: the ring of seven packets, large packets, and
// orderly closing with packets queued.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "LumarixSocket.h"
#include "support/loopback_peer.h"
#include "support/message.h"
#include "support/socket_fixture.h"

namespace lumarix {
namespace {

using namespace socklib;
using testing::Gather;
using testing::Parts;

using SocketSend = testing::ConnectedChannelTest;

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
  EXPECT_TRUE(CloseChannelWithTimeout(ch, 20000));
  reader.join();
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(closedAfter);
  EXPECT_EQ(WaitMessage(0), nullptr) << "exactly one umClosed";
}

}  // namespace
}  // namespace lumarix
