// Conformance of name lookup, address text and byte order. These run on both targets, so
// Wine's real WinSock checks our POSIX one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/winapi.h"
#include "platform/winsock_fixture.h"

namespace lumarix {
namespace {

class PlatformProtocol : public testing::WinsockTest {};

TEST_F(PlatformProtocol, AddressesNamesAndByteOrder) {
  std::uint32_t loopback = inet_addr("127.0.0.1");
  unsigned char bytes[4];
  std::memcpy(bytes, &loopback, 4);
  EXPECT_EQ(bytes[0], 127);
  EXPECT_EQ(bytes[3], 1);
  EXPECT_EQ(loopback, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ntohl(loopback), INADDR_LOOPBACK);
  EXPECT_EQ(inet_addr("256.1.1.1"), INADDR_NONE);
  EXPECT_EQ(inet_addr("not an address"), INADDR_NONE);

  in_addr address{};
  address.s_addr = inet_addr("10.1.2.3");
  EXPECT_STREQ(inet_ntoa(address), "10.1.2.3");
  EXPECT_EQ(address.S_un.S_un_b.s_b1, 10);

  u_short port = htons(0x1234);
  std::memcpy(bytes, &port, 2);
  EXPECT_EQ(bytes[0], 0x12);
  EXPECT_EQ(bytes[1], 0x34);
  EXPECT_EQ(ntohs(port), 0x1234);
  EXPECT_EQ(sizeof(sockaddr_in), 16u);
  EXPECT_EQ(sizeof(in_addr), 4u);

  hostent* host = gethostbyname("localhost");
  ASSERT_NE(host, nullptr) << WSAGetLastError();
  EXPECT_EQ(host->h_addrtype, AF_INET);
  EXPECT_EQ(host->h_length, 4);
  ASSERT_NE(host->h_addr_list[0], nullptr);
  EXPECT_EQ(static_cast<unsigned char>(host->h_addr[0]), 127);
}

}  // namespace
}  // namespace lumarix
