// Conformance of WSAAsyncSelect's event rules: which events a socket's state and the calls on
// it post, and when again. These run on both targets, so Wine's real WinSock checks our POSIX
// one. Everything is on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/winapi.h"
#include "platform/winsock_fixture.h"

namespace lumarix {
namespace {

class PlatformAsyncSelect : public testing::WinsockTest {};

TEST_F(PlatformAsyncSelect, ReadIsPostedAgainOnlyAfterARecvThatLeftData) {
  SOCKET ours, peer;
  ASSERT_NO_FATAL_FAILURE(Pair(ours, peer));
  ASSERT_EQ(WSAAsyncSelect(ours, window, kEvent, FD_READ | FD_CLOSE), 0);
  SendAll(peer, "0123456789");
  ExpectEvent(ours, FD_READ);
  SendAll(peer, "abcdefghij");
  ExpectNothingMore();  // more data, but no recv yet

  char buffer[64];
  ASSERT_EQ(recv(ours, buffer, 5, 0), 5);
  ExpectEvent(ours, FD_READ);  // 15 bytes left
  int received = 0;
  for (int i = 0; i < 20 && received < 15; ++i) {
    int got = recv(ours, buffer + received, 15 - received, 0);
    ASSERT_GT(got, 0) << WSAGetLastError();
    received += got;
  }
  EXPECT_EQ(std::string(buffer, 15), "56789abcdefghij");
  ExpectNothingMore();  // all read: nothing is left to report
}

TEST_F(PlatformAsyncSelect, WriteComesBackAfterWouldBlockOnceThereIsRoom) {
  SOCKET ours, peer;
  ASSERT_NO_FATAL_FAILURE(Pair(ours, peer));
  ASSERT_EQ(WSAAsyncSelect(ours, window, kEvent, FD_WRITE), 0);
  ExpectEvent(ours, FD_WRITE);  // writable when registered

  std::string chunk(64 * 1024, 'x');
  long long sent = 0;
  bool blocked = false;
  for (int i = 0; i < 4096 && !blocked; ++i) {
    int result = send(ours, chunk.data(), static_cast<int>(chunk.size()), 0);
    if (result == SOCKET_ERROR) {
      ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
      blocked = true;
    } else {
      sent += result;
    }
  }
  ASSERT_TRUE(blocked) << "the peer reads nothing, so the buffers must fill";
  ExpectNothingMore();  // no room yet, and successful sends post nothing

  std::vector<char> buffer(256 * 1024);
  long long received = 0;
  for (int i = 0; i < 1000000 && received < sent; ++i) {
    int got = recv(peer, buffer.data(), static_cast<int>(buffer.size()), 0);
    ASSERT_GT(got, 0) << WSAGetLastError();
    received += got;
  }
  EXPECT_EQ(received, sent);
  ExpectEvent(ours, FD_WRITE);
  ExpectNothingMore();
}

TEST_F(PlatformAsyncSelect, GracefulCloseIsPostedOnceAfterTheDataIsRead) {
  SOCKET ours, peer;
  ASSERT_NO_FATAL_FAILURE(Pair(ours, peer));
  ASSERT_EQ(WSAAsyncSelect(ours, window, kEvent, FD_READ | FD_CLOSE), 0);
  SendAll(peer, "last words");
  Close(peer);
  ExpectEvent(ours, FD_READ);
  ExpectNothingMore();  // the close waits for the unread data

  char buffer[32];
  ASSERT_EQ(recv(ours, buffer, sizeof buffer, 0), 10);
  EXPECT_EQ(std::string(buffer, 10), "last words");
  ExpectEvent(ours, FD_CLOSE, 0);
  EXPECT_EQ(recv(ours, buffer, sizeof buffer, 0), 0);
  ExpectNothingMore();
}

TEST_F(PlatformAsyncSelect, ResetIsPostedOnceAsCloseWithTheErrorInTheHighHalf) {
  SOCKET ours, peer;
  ASSERT_NO_FATAL_FAILURE(Pair(ours, peer));
  ASSERT_EQ(WSAAsyncSelect(ours, window, kEvent, FD_CLOSE), 0);
  // A socket closed with data it never read resets the connection.
  SendAll(ours, "unread");
  ExpectNothingMore();  // the data has arrived at the peer by now, or soon will
  Close(peer);
  MSG msg = Next();
  ASSERT_EQ(msg.message, kEvent);
  EXPECT_EQ(msg.wParam, ours);
  EXPECT_EQ(WSAGETSELECTEVENT(msg.lParam), FD_CLOSE);
  char buffer[8];
  const int received = recv(ours, buffer, sizeof buffer, 0);
#if defined(_WIN32)
  // Windows reports WSAECONNRESET; Wine peeks the reset's error away first and reports 0.
  EXPECT_TRUE(WSAGETSELECTERROR(msg.lParam) == WSAECONNRESET || WSAGETSELECTERROR(msg.lParam) == 0);
  EXPECT_TRUE(received == 0 || (received == SOCKET_ERROR && WSAGetLastError() == WSAECONNRESET));
#else
  EXPECT_EQ(WSAGETSELECTERROR(msg.lParam), WSAECONNRESET);
  // Seen by the event side first, the reset is still the socket's error.
  EXPECT_EQ(received, SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
#endif
  ExpectNothingMore();
}

TEST_F(PlatformAsyncSelect, QueuedConnectionsAreAcceptedOneEventEach) {
  sockaddr_in address{};
  SOCKET listener = Listener(address);
  ASSERT_NE(listener, INVALID_SOCKET);
  ASSERT_EQ(WSAAsyncSelect(listener, window, kEvent, FD_ACCEPT | FD_READ), 0);
  SOCKET first = Connected(address);
  SOCKET second = Connected(address);
  ExpectEvent(listener, FD_ACCEPT);
  ExpectNothingMore();  // two wait, but no accept yet

  sockaddr_in peerAddress{};
  int length = sizeof peerAddress;
  SOCKET accepted = Keep(accept(listener, reinterpret_cast<sockaddr*>(&peerAddress), &length));
  ASSERT_NE(accepted, INVALID_SOCKET) << WSAGetLastError();
  EXPECT_EQ(length, static_cast<int>(sizeof peerAddress));
  EXPECT_EQ(peerAddress.sin_addr.s_addr, inet_addr("127.0.0.1"));
  sockaddr_in firstName{};
  int firstLength = sizeof firstName;
  ASSERT_EQ(getsockname(first, reinterpret_cast<sockaddr*>(&firstName), &firstLength), 0);
  EXPECT_EQ(peerAddress.sin_port, firstName.sin_port) << "the first queued is accepted first";
  ExpectEvent(listener, FD_ACCEPT);  // one more waits

  SOCKET next = Keep(accept(listener, nullptr, nullptr));
  ASSERT_NE(next, INVALID_SOCKET) << WSAGetLastError();
  ExpectNothingMore();
  EXPECT_EQ(accept(listener, nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "registration made the listener non-blocking";
  ExpectNothingMore();

  // An accepted socket has its listener's registration.
  SendAll(second, "hello");
  ExpectEvent(next, FD_READ);
}

TEST_F(PlatformAsyncSelect, ANewRegistrationOfASocketWhosePeerClosedPostsTheCloseAgain) {
  sockaddr_in address{};
  SOCKET listener = Listener(address);
  ASSERT_NE(listener, INVALID_SOCKET);
  ASSERT_EQ(WSAAsyncSelect(listener, window, kEvent, FD_ACCEPT | FD_CLOSE), 0);
  SOCKET peer = Connected(address);
  ExpectEvent(listener, FD_ACCEPT);
  Close(peer);
  SOCKET accepted = Keep(accept(listener, nullptr, nullptr));
  ASSERT_NE(accepted, INVALID_SOCKET) << WSAGetLastError();
  // Under the listener's registration, which the accepted socket has, with its own socket.
  ExpectEvent(accepted, FD_CLOSE, 0, kEvent);
  ExpectNothingMore();

  ASSERT_EQ(WSAAsyncSelect(accepted, window, kEvent + 102, FD_READ | FD_CLOSE), 0);
  ExpectEvent(accepted, FD_CLOSE, 0, kEvent + 102);
  ExpectNothingMore();
  char byte;
  EXPECT_EQ(recv(accepted, &byte, 1, 0), 0);
  ExpectNothingMore();
  ASSERT_EQ(WSAAsyncSelect(accepted, window, kEvent + 103, FD_READ | FD_CLOSE), 0);
  ExpectEvent(accepted, FD_CLOSE, 0, kEvent + 103);  // even after a recv that saw the close
  ExpectNothingMore();
}

TEST_F(PlatformAsyncSelect, ANewRegistrationReplacesTheOld) {
  SOCKET ours, peer;
  ASSERT_NO_FATAL_FAILURE(Pair(ours, peer));
  ASSERT_EQ(WSAAsyncSelect(ours, window, kEvent + 100, FD_READ), 0);
  ASSERT_EQ(WSAAsyncSelect(ours, window, kEvent, FD_READ), 0);
  SendAll(peer, "data");
  ExpectEvent(ours, FD_READ, 0, kEvent);
  ExpectNothingMore();  // nothing under the first message

  // Only FD_CLOSE now: the data waiting posts no FD_READ.
  ASSERT_EQ(WSAAsyncSelect(ours, window, kEvent + 101, FD_CLOSE), 0);
  char buffer[8];
  ASSERT_EQ(recv(ours, buffer, sizeof buffer, 0), 4);
  Close(peer);
  ExpectEvent(ours, FD_CLOSE, 0, kEvent + 101);
  ExpectNothingMore();

  ASSERT_EQ(WSAAsyncSelect(ours, window, 0, 0), 0);  // cancels
  u_long off = 0;
  EXPECT_EQ(ioctlsocket(ours, FIONBIO, &off), 0) << "blocking mode is allowed again";
}

TEST_F(PlatformAsyncSelect, NonBlockingConnectWouldBlockThenSucceeds) {
  sockaddr_in address{};
  SOCKET listener = Listener(address);
  ASSERT_NE(listener, INVALID_SOCKET);
  SOCKET s = Keep(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  ASSERT_EQ(WSAAsyncSelect(s, window, kEvent, FD_WRITE), 0);
  int result = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (result == SOCKET_ERROR) {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  }
  ExpectEvent(s, FD_WRITE);  // once connected
}

TEST_F(PlatformAsyncSelect, NonBlockingConnectToAClosedPortPostsTheRefusal) {
  sockaddr_in address = ClosedPort();
  ASSERT_FALSE(HasFailure());
  SOCKET s = Keep(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  ASSERT_EQ(WSAAsyncSelect(s, window, kEvent, FD_CONNECT | FD_WRITE | FD_CLOSE), 0);
  ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  ExpectEvent(s, FD_CONNECT, WSAECONNREFUSED);
  ExpectNothingMore();  // never connected: no FD_WRITE, no FD_CLOSE
}

}  // namespace
}  // namespace lumarix
