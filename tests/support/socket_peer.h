// Plain blocking sockets on 127.0.0.1 that play the library's peer in tests.
#pragma once

#include <cstdint>
#include <string>

#include "platform/winapi.h"

namespace lumarix::testing {

// A plain listening socket on 127.0.0.1 and a port of the system's choice.
class PlainListener {
 public:
  PlainListener();
  ~PlainListener();
  PlainListener(const PlainListener&) = delete;
  PlainListener& operator=(const PlainListener&) = delete;

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
// True when the peer's next read gives its orderly close or a reset (the channel's end).
bool SeesClose(SOCKET sock);

}  // namespace lumarix::testing
