#include "support/socket_peer.h"

namespace lumarix::testing {

PlainListener::PlainListener() {
  sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr("127.0.0.1");
  int length = sizeof local;
  if (sock_ == INVALID_SOCKET || bind(sock_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(sock_, 8) != 0 || getsockname(sock_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return;
  }
  port_ = ntohs(local.sin_port);
}

PlainListener::~PlainListener() {
  if (sock_ != INVALID_SOCKET) closesocket(sock_);
}

SOCKET PlainListener::Accept() { return accept(sock_, nullptr, nullptr); }

SOCKET PlainConnect(std::uint16_t port) {
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = inet_addr("127.0.0.1");
  if (sock != INVALID_SOCKET && connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    closesocket(sock);
    return INVALID_SOCKET;
  }
  return sock;
}

bool SendAll(SOCKET sock, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int sent = send(sock, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

std::string ReceiveExact(SOCKET sock, std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    const int got = recv(sock, bytes.data() + done, static_cast<int>(count - done), 0);
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

bool SeesClose(SOCKET sock) {
  char byte = 0;
  return recv(sock, &byte, 1, 0) <= 0;
}

}  // namespace lumarix::testing
