#include "support/loopback_peer.h"

namespace lumarix::testing {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  return address;
}

// Appends what one read gives; false at the peer's close or a failed read.
bool ReceiveSome(SOCKET sock, std::string& bytes) {
  char buffer[65536];
  const int got = recv(sock, buffer, sizeof buffer, 0);
  if (got <= 0) return false;
  bytes.append(buffer, static_cast<std::size_t>(got));
  return true;
}

}  // namespace

PlainListener::PlainListener(std::uint16_t port, int backlog) {
  sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock_ == INVALID_SOCKET) return;
  if (port != 0) {
    int reuse = 1;
    setsockopt(sock_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  }
  sockaddr_in local = Loopback(port);
  int length = sizeof local;
  if (bind(sock_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || listen(sock_, backlog) != 0 ||
      getsockname(sock_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
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
  const sockaddr_in target = Loopback(port);
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

std::string ReceiveUntil(SOCKET sock, const std::string& end, std::size_t from) {
  std::string bytes;
  while (bytes.size() < from + end.size() || bytes.find(end, from) == std::string::npos) {
    if (!ReceiveSome(sock, bytes)) break;
  }
  return bytes;
}

std::string ReceiveToClose(SOCKET sock) {
  std::string bytes;
  while (ReceiveSome(sock, bytes)) {
  }
  return bytes;
}

bool SeesClose(SOCKET sock) {
  char byte = 0;
  return recv(sock, &byte, 1, 0) <= 0;
}

}  // namespace lumarix::testing
