// Listening channels and the accept path of the library thread: each FD_ACCEPT accepts one
// waiting connection, gives it a channel of its own (inheriting the listener's udata) and tells
// the application with a umAccepted record.

#include <cstring>

#include "socket/internal.h"

namespace lumarix {
namespace socklib {
namespace {

constexpr int kPeerAddressSize = 256;

bool IsPassingAcceptError(int error) {
  return error == WSAEINTR || error == WSAEMFILE || error == WSAEWOULDBLOCK || error == WSAEINPROGRESS ||
         error == WSAENOBUFS;
}

std::string PeerText(const sockaddr_in& peer) {
  return peer.sin_family == AF_INET ? std::string(inet_ntoa(peer.sin_addr)) : std::string("failed");
}

void NoticeAccepted(std::int32_t ch, const TSocketDesc& listener, std::int32_t newchannel) {
  auto* notice = new TUserMessage;
  notice->type = umAccepted;
  notice->ch = ch;
  notice->udata = listener.udata;
  notice->newchannel = newchannel;
  PutUserMessage(NoticeQueue, notice);
}

// A bound, listening, non-blocking socket, or INVALID_SOCKET with nothing left open.
SOCKET ListeningSocket(const std::string& address, std::uint16_t port, int backlog) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = inet_addr(address.c_str());
  if (local.sin_addr.s_addr == INADDR_NONE) return INVALID_SOCKET;
  SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  SOCKET_LOG(3, "Opened socket %d", static_cast<int>(sock));
  if (sock == INVALID_SOCKET) return sock;
#if !defined(_WIN32)
  // A server restarted on its port must not wait for the last run's connections to time out;
  // on Windows the option would let another program share the port, so it stays off there.
  int reuse = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
#endif
  u_long nonBlocking = 1;
  if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || listen(sock, backlog) != 0 ||
      ioctlsocket(sock, FIONBIO, &nonBlocking) != 0) {
    closesocket(sock);
    return INVALID_SOCKET;
  }
  return sock;
}

}  // namespace

void TryAccept(std::int32_t ch) {
  SOCKET_LOG(6, "Activated: TryAccept (channel=%d)", ch);
  if (!alive[ch]) {
    SOCKET_LOG(4, "TryAccept (%d): socket is not alive", ch);
    return;
  }
  if (mustdie[ch]) {
    SOCKET_LOG(4, "TryAccept (%d): socket must die!", ch);
    return;
  }
  TSocketDesc& desc = *sockdata[ch].load();
  if (!(desc.flags & sfListening)) {
    SOCKET_LOG(2, "WARNING: TryAccept for non-listening socket (%d) [previous instance?]", ch);
    return;
  }
  alignas(sockaddr_in) char peer[kPeerAddressSize] = {};
  int length = kPeerAddressSize;
  const SOCKET sock = accept(desc.sock, reinterpret_cast<sockaddr*>(peer), &length);
  if (sock == INVALID_SOCKET) {
    if (IsPassingAcceptError(WSAGetLastError())) {
      SOCKET_LOG(4, "TryAccept (%d) failed", ch);
    } else {
      SOCKET_LOG(2, "TryAccept (%d) socket error, closing socket", ch);
      closesocket(desc.sock);
      desc.ownsSocket = false;
      DoFatalClose(ch);
    }
  } else {
    sockaddr_in from{};
    std::memcpy(&from, peer, sizeof from);
    const std::string remote = PeerText(from);
    SOCKET_LOG(6, "TryAccept (%d): opened %d from %s", ch, static_cast<int>(sock), remote.c_str());
    const std::int32_t newchannel = GetChannelAllocation(sock, desc.udata, remote, false);
    if (newchannel < 0) {
      closesocket(sock);
      return;
    }
    NoticeAccepted(ch, desc, newchannel);
  }
  SOCKET_LOG(6, "Exiting: TryAccept (channel=%d)", ch);
}

std::uint16_t ListeningPort(std::int32_t ch) {
  if (ch < 0 || ch >= kChannelCount) return 0;
  const TSocketDesc* desc = sockdata[ch];
  if (!desc) return 0;
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(desc->sock, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

}  // namespace socklib

using namespace socklib;

std::int32_t OpenListeningChannel(const std::string& address, std::uint16_t port, std::int32_t udata,
                                  int backlog) {
  SOCKET_LOG(2, "Listening on %s, port %d (udata=%d, backlog=%d)", address.c_str(), static_cast<int>(port), udata,
             backlog);
  const SOCKET sock = ListeningSocket(address, port, backlog);
  if (sock == INVALID_SOCKET) {
    SOCKET_LOG(2, "Unable to listen on %s, port %d", address.c_str(), static_cast<int>(port));
    return -1;
  }
  const std::int32_t ch = GetChannelAllocation(sock, udata, address, true);
  if (ch < 0) closesocket(sock);
  SOCKET_LOG(3, "Listening via channel %d", ch);
  return ch;
}

}  // namespace lumarix
