// The send path: SendMsg encodes on the application's thread and queues the packet in the
// channel's ring of 8 slots; TrySend, on the library thread, writes the queue to the socket
// until it is empty or the socket would block, and then waits for FD_WRITE (event set 35).
//
// No lock guards the ring: SendMsg writes only slot se and then se, TrySend only slot sb (it
// releases a sent packet's string at once), sb and currentptr.

#include <algorithm>

#include "LumarixUtil.h"
#include "socket/internal.h"

namespace lumarix {
namespace socklib {
namespace {

constexpr std::int32_t kSlots = 8;
constexpr std::size_t kMaxSend = 1048576;
constexpr LONG kReadEvents = FD_READ | FD_CLOSE;
constexpr LONG kWriteEvents = FD_READ | FD_WRITE | FD_CLOSE;

std::int32_t NextSlot(std::int32_t slot) { return slot == kSlots - 1 ? 0 : slot + 1; }

bool Selects(std::int32_t ch, const TSocketDesc& desc, LONG events) {
  return WSAAsyncSelect(desc.sock, SocketWindow, kSocketEvent + static_cast<UINT>(ch), events) == 0;
}

bool CanSendOn(std::int32_t ch) { return !mustdie[ch] && alive[ch] && sockdata[ch] != nullptr; }

bool Refuse(std::int32_t ch) {
  DecRef(ch);
  SOCKET_LOG(4, "Message sending at channel %d: error", ch);
  return false;
}

// The queue ran empty: the end of an orderly close, or back to read events only.
void OnQueueEmpty(std::int32_t ch, const TSocketDesc& desc) {
  SOCKET_LOG(7, "TrySend (%d): sb(%d)=se(%d), exiting", ch, desc.sb.load(), desc.se.load());
  if (mustdie[ch]) {
    DoFatalClose(ch);
  } else {
    SOCKET_LOG(7, "TrySend (%d): calling WSAAsyncSelect", ch);
    if (!Selects(ch, desc, kReadEvents)) DoFatalClose(ch);
    SOCKET_LOG(7, "TrySend (%d): after WSAAsyncSelect", ch);
  }
  SOCKET_LOG(6, "TrySend (%d): send queue is empty, exiting", ch);
}

void LogSent(std::int32_t ch, const std::string& packet, std::size_t from, int sent) {
  if (LogOn(6)) {
    SOCKET_LOG(6, "TrySend (%d): sent %d bytes: %s", ch, sent,
               LogText(std::string_view(packet).substr(from, static_cast<std::size_t>(sent))).c_str());
  } else {
    SOCKET_LOG(5, "TrySend (%d): sent %d bytes", ch, sent);
  }
}

// Offers the rest of slot sb once; false when TrySend must stop (would block, or failed).
bool SendSome(std::int32_t ch, TSocketDesc& desc) {
  const std::int32_t sb = desc.sb.load(std::memory_order_relaxed);
  std::string& packet = desc.sendq[static_cast<std::size_t>(sb)];
  const std::size_t length = packet.size();
  const std::size_t from = static_cast<std::size_t>(desc.currentptr - 1);
  const std::size_t offer = std::min(length - from, kMaxSend);
  const int sent = send(desc.sock, packet.data() + from, static_cast<int>(offer), 0);
  if (sent == SOCKET_ERROR) {
    SOCKET_LOG(7, "TrySend (%d): SOCKET_ERROR received (queue overflow? tried to send %d)", ch,
               static_cast<int>(offer));
    if (WSAGetLastError() != WSAEWOULDBLOCK || !Selects(ch, desc, kWriteEvents)) DoFatalClose(ch);
    return false;
  }
  LogSent(ch, packet, from, sent);
  desc.currentptr += sent;
  SOCKET_LOG(7, "Trysend (%d): now currentptr is %d, and length is %d", ch, desc.currentptr,
             static_cast<int>(length));
  if (static_cast<std::size_t>(desc.currentptr) > length + 1) SOCKET_LOG(2, "Trysend (%d): bytes counter mismatch", ch);
  if (static_cast<std::size_t>(desc.currentptr) > length) {
    SOCKET_LOG(4, "TrySend (%d): switching to next packet", ch);
    std::string().swap(packet);  // a sent packet's memory goes back at once
    desc.currentptr = 1;
    const std::int32_t next = NextSlot(sb);
    desc.sb.store(next, std::memory_order_release);
    if (next == desc.se.load(std::memory_order_acquire) && mustdie[ch]) DoFatalClose(ch);
  }
  return true;
}

}  // namespace

std::string MessageLogText(const TMessagePart* parts) {
  std::string text;
  for (const TMessagePart* part = parts; part; part = part->next) {
    text += LogText(part->name) + "=" + LogText(part->value) + "; ";
  }
  return text;
}

void TrySend(std::int32_t ch) {
  SOCKET_LOG(6, "Activated: TrySend (channel=%d)", ch);
  if (!alive[ch]) {
    SOCKET_LOG(4, "TrySend (%d): socket is not alive", ch);
    return;
  }
  TSocketDesc& desc = *sockdata[ch].load();
  if (desc.flags & sfListening) {
    // Nothing is ever queued on a listener: closing it ends it at once.
    if (mustdie[ch]) {
      DoFatalClose(ch);
    } else {
      SOCKET_LOG(2, "WARNING: TrySend for listening socket (%d) [previous instance?]", ch);
    }
    return;
  }
  for (;;) {
    if (desc.sb.load(std::memory_order_relaxed) == desc.se.load(std::memory_order_acquire)) {
      OnQueueEmpty(ch, desc);
      return;
    }
    if (!SendSome(ch, desc) || !alive[ch]) return;
    SOCKET_LOG(7, "TrySend (%d): repeating loop", ch);
  }
}

}  // namespace socklib

using namespace socklib;

bool SendMsg(std::int32_t ch, const TMessagePart* msg) {
  SOCKET_LOG(5, "Message sending requested at channel %d: %s", ch, MessageLogText(msg).c_str());
  if (ch < 0 || ch >= kChannelCount) return false;
  IncRef(ch);
  if (!CanSendOn(ch)) return Refuse(ch);
  SOCKET_LOG(7, "Before GatherMsg");
  std::string packet = GatherMsg(msg);
  SOCKET_LOG(7, "After GatherMsg");
  if (!CanSendOn(ch)) return Refuse(ch);
  TSocketDesc& desc = *sockdata[ch].load();
  const std::int32_t se = desc.se.load(std::memory_order_relaxed);
  if (NextSlot(se) == desc.sb.load(std::memory_order_acquire)) return Refuse(ch);
  desc.sendq[static_cast<std::size_t>(se)] = std::move(packet);
  desc.se.store(NextSlot(se), std::memory_order_release);
  SOCKET_LOG(7, "Before PostMessage");
  PostToSocketWindow(kSocketSendEvent + static_cast<UINT>(ch));
  SOCKET_LOG(7, "After PostMessage");
  DecRef(ch);
  SOCKET_LOG(4, "Message sending at channel %d: success", ch);
  return true;
}

}  // namespace lumarix
