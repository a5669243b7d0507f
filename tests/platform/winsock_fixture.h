// The fixture of the WinSock conformance tests: a window for the events, sockets on 127.0.0.1
// that the test ends, and waits for the window's next message that end by themselves.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/winapi.h"

namespace lumarix::testing {

class WinsockTest : public ::testing::Test {
 protected:
  static constexpr UINT kEvent = WM_USER + 40;
  static constexpr UINT kTimedOut = WM_USER + 41;
  static constexpr UINT kFenceEvent = WM_USER + 42;
  static constexpr DWORD kPatience = 10000;

  struct Watchdog {
    HWND window;
    HANDLE cancel;
  };

  static DWORD WINAPI PostTimeOut(LPVOID parameter) {
    auto* watchdog = static_cast<Watchdog*>(parameter);
    if (WaitForSingleObject(watchdog->cancel, kPatience) == WAIT_TIMEOUT) {
      PostMessageA(watchdog->window, kTimedOut, 0, 0);
    }
    return 0;
  }

  void SetUp() override {
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    window = CreateWindowExA(0, "STATIC", "winsock test", WS_POPUP, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                             GetDesktopWindow(), nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
  }

  void TearDown() override {
    for (SOCKET s : sockets) closesocket(s);
    EXPECT_EQ(WSACleanup(), 0);
  }

  SOCKET Keep(SOCKET s) {
    if (s != INVALID_SOCKET) sockets.push_back(s);
    return s;
  }

  void Close(SOCKET s) {
    EXPECT_EQ(closesocket(s), 0);
    for (auto& kept : sockets) {
      if (kept == s) kept = INVALID_SOCKET;
    }
  }

  static sockaddr_in Loopback(u_short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return address;
  }

  // A socket listening on 127.0.0.1 at a port of the system's choice, given in `address`.
  SOCKET Listener(sockaddr_in& address) {
    SOCKET s = Keep(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    address = Loopback(0);
    int length = sizeof address;
    bool ready = s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 listen(s, SOMAXCONN) == 0 && getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    EXPECT_TRUE(ready) << WSAGetLastError();
    return ready ? s : INVALID_SOCKET;
  }

  // An address on 127.0.0.1 where nothing listens: a listener's, closed again.
  sockaddr_in ClosedPort() {
    sockaddr_in address{};
    SOCKET listener = Listener(address);
    if (listener != INVALID_SOCKET) Close(listener);
    return address;
  }

  SOCKET Connected(const sockaddr_in& address) {
    SOCKET s = Keep(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    EXPECT_EQ(connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << WSAGetLastError();
    return s;
  }

  // Two connected blocking sockets made by connect and accept.
  void Pair(SOCKET& ours, SOCKET& peer) {
    sockaddr_in address{};
    SOCKET listener = Listener(address);
    peer = Connected(address);
    ours = Keep(accept(listener, nullptr, nullptr));
    ASSERT_NE(ours, INVALID_SOCKET) << WSAGetLastError();
    Close(listener);
  }

  // The next message for the window, or kTimedOut after a generous wait.
  MSG Next() {
    Watchdog watchdog{window, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE thread = CreateThread(nullptr, 0, PostTimeOut, &watchdog, 0, nullptr);
    MSG msg{};
    GetMessageA(&msg, window, 0, 0x7FFF);
    SetEvent(watchdog.cancel);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(watchdog.cancel);
    return msg;
  }

  void ExpectEvent(SOCKET s, LONG event, int error = 0, UINT message = kEvent) {
    MSG msg = Next();
    ASSERT_NE(msg.message, kTimedOut) << "no event " << event;
    EXPECT_EQ(msg.message, message);
    EXPECT_EQ(msg.wParam, s);
    EXPECT_EQ(WSAGETSELECTEVENT(msg.lParam), event);
    EXPECT_EQ(WSAGETSELECTERROR(msg.lParam), error);
  }

  // The messages that came before an event caused after them on a socket pair of its own: an
  // event that should not come, caused earlier, would show among them.
  std::vector<MSG> UntilFence() {
    if (fenceOurs == INVALID_SOCKET) {
      Pair(fenceOurs, fencePeer);
      EXPECT_EQ(WSAAsyncSelect(fenceOurs, window, kFenceEvent, FD_READ), 0);
    }
    EXPECT_EQ(send(fencePeer, "f", 1, 0), 1);
    std::vector<MSG> before;
    for (int i = 0; i < 100; ++i) {
      MSG msg = Next();
      if (msg.message == kTimedOut) {
        ADD_FAILURE() << "the fence event did not come";
        break;
      }
      if (msg.message == kFenceEvent) {
        char byte;
        EXPECT_EQ(recv(fenceOurs, &byte, 1, 0), 1);
        break;
      }
      before.push_back(msg);
    }
    return before;
  }

  void ExpectNothingMore() {
    for (const MSG& msg : UntilFence()) {
      ADD_FAILURE() << "unexpected message " << msg.message << " event " << WSAGETSELECTEVENT(msg.lParam)
                    << " error " << WSAGETSELECTERROR(msg.lParam) << " socket " << msg.wParam;
    }
  }

  static void SendAll(SOCKET s, const std::string& data) {
    ASSERT_EQ(send(s, data.data(), static_cast<int>(data.size()), 0), static_cast<int>(data.size()));
  }

  HWND window = nullptr;
  std::vector<SOCKET> sockets;
  SOCKET fenceOurs = INVALID_SOCKET;
  SOCKET fencePeer = INVALID_SOCKET;
};

}  // namespace lumarix::testing
