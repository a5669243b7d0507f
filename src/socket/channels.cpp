// The channel table: 512 channels, their records, reference counts and state flags.
//
// One lock makes IncRef, DecRef and the allocation safe against each other: the library thread
// holds references while it works and GetNewChannel probes channels by taking one, so without
// it a release and a probe could interleave.

#include <mutex>

#include "LumarixUtil.h"
#include "kept_alive.h"
#include "socket/internal.h"

namespace lumarix {
namespace socklib {

std::array<std::atomic<TSocketDesc*>, kChannelCount> sockdata{};
std::array<std::atomic<std::int32_t>, kChannelCount> refcnt{};
std::array<std::atomic<bool>, kChannelCount> alive{};
std::array<std::atomic<bool>, kChannelCount> mustdie{};

namespace {

std::recursive_mutex& TableLock() {
  static KeptAlive<std::recursive_mutex> lock;  // channels may be released on exit paths
  return *lock;
}

bool IsChannel(std::int32_t ch) { return ch >= 0 && ch < kChannelCount; }

// Marks the channel dead and disposes of its record, closing the socket if it still owns it.
void Release(std::int32_t ch) {
  alive[ch] = false;
  mustdie[ch] = true;
  TSocketDesc* desc = sockdata[ch];
  if (!desc) {
    SOCKET_LOG(3, "Channel %d is already closed", ch);
    return;
  }
  if (desc->ownsSocket) closesocket(desc->sock);
  SOCKET_LOG(3, "Channel %d socket %d is closed", ch, static_cast<int>(desc->sock));
  sockdata[ch] = nullptr;
  delete desc;
}

// False for a free channel, whose count is then set to 0: under the lock of IncRef and
// DecRef, so that an allocation between the test and the write cannot lose its reference.
bool IsHeld(std::int32_t ch) {
  std::lock_guard guard(TableLock());
  if (refcnt[ch] > 0) return true;
  SOCKET_LOG(3, "ERROR: Closing channel %d with refcnt %d", ch, refcnt[ch].load());
  refcnt[ch] = 0;
  return false;
}

}  // namespace

void IncRef(std::int32_t ch) {
  std::lock_guard guard(TableLock());
  SOCKET_LOG(6, "Incrementing reference counter of channel %d, which is equal to %d", ch, refcnt[ch].load());
  ++refcnt[ch];
}

void DecRef(std::int32_t ch) {
  std::lock_guard guard(TableLock());
  SOCKET_LOG(6, "Decrementing reference counter of channel %d, which is equal to %d", ch, refcnt[ch].load());
  if (refcnt[ch] == 1) Release(ch);
  if (--refcnt[ch] < 0) {
    SOCKET_LOG(1, "ERROR: Channel %d has negative refcnt %d", ch, refcnt[ch].load());
    ErrorFileLine("Socket library error: attempting to decrement refcnt<=0\r\n");
    refcnt[ch] = 0;
  }
}

std::int32_t GetNewChannel() {
  SOCKET_LOG(3, "GetNewChannel request received");
  std::lock_guard guard(TableLock());
  for (std::int32_t ch = 0; ch < kChannelCount; ++ch) {
    IncRef(ch);
    if (refcnt[ch] == 1) {
      SOCKET_LOG(3, "Allocated channel %d", ch);
      return ch;
    }
    DecRef(ch);
  }
  SOCKET_LOG(2, "Channel allocation unsuccessful");
  return -1;
}

void DoFatalClose(std::int32_t ch) {
  alive[ch] = false;
  mustdie[ch] = true;
  SOCKET_LOG(3, "DoFatalClose (%d)", ch);
  TSocketDesc* desc = sockdata[ch];
  if (!desc || (desc->flags & sfClosed)) return;
  desc->flags |= sfClosed;
  auto* notice = new TUserMessage;
  notice->type = umClosed;
  notice->ch = ch;
  notice->udata = desc->udata;
  notice->newchannel = 0;
  PutUserMessage(NoticeQueue, notice);
  SOCKET_LOG(3, "DoFatalClose (%d) complete", ch);
}

}  // namespace socklib

using namespace socklib;

std::int32_t GetChannelAllocation(SOCKET sock, std::int32_t udata, const std::string& remote, bool listening) {
  SOCKET_LOG(3, "GetChannelAllocation for socket %d, udata %d, remote %s, listening=%d ", static_cast<int>(sock),
             udata, remote.c_str(), listening ? 1 : 0);
  std::int32_t ch = GetNewChannel();
  if (ch < 0) ch = GetNewChannel();
  if (ch < 0) return ch;
  if (sockdata[ch]) {
    ErrorFileLine("Socket library error: allocated channel with non-null sockdata\r\n");
    SOCKET_LOG(1, "FATAL: allocated channel with non-null sockdata");
    AssertionFailure(kAllocatedChannelHasRecord);
  }
  auto* desc = new TSocketDesc;
  desc->sock = sock;
  desc->udata = udata;
  desc->remote = remote;
  desc->flags = listening ? sfListening : 0;
  sockdata[ch] = desc;
  mustdie[ch] = false;
  alive[ch] = true;
  const LONG events = listening ? (FD_ACCEPT | FD_CLOSE) : (FD_READ | FD_CLOSE);
  if (WSAAsyncSelect(sock, SocketWindow, kSocketEvent + static_cast<UINT>(ch), events) != 0) {
    SOCKET_LOG(1, "ERROR: unable to set socket select mode");
    desc->ownsSocket = false;
    DecRef(ch);
    return -1;
  }
  PostToSocketWindow(kSocketAliveEvent + static_cast<UINT>(ch));
  return ch;
}

void CloseChannel(std::int32_t ch) {
  SOCKET_LOG(3, "Closing channel %d", ch);
  if (!IsChannel(ch)) return;
  if (!IsHeld(ch)) {
    ErrorFileLine("Socket library error: attempting to close refcnt=0\r\n");
    return;
  }
  mustdie[ch] = true;
  PostToSocketWindow(kSocketSendEvent + static_cast<UINT>(ch));
}

bool FreeChannel(std::int32_t& ch) {
  SOCKET_LOG(3, "Freeing channel %d", ch);
  bool freed = false;
  if (IsChannel(ch) && !alive[ch]) {
    const std::int32_t channel = ch;
    ch = -1;
    DecRef(channel);
    freed = true;
  }
  SOCKET_LOG(3, "Freeing channel result: %d", freed ? 1 : 0);
  return freed;
}

bool CloseChannelWithTimeout(std::int32_t& ch, std::uint32_t timeout) {
  SOCKET_LOG(3, "Closing channel %d with allowed timeout %d", ch, static_cast<int>(timeout));
  const std::uint32_t start = GetTickCount();
  LUMARIX_ASSERT(IsChannel(ch), kClosingNoChannel);
  TSocketDesc* desc = sockdata[ch];
  if (desc && (desc->flags & sfClosed)) {
    SOCKET_LOG(3, "Channel %d is already closed", ch);
    ch = -1;
    return true;
  }
  CloseChannel(ch);
  for (;;) {
    SOCKET_LOG(6, "Waiting for a message for closing channel %d", ch);
    if (TUserMessage* message = WaitMessage(100)) {
      SOCKET_LOG(6, "Received message, type %d", message->type);
      const bool closed = message->type == umClosed && message->ch == ch;
      FreeUserMessage(message);  // nobody else will see what arrives while closing
      if (closed) {
        FreeChannel(ch);  // frees it, since a closed channel is no longer alive, and sets ch to -1
        return true;
      }
    }
    if (TicksSince(start) > timeout) {
      SOCKET_LOG(3, "Timeout when closing channel %d", ch);
      return false;
    }
  }
}

}  // namespace lumarix
