// Internal: what the WinSock files share. The socket calls and their errors (winsock.cpp) work
// on a Socket, whose WSAAsyncSelect event state is in async_select.cpp; name lookup
// and byte order (protocol.cpp) need only the start-up check.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/posix/handles.h"

namespace win32::posix {

class SocketWaits;

// True once WSAStartup has succeeded and not been undone; otherwise false with
// WSANOTINITIALISED set.
bool Started();
// The WinSock code closest to an errno value.
int WsaError(int error);
// SetLastError(wsaError), SOCKET_ERROR.
int Fail(int wsaError);

// A registration as an accepted socket inherits it from its listener.
struct Registration {
  HWND window = nullptr;
  UINT message = 0;
  LONG events = 0;
  bool nonBlocking = false;
};

class Socket : public HandleObject {
 public:
  Socket(int fd, bool connected) : fd_(fd), connected_(connected) {}

  bool Close() override;

  // The descriptor for one call made without the lock, so that a blocking call never holds
  // up the events' delivery; -1 once closed.
  int Fd() {
    std::lock_guard guard(lock_);
    return fd_;
  }

  int SetNonBlocking(bool on);
  int Register(SOCKET self, const Registration& registration);
  Registration Inherited() {
    std::lock_guard guard(lock_);
    return {window_, message_, events_, nonBlocking_};
  }
  // The re-enabling call for `event` (FD_READ, FD_WRITE or FD_ACCEPT) was made; `drained`
  // when it was a recv that took less than it asked for, so that no data is left waiting.
  void Reenable(SOCKET self, LONG event, bool drained = false);
  void Listening(SOCKET self);
  void Connecting(SOCKET self, bool pending);
  // The socket was found ready for `ready`, epoll events, by its window's thread.
  void OnReady(SOCKET self, std::uint32_t ready);
  // Taken under the lock, so that an error the events' side is taking now is seen once kept.
  int Broken() {
    std::lock_guard guard(lock_);
    return broken_;
  }

 private:
  enum class Input { kData, kNone, kEnd };

  bool SetFlag(bool nonBlocking);
  bool IsConnected() const;
  void Post(SOCKET self, LONG event, int error);
  // Takes an event that is registered and enabled, disabling it until its re-enabling call.
  bool Take(LONG event) {
    if (!(events_ & enabled_ & event)) return false;
    enabled_ &= ~event;
    return true;
  }
  int SocketError() const;
  bool PendingError(int& error);
  Input Peek(int& error);
  void KeepBroken(int error) {
    if (error != 0) broken_ = error;
  }
  bool OnConnected(SOCKET self, std::uint32_t ready);
  void RepostWaitingData(SOCKET self);
  void TakeReady(SOCKET self, std::uint32_t ready);
  void PostWhatIsReadyNow(SOCKET self);
  // The epoll events the socket waits for while its registered events stand as they do.
  std::uint32_t Interest() const;
  void Rearm(SOCKET self);
  void Forget();

  std::mutex lock_;
  int fd_;
  HWND window_ = nullptr;
  UINT message_ = 0;
  LONG events_ = 0;
  LONG enabled_ = 0;  // registered data events not posted since their re-enabling call
  bool nonBlocking_ = false;
  bool listening_ = false;
  bool connecting_ = false;
  bool connected_;
  bool inputEnded_ = false;       // the peer's close or an error was read: no data will come
  bool closeAfterData_ = false;   // the peer closed with data unread: wait for recv
  bool closePosted_ = false;
  bool watched_ = false;
  std::shared_ptr<SocketWaits> waits_;  // where the socket is watched: its window's thread
  // The reset or abort (a WinSock code) taken from the socket by its events' side, 0 while none.
  int broken_ = 0;
};

}  // namespace win32::posix
