// The socket library: numbered channels over non-blocking TCP sockets, served by one library
// thread that owns a hidden window, the records handed to the application, and the library log.
//
// The library starts and stops as LumarixSocketModule; the application only calls the
// operations below from its own (one) thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "LumarixModules.h"
#include "LumarixSocketStr.h"
#include "platform/winapi.h"

namespace lumarix {

// ---- Library log ---------------------------------------------------------------------------

// A text setting that both library threads read while a host program may assign it.
class TLogText {
 public:
  TLogText& operator=(std::string value);
  std::string Get() const;

 private:
  mutable std::mutex lock_;
  std::string value_;
};

// Verbosity 0..7; a message with threshold N is written when LogLevel is N or more.
extern std::atomic<std::int32_t> LogLevel;
// The log file; empty means none.
extern TLogText LogFileName;
// Also write every message, without time stamp, as a line on standard output.
extern std::atomic<bool> LogEcho;

// ---- Records for the application -----------------------------------------------------------

constexpr std::int32_t umMessage = 0;
constexpr std::int32_t umAccepted = 1;
constexpr std::int32_t umClosed = 2;

struct TUserMessage {
  std::int32_t type = umMessage;
  std::int32_t ch = -1;
  std::int32_t udata = 0;
  union {
    TMessagePart* parts;      // umMessage: the received message, never nil
    std::int32_t newchannel;  // umAccepted: the channel of the accepted connection
  };
  TUserMessage() : parts(nullptr) {}
};

// The next record, notices first; waits up to `milliseconds` (-1 without limit) when there is
// none. Nil when none came. The record and its parts then belong to the caller.
TUserMessage* WaitMessage(std::int32_t milliseconds);
// Releases a record taken from WaitMessage, with the message it carries.
void FreeUserMessage(TUserMessage*& message);

// ---- Channels ------------------------------------------------------------------------------

constexpr int kChannelCount = 512;

// Gives a connected (or, with `listening`, a bound and listening) socket a channel, held for
// the caller. On -1 the socket is still the caller's, who closes it.
std::int32_t GetChannelAllocation(SOCKET sock, std::int32_t udata, const std::string& remote, bool listening);
// Asks the library thread to send what is queued and then end the channel; does not wait.
void CloseChannel(std::int32_t ch);
// Gives up the opener's reference of a dead channel; sets `ch` to -1 on success.
bool FreeChannel(std::int32_t& ch);
// Closes the channel and waits for its end; true (and `ch` -1) when the end was confirmed.
// Records for the application that arrive meanwhile are discarded.
bool CloseChannelWithTimeout(std::int32_t& ch, std::uint32_t timeout);

// ---- Connecting, listening and sending -----------------------------------------------------

// Connects (blocking) to `host`, a dotted IPv4 address or a name to look up; the channel or -1.
std::int32_t ConnectByName(std::uint16_t port, std::int32_t udata, const std::string& host);
// Names the server file that ConnectViaFile reads; another name forgets the address read.
void SelectServerFileName(const std::string& name);
// Connects (blocking) to the address in the server file, read again only when its last-write
// time changes; the channel or -1.
std::int32_t ConnectViaFile(std::uint16_t port, std::int32_t udata);
// A channel listening on `address` (dotted IPv4) and `port`, whose connections come as
// umAccepted records; -1, with nothing left open, when that fails. `backlog` is how many
// connections the system may hold waiting for their accept; a server that expects a rush asks
// for hundreds, since the rest would be refused.
std::int32_t OpenListeningChannel(const std::string& address, std::uint16_t port, std::int32_t udata,
                                  int backlog = SOMAXCONN);
// Queues the message for sending on the channel; true when queued, never waits for the peer.
bool SendMsg(std::int32_t ch, const TMessagePart* msg);

extern const TModule LumarixSocketModule;

}  // namespace lumarix
