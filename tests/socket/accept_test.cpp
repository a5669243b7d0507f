// The listening channel's backlog: connections that arrive faster than the library accepts them
// wait in the system's queue, as many as the listener asked for, instead of being refused.
#if !defined(_WIN32)
#include <vector>

#include "socket/waiting_connects.h"
#include "support/socket_fixture.h"

namespace lumarix {
namespace {

using namespace socklib;

class SocketBacklog : public testing::ChannelsTest {};

TEST_F(SocketBacklog, ConnectionsTheLibraryCannotAcceptYetWaitInTheBacklogItAskedFor) {
  constexpr int kWaiting = 40;
  const std::int32_t listening = OpenListeningChannel("127.0.0.1", 0, 5, 64);
  ASSERT_GE(listening, 0);
  opened.push_back(listening);
  std::vector<int> sockets;
  const std::size_t held = testing::ConnectsHeldByTheBacklog(ListeningPort(listening), kWaiting, 5, sockets);
  EXPECT_EQ(held, static_cast<std::size_t>(kWaiting));
  // Once descriptors are there again, every one of them is accepted.
  for (std::size_t accepted = 0; accepted < held;) {
    TUserMessage* record = Next();
    ASSERT_NE(record, nullptr);
    if (record->type == umAccepted && record->ch == listening) {
      opened.push_back(record->newchannel);
      ++accepted;
    }
    FreeUserMessage(record);
  }
  testing::CloseAll(sockets);
}

}  // namespace
}  // namespace lumarix
#endif
