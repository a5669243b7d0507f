// Internal: the sockets a thread's message queue waits for.
//
// On Windows the network stack posts a socket's events straight into the message queue of the
// thread that owns the registered window. Here that thread does the waiting itself: GetMessageA,
// when no message passes its filter, waits for its queue's sockets and for posts from other
// threads at once, and turns a socket's readiness into the posted events on the spot, so an
// event costs no thread between the socket and the window (window.cpp). The event state and
// its rules stay in async_select.cpp, which reaches the waiting only through SocketWaits.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/posix/c_library.h"

namespace win32::posix {

// One thread's epoll set of sockets, plus a wake-up descriptor for posts from other threads.
// Watch and Forget may be called from any thread; Wait only by the owning thread. Sockets keep
// the set they are watched in, so it outlives its thread while a socket still refers to it.
class SocketWaits {
 public:
  SocketWaits();
  ~SocketWaits();
  SocketWaits(const SocketWaits&) = delete;
  SocketWaits& operator=(const SocketWaits&) = delete;

  // Waits once (EPOLLONESHOT) for `interest`, epoll events, on the socket's descriptor.
  void Watch(SOCKET s, int fd, std::uint32_t interest, bool& watched);
  // Stops waiting for the descriptor.
  void Forget(int fd, bool& watched);

  // Waits up to `milliseconds` (-1: until a socket is ready or Wake is called; 0 only looks)
  // and returns how many sockets were found ready. The owning thread only.
  int Wait(int milliseconds);
  // Hands the `count` sockets the last Wait found to OnSocketReady. The owning thread only.
  void HandReady(int count);
  // Ends a Wait in progress, or the next one, from any thread.
  void Wake();

 private:
  static constexpr int kMostReady = 32;
  // The wake-up's tag in the epoll set: no socket handle is 0.
  static constexpr std::uint64_t kWakeUp = 0;

  int epoll_;
  int wake_;
  epoll_event ready_[kMostReady];
};

// The socket waits of the thread that owns `window`; null when the window is no window or
// belongs to no thread of this process (the desktop).
std::shared_ptr<SocketWaits> SocketWaitsOf(HWND window);

// The event state's side (async_select.cpp): the socket `s` is ready for `ready`, epoll events.
void OnSocketReady(SOCKET s, std::uint32_t ready);

}  // namespace win32::posix
