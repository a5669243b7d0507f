// WSAAsyncSelect on POSIX: each socket's event state, which turns the socket's readiness into
// the events posted to the registered window. The waiting is done by the thread that owns that
// window, in GetMessageA (message_queue.h), as Windows delivers socket events into that
// thread's queue with no thread between.
//
// WinSock's event rules, which this file keeps exactly (as Wine does):
// - An event is posted once and not again until its re-enabling call: recv re-enables FD_READ,
//   send re-enables FD_WRITE, accept re-enables FD_ACCEPT, whether or not the call succeeds.
// - FD_READ and FD_ACCEPT are level-triggered after re-enabling: if data (or a connection) is
//   still waiting when the re-enabling call returns, the event is posted again.
// - FD_WRITE is posted when the socket is registered and writable, and afterwards only after a
//   send failed with WSAEWOULDBLOCK and room came back. A socket still connecting gets it once
//   the connection is made (after FD_CONNECT).
// - FD_CLOSE is posted once per registration, when the peer's close is seen and no unread
//   data is left (error 0), or at once on a reset or abort (WSAECONNRESET, WSAECONNABORTED). A
//   socket that was never connected gets none. A peer's close seen with data unread posts no
//   FD_READ of its own: the FD_READ of the data stands for it.
// - A reset keeps its error for the socket's calls: recv then fails with it, not with 0.
// - lParam is event | (error << 16); wParam is the socket.
// - A new WSAAsyncSelect replaces the old registration (window, message, event set) and arms
//   its events anew, FD_CLOSE included: a socket whose peer has closed gets FD_CLOSE again
//   under the new registration, even after a recv that gave 0; events 0 cancels. Registration
//   puts the socket in non-blocking mode, and ioctlsocket(FIONBIO, 0) is refused with
//   WSAEINVAL while events are registered.
// - A socket returned by accept has its listener's registration and blocking mode, so its
//   events may come before accept returns.
// - Messages go through PostMessageA; a window that is gone loses them silently.
//
// Each registered socket is watched in its window's thread's set with EPOLLONESHOT and re-armed
// only for the events still enabled, so a condition that persists is never posted twice:
// EPOLLIN while FD_READ (or FD_ACCEPT on a listener) is enabled, EPOLLOUT while FD_WRITE is,
// EPOLLRDHUP while FD_CLOSE is due. The re-enabling calls re-arm it. Whether data is waiting is
// told by a one-byte peek, which also sees the peer's close once the data is read; a reset is
// told by the socket's pending error, before any data still buffered; the error so taken is
// kept for recv, since reading the pending error clears it. A wake-up that changes nothing
// re-arms nothing, so a lasting hang-up cannot spin the waiting thread.
//
// A socket is watched in the set of the thread that owns its window at registration, and keeps
// that set while it is registered there: a window whose thread has ended loses the events, as
// it loses every post. The event state (the Socket members below) reaches the waiting only
// through SocketWaits, and the waiting reaches the state only through OnSocketReady.

#include "platform/posix/c_library.h"

#include <cerrno>

#include "platform/posix/message_queue.h"
#include "platform/posix/winsock_internal.h"

namespace win32::posix {

int Socket::SetNonBlocking(bool on) {
  std::lock_guard guard(lock_);
  if (!on && events_ != 0) return Fail(WSAEINVAL);
  if (!SetFlag(on)) return Fail(WsaError(errno));
  nonBlocking_ = on;
  return 0;
}

bool Socket::SetFlag(bool nonBlocking) {
  int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0) return false;
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd_, F_SETFL, flags) == 0;
}

bool Socket::IsConnected() const {
  ::sockaddr_in peer{};
  socklen_t length = sizeof peer;
  return ::getpeername(fd_, reinterpret_cast<::sockaddr*>(&peer), &length) == 0;
}

void Socket::Post(SOCKET self, LONG event, int error) {
  PostMessageA(window_, message_, self, static_cast<LPARAM>(static_cast<DWORD>(event) | (static_cast<DWORD>(error) << 16)));
}

bool Socket::Close() {
  std::lock_guard guard(lock_);
  Forget();
  bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return closed;
}

int Socket::Register(SOCKET self, const Registration& registration) {
  std::lock_guard guard(lock_);
  if (fd_ < 0) return Fail(WSAENOTSOCK);
  if (!nonBlocking_ && !SetFlag(true)) return Fail(WsaError(errno));
  nonBlocking_ = true;
  if (registration.window != window_) {
    Forget();
    waits_ = SocketWaitsOf(registration.window);
  }
  window_ = registration.window;
  message_ = registration.message;
  events_ = registration.events;
  enabled_ = FD_READ | FD_WRITE | FD_ACCEPT;
  closeAfterData_ = false;
  closePosted_ = false;
  connected_ = connected_ || IsConnected();
  Rearm(self);
  PostWhatIsReadyNow(self);
  return 0;
}

void Socket::Reenable(SOCKET self, LONG event, bool drained) {
  std::lock_guard guard(lock_);
  if (fd_ < 0) return;
  enabled_ |= event;
  if (event == FD_READ) {
    closeAfterData_ = false;
    if (!drained) RepostWaitingData(self);
  }
  Rearm(self);
}

// Data still waiting after a recv is posted by the recv itself, as Windows does, rather than
// by a round through the wait: a stream read in chunks then costs no wait a chunk. A recv that
// took less than it asked for left nothing; what comes after it, the re-armed wait reports.
void Socket::RepostWaitingData(SOCKET self) {
  if (!connected_ || inputEnded_ || !(events_ & enabled_ & FD_READ)) return;
  // Counting the bytes, unlike a peek, leaves a reset's pending error for the wait to report.
  int waiting = 0;
  if (::ioctl(fd_, kBytesWaiting, &waiting) == 0 && waiting > 0 && Take(FD_READ)) Post(self, FD_READ, 0);
}

void Socket::Listening(SOCKET self) {
  std::lock_guard guard(lock_);
  if (fd_ < 0) return;
  listening_ = true;
  Rearm(self);
}

void Socket::Connecting(SOCKET self, bool pending) {
  std::lock_guard guard(lock_);
  if (fd_ < 0) return;
  connecting_ = pending;
  connected_ = !pending;
  Rearm(self);
}

int Socket::SocketError() const {
  int pending = 0;
  socklen_t length = sizeof pending;
  return ::getsockopt(fd_, kSocketLevel, SO_ERROR, &pending, &length) == 0 ? pending : errno;
}

bool Socket::PendingError(int& error) {
  int pending = SocketError();
  if (pending == 0) return false;
  error = pending == ECONNRESET || pending == EPIPE ? WSAECONNRESET : WSAECONNABORTED;
  KeepBroken(error);
  return true;
}

// A peek that meets a reset takes its error as well; a close after one reports the reset.
Socket::Input Socket::Peek(int& error) {
  char byte;
  ssize_t peeked = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked > 0) return Input::kData;
  if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Input::kNone;
  error = peeked == 0 ? broken_ : errno == ECONNRESET ? WSAECONNRESET : WSAECONNABORTED;
  KeepBroken(error);
  return Input::kEnd;
}

void Socket::OnReady(SOCKET self, std::uint32_t ready) {
  std::lock_guard guard(lock_);
  if (fd_ >= 0) TakeReady(self, ready);
}

// What a registration finds ready is posted by the registering call itself, as Windows does:
// the events of a socket that has data waiting, or is writable, are in the queue when
// WSAAsyncSelect returns, ahead of anything posted after it.
void Socket::PostWhatIsReadyNow(SOCKET self) {
  static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLRDHUP == EPOLLRDHUP && POLLERR == EPOLLERR &&
                POLLHUP == EPOLLHUP);
  pollfd look{fd_, static_cast<short>(Interest()), 0};
  if (look.events != 0 && ::poll(&look, 1, 0) == 1) TakeReady(self, static_cast<std::uint16_t>(look.revents));
}

void Socket::TakeReady(SOCKET self, std::uint32_t ready) {
  bool changed = false;
  if (connecting_) {
    connecting_ = false;
    connected_ = IsConnected();
    changed = true;
    int error = connected_ ? 0 : SocketError();
    if (events_ & FD_CONNECT) Post(self, FD_CONNECT, connected_ ? 0 : error != 0 ? WsaError(error) : WSAECONNREFUSED);
  }
  if (listening_) {
    if ((ready & EPOLLIN) && Take(FD_ACCEPT)) {
      Post(self, FD_ACCEPT, 0);
      changed = true;
    }
  } else if (connected_) {
    changed = OnConnected(self, ready) || changed;
  }
  // A wake-up that changed nothing leaves the socket unwatched until the next call on it, so
  // that a condition no event reports (a hang-up, say) cannot wake its thread again and again.
  if (changed) Rearm(self);
}

bool Socket::OnConnected(SOCKET self, std::uint32_t ready) {
  bool changed = false;
  int error = 0;
  Input input = (ready & EPOLLERR) && PendingError(error) ? Input::kEnd : Peek(error);
  bool broken = input == Input::kEnd && error != 0;
  if ((ready & EPOLLOUT) && !broken && Take(FD_WRITE)) {
    Post(self, FD_WRITE, 0);
    changed = true;
  }
  if (input == Input::kData) {
    if (Take(FD_READ)) {
      Post(self, FD_READ, 0);
      changed = true;
    }
    if ((ready & (EPOLLRDHUP | EPOLLHUP)) && !closeAfterData_) closeAfterData_ = changed = true;
  } else if (input == Input::kEnd) {
    if (!inputEnded_) inputEnded_ = changed = true;
    if ((events_ & FD_CLOSE) && !closePosted_) {
      closePosted_ = true;
      Post(self, FD_CLOSE, error);
      changed = true;
    }
  }
  return changed;
}

std::uint32_t Socket::Interest() const {
  std::uint32_t interest = 0;
  LONG wanted = events_ & enabled_;
  if (listening_) {
    if (wanted & FD_ACCEPT) interest |= EPOLLIN;
  } else if (connecting_) {
    interest |= EPOLLOUT;
  } else if (connected_) {
    if ((wanted & FD_READ) && !inputEnded_) interest |= EPOLLIN;
    if (wanted & FD_WRITE) interest |= EPOLLOUT;
    if ((events_ & FD_CLOSE) && !closePosted_ && !closeAfterData_) interest |= EPOLLRDHUP;
  }
  return interest;
}

void Socket::Rearm(SOCKET self) {
  const std::uint32_t interest = Interest();
  if (interest && waits_) {
    waits_->Watch(self, fd_, interest, watched_);
  } else {
    Forget();
  }
}

void Socket::Forget() {
  if (waits_) waits_->Forget(fd_, watched_);
}

void OnSocketReady(SOCKET s, std::uint32_t ready) {
  if (auto socket = LookupAs<Socket>(reinterpret_cast<HANDLE>(s))) socket->OnReady(s, ready);
}

}  // namespace win32::posix
