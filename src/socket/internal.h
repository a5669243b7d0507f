// Internal to the socket library: the channel table, the user message queues, the library
// thread's window and its per-channel work, and the log.
#pragma once

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>

#include "LumarixSocket.h"

namespace lumarix::socklib {

// ---- Log (log.cpp) -------------------------------------------------------------------------
inline bool LogOn(std::int32_t threshold) { return LogLevel.load(std::memory_order_relaxed) >= threshold; }
void LogLine(const std::string& text);
void LogFmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ErrorFileLine(const char* text);
// Forgets the open log file and its name (library shutdown).
void ResetLog();
constexpr char kErrorFileName[] = "!!!socket_library_error.txt";

}  // namespace lumarix::socklib

// Formats and writes a library message only when its threshold is met: the arguments are not
// even evaluated otherwise.
#define SOCKET_LOG(threshold, ...) \
  (::lumarix::socklib::LogOn(threshold) ? ::lumarix::socklib::LogFmt(__VA_ARGS__) : static_cast<void>(0))

namespace lumarix::socklib {

constexpr char kModuleName[] = "LumarixSocket";

// The sites the library's assertion failures name: the first three are the ones its users
// know from its reports; the last, our own check of a caller, has a fixed one too.
constexpr TSourceSite kAllocatedChannelHasRecord{kModuleName, 317};
constexpr TSourceSite kSocketWindowNotMade{kModuleName, 1073};
constexpr TSourceSite kStrangeMessage{kModuleName, 1088};
constexpr TSourceSite kClosingNoChannel{kModuleName, 420};

// ---- Channel table (channels.cpp) ----------------------------------------------------------
constexpr std::uint32_t sfListening = 1;
constexpr std::uint32_t sfRecvPaused = 4;
constexpr std::uint32_t sfClosed = 8;

struct TSocketDesc {
  SOCKET sock = INVALID_SOCKET;
  std::int32_t udata = 0;
  std::atomic<std::uint32_t> flags{0};  // sfRecvPaused is read by the packets receive query
  std::string recvbuf;
  std::array<std::string, 8> sendq;
  // The application's thread writes slot se and then publishes se; the library thread sends
  // and empties slot sb and then publishes sb. Each acquires the other's index.
  std::atomic<std::int32_t> sb{0};
  std::atomic<std::int32_t> se{0};
  std::int32_t currentptr = 1;
  // Bytes read from the socket so far: the drain before a peer's close watches it for progress.
  std::atomic<std::uint64_t> received{0};
  std::string remote;
  // False once the socket was closed by the receive or accept path, or handed back to the
  // caller of a failed allocation: the release then leaves it alone.
  bool ownsSocket = true;
};

extern std::array<std::atomic<TSocketDesc*>, kChannelCount> sockdata;
extern std::array<std::atomic<std::int32_t>, kChannelCount> refcnt;
extern std::array<std::atomic<bool>, kChannelCount> alive;
extern std::array<std::atomic<bool>, kChannelCount> mustdie;

void IncRef(std::int32_t ch);
void DecRef(std::int32_t ch);
std::int32_t GetNewChannel();
void DoFatalClose(std::int32_t ch);

// ---- User message queues (queues.cpp) ------------------------------------------------------
constexpr std::int32_t kQueueSize = 1024;
constexpr std::int32_t kWatermark = 760;

struct TUserMessageQueue {
  std::atomic<std::int32_t> qb{0};
  std::atomic<std::int32_t> qe{0};
  std::array<TUserMessage*, kQueueSize> items{};
  HANDLE event = nullptr;

  bool IsEmpty() const;
  bool IsFull() const;
  bool AboveWatermark() const;
};

extern TUserMessageQueue NoticeQueue;
extern TUserMessageQueue ReceivedQueue;

void PutUserMessage(TUserMessageQueue& queue, TUserMessage* message);
TUserMessage* GetUserMessage(TUserMessageQueue& queue);
TUserMessage* TakeUserMessage();
std::string UserMessageLogText(const TUserMessage& message);
// Releases every record still queued (library shutdown: nobody will take them).
void DiscardQueuedMessages();

// ---- Library thread (thread.cpp) -----------------------------------------------------------
constexpr UINT kSocketEvent = 1690;        // + ch
constexpr UINT kSocketAliveEvent = 2202;   // + ch
constexpr UINT kSocketSendEvent = 2714;    // + ch
constexpr UINT kPacketsReceiveQuery = 3226;

extern std::atomic<HWND> SocketWindow;
void PostToSocketWindow(UINT message);

// The per-channel work of the library thread, called only on that thread. The dispatch goes
// through this table so that a test can watch which work a window message starts.
struct TChannelWork {
  void (*TryAccept)(std::int32_t ch);
  void (*TrySend)(std::int32_t ch);
  void (*TryReceive)(std::int32_t ch);
};
extern const TChannelWork kChannelWork;
extern std::atomic<const TChannelWork*> ChannelWork;

// ---- Data path (accept.cpp, send.cpp, receive.cpp) -----------------------------------------
void TryAccept(std::int32_t ch);
void TrySend(std::int32_t ch);
void TryReceive(std::int32_t ch);
// A peer's close: reads what the socket still holds, then ends the channel.
void ReceiveRestThenClose(std::int32_t ch);

constexpr std::size_t kReceiveChunk = 16384;
// A packet that reaches this many bytes without its end is refused: no peer can make the
// library hold more for one channel.
constexpr std::size_t kMaxPacket = 16777216;

// The receive framing: appends `chunk` to `recvbuf`, hands every packet it completes to
// `onPacket` in order and keeps the unfinished rest. Stops at the first packet that
// `onPacket` refuses (kRejected) or at a packet longer than `limit`, or a rest that reaches it
// (kTooLong); `recvbuf` is then left as it was cut so far.
enum class TFraming { kOk, kRejected, kTooLong };
using TPacketSink = bool (*)(void* context, std::string_view packet);
TFraming CutPackets(std::string& recvbuf, std::string_view chunk, std::size_t limit, TPacketSink onPacket,
                    void* context);

// Forgets the server file's name and the address read from it (library shutdown).
void ForgetServerFile();

// The port a listening channel is bound to (0 when `ch` is none): tests listen on port 0.
std::uint16_t ListeningPort(std::int32_t ch);
// The log form of a message: "name=value; " for each part, both through LogText.
std::string MessageLogText(const TMessagePart* parts);

}  // namespace lumarix::socklib
