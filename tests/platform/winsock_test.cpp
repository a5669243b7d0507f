// Conformance of the Windows Sockets calls and their errors. These run on both targets, so
// Wine's real WinSock checks our POSIX one. Everything is on 127.0.0.1.
#include <gtest/gtest.h>

#include "platform/winapi.h"
#include "platform/winsock_fixture.h"

#if !defined(_WIN32)
#include <cerrno>

#include "platform/posix/testing.h"
#endif

namespace lumarix {
namespace {

class PlatformWinsock : public testing::WinsockTest {};

TEST_F(PlatformWinsock, StartupSocketsAndTheirErrors) {
  WSADATA data{};
  ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
  EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));

  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  u_long on = 1;
  EXPECT_EQ(ioctlsocket(s, FIONBIO, &on), 0);
  EXPECT_EQ(WSAAsyncSelect(s, window, WM_USER + 10, FD_READ | FD_CLOSE), 0);
  u_long off = 0;
  EXPECT_EQ(ioctlsocket(s, FIONBIO, &off), SOCKET_ERROR) << "blocking mode is refused while registered";
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  EXPECT_EQ(closesocket(s), 0);

  EXPECT_EQ(closesocket(s), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(WSAAsyncSelect(s, window, WM_USER + 10, FD_CLOSE), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);

  SOCKET unbound = Keep(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in name{};
  int length = sizeof name;
  EXPECT_EQ(getsockname(unbound, reinterpret_cast<sockaddr*>(&name), &length), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL) << "not bound yet";
  BOOL reuse = TRUE;
  EXPECT_EQ(setsockopt(unbound, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse), 0);
  EXPECT_EQ(WSACleanup(), 0);
}

TEST_F(PlatformWinsock, BlockingConnectToAClosedPortIsRefused) {
  sockaddr_in address = ClosedPort();
  ASSERT_FALSE(HasFailure());
  SOCKET s = Keep(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
}

#if !defined(_WIN32)
// Windows refuses the any-address as a peer (Wine hands it to the host, which connects to
// itself, so this runs on POSIX only).
TEST_F(PlatformWinsock, ConnectToTheAnyAddressIsRefused) {
  sockaddr_in address{};
  SOCKET listener = Listener(address);
  ASSERT_NE(listener, INVALID_SOCKET);
  sockaddr_in any = address;
  any.sin_addr.s_addr = INADDR_ANY;
  SOCKET s = Keep(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&any), sizeof any), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
}

// Linux reports from accept the network error of a connection that failed while it waited;
// Windows passes over it. The injected failures stand for such connections.
TEST_F(PlatformWinsock, AcceptPassesOverConnectionsThatFailedWhileWaiting) {
  sockaddr_in address{};
  SOCKET listener = Listener(address);
  ASSERT_NE(listener, INVALID_SOCKET);
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(listener, FIONBIO, &on), 0);
  for (int error : {ECONNABORTED, EPROTO, ENETDOWN, ENOPROTOOPT, EHOSTDOWN, ENONET, EHOSTUNREACH, EOPNOTSUPP,
                    ENETUNREACH}) {
    win32::testing::FailAccept(error, 1);
    EXPECT_EQ(accept(listener, nullptr, nullptr), INVALID_SOCKET) << error;
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << error;
  }
  SOCKET peer = Connected(address);
  win32::testing::FailAccept(ECONNABORTED, 2);
  SOCKET accepted = Keep(accept(listener, nullptr, nullptr));
  win32::testing::FailAccept(0, 0);
  ASSERT_NE(accepted, INVALID_SOCKET) << WSAGetLastError();
  u_long off = 0;
  ASSERT_EQ(ioctlsocket(accepted, FIONBIO, &off), 0);
  SendAll(peer, "x");
  char byte = 0;
  EXPECT_EQ(recv(accepted, &byte, 1, 0), 1) << "the waiting connection was the one accepted";
}
#endif

}  // namespace
}  // namespace lumarix
