// The peer of a test on 127.0.0.1: plain blocking sockets of the platform's own API, which
// play the far end of a library channel, a scripted server or a client. Free of any test
// framework (plain return values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/winapi.h"

namespace lumarix::testing {

// A plain listening socket on 127.0.0.1: on a port of the system's choice, or on `port`
// (taken again past TIME_WAIT, for the fixed print port).
class PlainListener {
 public:
  explicit PlainListener(std::uint16_t port = 0, int backlog = 8);
  ~PlainListener();
  PlainListener(const PlainListener&) = delete;
  PlainListener& operator=(const PlainListener&) = delete;

  bool listening() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // The next connection (blocking), or INVALID_SOCKET.
  SOCKET Accept();

 private:
  SOCKET sock_ = INVALID_SOCKET;
  std::uint16_t port_ = 0;
};

// A plain blocking connection to 127.0.0.1:port, or INVALID_SOCKET.
SOCKET PlainConnect(std::uint16_t port);
// Sends all bytes; false when a send fails.
bool SendAll(SOCKET sock, const std::string& bytes);
// Reads exactly `count` bytes; fewer when the peer closes or a read fails.
std::string ReceiveExact(SOCKET sock, std::size_t count);
// Reads until the bytes hold `end` at or after `from` (what came with it is kept), or the
// peer closes, or a read fails.
std::string ReceiveUntil(SOCKET sock, const std::string& end, std::size_t from = 0);
// Reads until the peer closes or a read fails; what came before.
std::string ReceiveToClose(SOCKET sock);
// True when the peer's next read gives its orderly close or a reset (the channel's end).
bool SeesClose(SOCKET sock);

}  // namespace lumarix::testing
