// The receive path of the library thread: one chunk per call from the socket, cut into packets
// at each 00 2B 2B 2B 00, each packet parsed into a umMessage record for ReceivedQueue.
//
// Reading pauses while ReceivedQueue is at its watermark (the packets receive query resumes
// it), and a packet may grow only to kMaxPacket bytes, so that no peer exhausts memory.

#include <cstring>

#include "LumarixUtil.h"
#include "socket/internal.h"

namespace lumarix::socklib {
namespace {

constexpr char kPacketEnd[] = {'\0', '+', '+', '+', '\0'};
constexpr std::size_t kPacketEndLength = sizeof kPacketEnd;

bool EndsPacketAt(const std::string& bytes, std::size_t begin, std::size_t zero) {
  return zero - begin + 1 >= kPacketEndLength &&
         std::memcmp(bytes.data() + zero + 1 - kPacketEndLength, kPacketEnd, kPacketEndLength) == 0;
}

// The sink of the library's own reading: one umMessage record per packet.
struct ChannelSink {
  std::int32_t ch;
  std::int32_t udata;
};

bool QueuePacket(void* context, std::string_view packet) {
  const auto& sink = *static_cast<const ChannelSink*>(context);
  TMessagePart* parts = ParseMsg(packet);
  if (!parts) return false;
  SOCKET_LOG(6, "TryReceive (%d): parsing message %s", sink.ch, LogText(packet).c_str());
  auto* record = new TUserMessage;
  record->type = umMessage;
  record->ch = sink.ch;
  record->udata = sink.udata;
  record->parts = parts;
  PutUserMessage(ReceivedQueue, record);
  SOCKET_LOG(4, "TryReceive (%d): switching to next packet", sink.ch);
  return true;
}

void CloseAfterFailure(std::int32_t ch, TSocketDesc& desc) {
  closesocket(desc.sock);
  desc.ownsSocket = false;
  DoFatalClose(ch);
}

}  // namespace

TFraming CutPackets(std::string& recvbuf, std::string_view chunk, std::size_t limit, TPacketSink onPacket,
                    void* context) {
  std::size_t scan = recvbuf.size();
  recvbuf.append(chunk);
  std::size_t begin = 0;
  TFraming result = TFraming::kOk;
  while (const void* found = std::memchr(recvbuf.data() + scan, '\0', recvbuf.size() - scan)) {
    const std::size_t zero = static_cast<std::size_t>(static_cast<const char*>(found) - recvbuf.data());
    scan = zero + 1;
    if (!EndsPacketAt(recvbuf, begin, zero)) continue;
    if (zero + 1 - begin > limit) {
      result = TFraming::kTooLong;
      break;
    }
    if (!onPacket(context, std::string_view(recvbuf).substr(begin, zero + 1 - begin))) {
      result = TFraming::kRejected;
      break;
    }
    begin = zero + 1;
  }
  recvbuf.erase(0, begin);
  if (result == TFraming::kOk && recvbuf.size() >= limit) result = TFraming::kTooLong;
  return result;
}

void TryReceive(std::int32_t ch) {
  SOCKET_LOG(6, "Activated: TryReceive (channel=%d)", ch);
  if (!alive[ch]) {
    SOCKET_LOG(4, "TryReceive (%d): socket is not alive", ch);
    return;
  }
  if (mustdie[ch]) {
    SOCKET_LOG(4, "TryReceive (%d): socket must die!", ch);
    return;
  }
  TSocketDesc& desc = *sockdata[ch].load();
  if (desc.flags & sfListening) {
    SOCKET_LOG(2, "WARNING: TryReceive for listening socket (%d) [previous instance?]", ch);
    return;
  }
  if (ReceivedQueue.AboveWatermark()) {
    SOCKET_LOG(6, "TryReceive (%d): queue watermark overflow", ch);
    desc.flags |= sfRecvPaused;
    return;
  }
  desc.flags &= ~sfRecvPaused;
  char chunk[kReceiveChunk];
  const int n = recv(desc.sock, chunk, static_cast<int>(sizeof chunk), 0);
  if (n == SOCKET_ERROR) {
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      SOCKET_LOG(6, "TryReceive (%d): Socket receive buffer is empty", ch);
      return;
    }
    SOCKET_LOG(4, "TryReceive (%d): Socket error detected", ch);
    CloseAfterFailure(ch, desc);
    return;
  }
  if (n == 0) {
    SOCKET_LOG(4, "TryReceive (%d): Socket closure detected", ch);
    CloseAfterFailure(ch, desc);
    return;
  }
  SOCKET_LOG(5, "TryReceive (%d): received %d bytes", ch, n);
  desc.received.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
  ChannelSink sink{ch, desc.udata};
  if (CutPackets(desc.recvbuf, std::string_view(chunk, static_cast<std::size_t>(n)), kMaxPacket, QueuePacket,
                 &sink) != TFraming::kOk) {
    SOCKET_LOG(2, "TryReceived (%d): received something strange - closing socket", ch);
    desc.recvbuf.clear();
    desc.recvbuf.shrink_to_fit();
    CloseAfterFailure(ch, desc);
    return;
  }
  SOCKET_LOG(6, "Exiting: TryReceive (channel=%d)", ch);
}

void ReceiveRestThenClose(std::int32_t ch) {
  TSocketDesc* desc = sockdata[ch];
  if (desc && alive[ch] && !mustdie[ch] && !(desc->flags & sfListening)) {
    // Stops when a read brings nothing new: would block, the peer's close, or the watermark.
    for (;;) {
      const std::uint64_t before = desc->received;
      ChannelWork.load(std::memory_order_acquire)->TryReceive(ch);
      if (!alive[ch] || desc->received == before) break;
    }
  }
  DoFatalClose(ch);
}

}  // namespace lumarix::socklib
