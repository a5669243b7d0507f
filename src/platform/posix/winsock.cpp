// Windows Sockets 1.1 on POSIX: start-up, TCP sockets over file descriptors, and WSAAsyncSelect
// with one epoll poller thread that posts each socket's events to its registered window.
//
// WinSock's event rules, which the poller keeps exactly (as Wine does):
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
// - accept passes over a connection that failed while it waited (Linux reports its network
//   error from accept, which Windows never does) and takes the next one, or would block.
// - Messages go through PostMessageA; a window that is gone loses them silently.
//
// The poller watches each registered socket with EPOLLONESHOT and re-arms it only for the
// events still enabled, so a condition that persists is never posted twice: EPOLLIN while
// FD_READ (or FD_ACCEPT on a listener) is enabled, EPOLLOUT while FD_WRITE is, EPOLLRDHUP while
// FD_CLOSE is due. The re-enabling calls re-arm it. Whether data is waiting is told by a
// one-byte peek, which also sees the peer's close once the data is read; a reset is told by
// the socket's pending error, before any data still buffered; the error so taken is kept for
// recv, since reading the pending error clears it. A wake-up that changes nothing re-arms
// nothing, so a lasting hang-up cannot spin the poller.
//
// Other Windows behaviour kept here: getsockname of an unbound socket fails with WSAEINVAL;
// send and recv take no flags (WSAEOPNOTSUPP); gethostbyname gives IPv4 addresses only, in a
// per-thread hostent as Windows does; inet_ntoa's text is per thread too. SO_REUSEADDR, the one
// socket option, keeps its POSIX meaning (binding past TIME_WAIT), not Windows' (sharing a port
// in use), which is what a server that restarts on its port needs.

#include "platform/posix/c_library.h"

#include "kept_alive.h"
#include "platform/posix/handles.h"
#include "platform/posix/testing.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace win32 {
namespace {

std::mutex startupLock;
int startupCount = 0;
int startupFailures = 0;
int startupFailureCode = 0;
std::atomic<int> acceptFailures{0};
std::atomic<int> acceptFailureErrno{0};
int cleanupFailures = 0;
int cleanupFailureCode = 0;

int WsaError(int error) {
  switch (error) {
    case EBADF: return WSAENOTSOCK;
    case EINTR: return WSAEINTR;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ENOTCONN: return WSAENOTCONN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EACCES: return WSAEACCES;
    case EALREADY: return WSAEALREADY;
    case EISCONN: return WSAEISCONN;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case ENOTSOCK: return WSAENOTSOCK;
    default: return WSAEINVAL;
  }
}

int Fail(int wsaError) {
  SetLastError(static_cast<DWORD>(wsaError));
  return SOCKET_ERROR;
}

// Errors of a connection that failed while it waited to be accepted: the listener is fine
// (accept(2) asks to retry after them).
bool IsFailedWaitingConnection(int error) {
  switch (error) {
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH: return true;
    default: return false;
  }
}

// accept4, or a failure the tests asked for.
int AcceptOnce(int fd, ::sockaddr_in& peer) {
  for (int left = acceptFailures.load(); left > 0; left = acceptFailures.load()) {
    if (acceptFailures.compare_exchange_weak(left, left - 1)) {
      errno = acceptFailureErrno.load();
      return -1;
    }
  }
  socklen_t length = sizeof peer;
  return ::accept4(fd, reinterpret_cast<::sockaddr*>(&peer), &length, SOCK_CLOEXEC);
}

bool Started() {
  std::lock_guard guard(startupLock);
  if (startupCount > 0) return true;
  SetLastError(WSANOTINITIALISED);
  return false;
}

// A registration as an accepted socket inherits it from its listener.
struct Registration {
  HWND window = nullptr;
  UINT message = 0;
  LONG events = 0;
  bool nonBlocking = false;
};

class Socket : public posix::HandleObject {
 public:
  Socket(int fd, bool connected) : fd_(fd), connected_(connected) {}

  bool Close() override;

  // The descriptor for one call made without the lock, so that a blocking call never holds
  // up the poller; -1 once closed.
  int Fd() {
    std::lock_guard guard(lock_);
    return fd_;
  }

  int SetNonBlocking(bool on) {
    std::lock_guard guard(lock_);
    if (!on && events_ != 0) return Fail(WSAEINVAL);
    if (!SetFlag(on)) return Fail(WsaError(errno));
    nonBlocking_ = on;
    return 0;
  }

  int Register(SOCKET self, const Registration& registration);
  Registration Inherited() {
    std::lock_guard guard(lock_);
    return {window_, message_, events_, nonBlocking_};
  }
  // The re-enabling call for `event` (FD_READ, FD_WRITE or FD_ACCEPT) was made.
  void Reenable(SOCKET self, LONG event);
  void Listening(SOCKET self);
  void Connecting(SOCKET self, bool pending);
  void OnReady(SOCKET self, std::uint32_t ready);
  // Taken under the lock, so that an error the poller is taking now is seen once it is kept.
  int Broken() {
    std::lock_guard guard(lock_);
    return broken_;
  }

 private:
  enum class Input { kData, kNone, kEnd };

  bool SetFlag(bool nonBlocking) {
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0) return false;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd_, F_SETFL, flags) == 0;
  }
  bool IsConnected() const {
    ::sockaddr_in peer{};
    socklen_t length = sizeof peer;
    return ::getpeername(fd_, reinterpret_cast<::sockaddr*>(&peer), &length) == 0;
  }
  void Post(SOCKET self, LONG event, int error) {
    PostMessageA(window_, message_, self, static_cast<LPARAM>(static_cast<DWORD>(event) | (static_cast<DWORD>(error) << 16)));
  }
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
  void Rearm(SOCKET self);

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
  // The reset or abort (a WinSock code) that the poller took from the socket, 0 while none.
  int broken_ = 0;
};

class Poller {
 public:
  static Poller& Instance() {
    static lumarix::KeptAlive<Poller> poller;  // runs until the process ends
    return *poller;
  }

  void Watch(SOCKET s, int fd, std::uint32_t interest, bool& watched) {
    epoll_event event{};
    event.events = interest | EPOLLONESHOT;
    event.data.u64 = s;
    if (::epoll_ctl(epoll_, watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0) watched = true;
  }

  void Forget(int fd, bool& watched) {
    if (watched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    watched = false;
  }

 private:
  friend class lumarix::KeptAlive<Poller>;
  Poller() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    std::thread([this] { Run(); }).detach();
  }

  void Run() {
    epoll_event events[32];
    for (;;) {
      int count = ::epoll_wait(epoll_, events, 32, -1);
      for (int i = 0; i < count; ++i) {
        SOCKET s = static_cast<SOCKET>(events[i].data.u64);
        auto socket = std::dynamic_pointer_cast<Socket>(posix::LookupHandle(reinterpret_cast<HANDLE>(s)));
        if (socket) socket->OnReady(s, events[i].events);
      }
    }
  }

  int epoll_;
};

bool Socket::Close() {
  std::lock_guard guard(lock_);
  Poller::Instance().Forget(fd_, watched_);
  bool closed = ::close(fd_) == 0;
  fd_ = -1;
  return closed;
}

int Socket::Register(SOCKET self, const Registration& registration) {
  std::lock_guard guard(lock_);
  if (fd_ < 0) return Fail(WSAENOTSOCK);
  if (!nonBlocking_ && !SetFlag(true)) return Fail(WsaError(errno));
  nonBlocking_ = true;
  window_ = registration.window;
  message_ = registration.message;
  events_ = registration.events;
  enabled_ = FD_READ | FD_WRITE | FD_ACCEPT;
  closeAfterData_ = false;
  closePosted_ = false;
  connected_ = connected_ || IsConnected();
  Rearm(self);
  return 0;
}

void Socket::Reenable(SOCKET self, LONG event) {
  std::lock_guard guard(lock_);
  if (fd_ < 0) return;
  enabled_ |= event;
  if (event == FD_READ) {
    closeAfterData_ = false;
    RepostWaitingData(self);
  }
  Rearm(self);
}

// Data still waiting after a recv is posted by the recv itself, as Windows does, rather than
// by a round through the poller: a stream read in chunks then costs no thread switch a chunk.
void Socket::RepostWaitingData(SOCKET self) {
  if (!connected_ || inputEnded_ || !(events_ & enabled_ & FD_READ)) return;
  // Counting the bytes, unlike a peek, leaves a reset's pending error for the poller to report.
  int waiting = 0;
  if (::ioctl(fd_, posix::kBytesWaiting, &waiting) == 0 && waiting > 0 && Take(FD_READ)) Post(self, FD_READ, 0);
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
  return ::getsockopt(fd_, posix::kSocketLevel, SO_ERROR, &pending, &length) == 0 ? pending : errno;
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
  if (fd_ < 0) return;
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
  // that a condition no event reports (a hang-up, say) cannot wake the poller again and again.
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

void Socket::Rearm(SOCKET self) {
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
  if (interest) {
    Poller::Instance().Watch(self, fd_, interest, watched_);
  } else {
    Poller::Instance().Forget(fd_, watched_);
  }
}

std::shared_ptr<Socket> SocketOf(SOCKET s) {
  auto socket = std::dynamic_pointer_cast<Socket>(posix::LookupHandle(reinterpret_cast<HANDLE>(s)));
  if (!socket) SetLastError(WSAENOTSOCK);
  return socket;
}

// The socket and its descriptor for one call, with the last error set when there is none.
std::shared_ptr<Socket> Usable(SOCKET s, int& fd) {
  if (!Started()) return nullptr;
  auto socket = SocketOf(s);
  if (!socket) return nullptr;
  fd = socket->Fd();
  if (fd < 0) {
    SetLastError(WSAENOTSOCK);
    return nullptr;
  }
  return socket;
}

SOCKET Insert(int fd, bool connected = false) {
  return reinterpret_cast<SOCKET>(posix::InsertHandle(std::make_shared<Socket>(fd, connected)));
}

// Windows' address into the C library's; a WinSock error code, or 0.
int ToPosix(const sockaddr* name, int nameLength, ::sockaddr_in& address) {
  if (!name || nameLength < static_cast<int>(sizeof(sockaddr_in))) return WSAEFAULT;
  sockaddr_in windows;
  std::memcpy(&windows, name, sizeof windows);
  if (windows.sin_family != AF_INET) return WSAEAFNOSUPPORT;
  address = {};
  address.sin_family = PF_INET;
  address.sin_port = windows.sin_port;
  address.sin_addr.s_addr = windows.sin_addr.S_un.S_addr;
  return 0;
}

int FromPosix(const ::sockaddr_in& address, sockaddr* name, int* nameLength) {
  if (!name) return 0;
  if (!nameLength || *nameLength < static_cast<int>(sizeof(sockaddr_in))) return WSAEFAULT;
  sockaddr_in windows{};
  windows.sin_family = AF_INET;
  windows.sin_port = address.sin_port;
  windows.sin_addr.S_un.S_addr = address.sin_addr.s_addr;
  std::memcpy(name, &windows, sizeof windows);
  *nameLength = sizeof windows;
  return 0;
}

// gethostbyname's result, one per thread as on Windows.
struct HostEntry {
  std::string name;
  std::vector<std::array<char, 4>> addresses;
  std::vector<char*> addressList;
  char* aliases[1] = {nullptr};
  hostent entry{};
};

int LookupError(int error) {
  switch (error) {
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
      return WSAHOST_NOT_FOUND;
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
  }
}

}  // namespace

int WSAStartup(WORD versionRequested, LPWSADATA data) {
  std::lock_guard guard(startupLock);
  if (startupFailures > 0) {
    --startupFailures;
    return startupFailureCode;
  }
  if (!data) return WSAEFAULT;
  std::memset(data, 0, sizeof *data);
  data->wHighVersion = MAKEWORD(1, 1);
  if (LOBYTE(versionRequested) == 0) return WSAVERNOTSUPPORTED;
  data->wVersion = LOBYTE(versionRequested) > 1 || HIBYTE(versionRequested) > 1 ? MAKEWORD(1, 1) : versionRequested;
  std::strcpy(data->szDescription, "WinSock 1.1 over POSIX sockets");
  std::strcpy(data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65467;
  ++startupCount;
  return 0;
}

int WSACleanup() {
  std::lock_guard guard(startupLock);
  if (cleanupFailures > 0) {
    --cleanupFailures;
    return Fail(cleanupFailureCode);
  }
  if (startupCount == 0) return Fail(WSANOTINITIALISED);
  --startupCount;
  return 0;
}

int WSAGetLastError() { return static_cast<int>(GetLastError()); }

SOCKET socket(int af, int type, int protocol) {
  if (!Started()) return INVALID_SOCKET;
  if (af != AF_INET) return SetLastError(WSAEAFNOSUPPORT), INVALID_SOCKET;
  if (type != SOCK_STREAM) return SetLastError(WSAESOCKTNOSUPPORT), INVALID_SOCKET;
  if (protocol != 0 && protocol != IPPROTO_TCP) return SetLastError(WSAEPROTONOSUPPORT), INVALID_SOCKET;
  int fd = ::socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return SetLastError(static_cast<DWORD>(WsaError(errno))), INVALID_SOCKET;
  return Insert(fd);
}

int closesocket(SOCKET s) {
  if (!Started()) return SOCKET_ERROR;
  if (!SocketOf(s)) return SOCKET_ERROR;
  auto object = posix::RemoveHandle(reinterpret_cast<HANDLE>(s));
  if (!object) return Fail(WSAENOTSOCK);
  return object->Close() ? 0 : Fail(WSAENOTSOCK);
}

int ioctlsocket(SOCKET s, LONG command, u_long* argument) {
  if (!Started()) return SOCKET_ERROR;
  auto socket = SocketOf(s);
  if (!socket) return SOCKET_ERROR;
  if (command != FIONBIO) return Fail(WSAEINVAL);
  if (!argument) return Fail(WSAEFAULT);
  return socket->SetNonBlocking(*argument != 0);
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT message, LONG events) {
  if (!Started()) return SOCKET_ERROR;
  auto socket = SocketOf(s);
  if (!socket) return SOCKET_ERROR;
  if (events & ~(FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE)) return Fail(WSAEINVAL);
  return socket->Register(s, {window, message, events, true});
}

int bind(SOCKET s, const sockaddr* name, int nameLength) {
  int fd;
  if (!Usable(s, fd)) return SOCKET_ERROR;
  ::sockaddr_in address;
  if (int error = ToPosix(name, nameLength, address)) return Fail(error);
  if (::bind(fd, reinterpret_cast<::sockaddr*>(&address), sizeof address) != 0) return Fail(WsaError(errno));
  return 0;
}

int listen(SOCKET s, int backlog) {
  int fd;
  auto socket = Usable(s, fd);
  if (!socket) return SOCKET_ERROR;
  if (::listen(fd, backlog < 1 ? 1 : backlog) != 0) return Fail(WsaError(errno));
  socket->Listening(s);
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* address, int* addressLength) {
  int fd;
  auto socket = Usable(s, fd);
  if (!socket) return INVALID_SOCKET;
  if (address && (!addressLength || *addressLength < static_cast<int>(sizeof(sockaddr_in)))) {
    return SetLastError(WSAEFAULT), INVALID_SOCKET;
  }
  ::sockaddr_in peer{};
  int accepted = AcceptOnce(fd, peer);
  while (accepted < 0 && IsFailedWaitingConnection(errno)) accepted = AcceptOnce(fd, peer);
  int error = accepted < 0 ? WsaError(errno) : 0;
  socket->Reenable(s, FD_ACCEPT);
  if (accepted < 0) return SetLastError(static_cast<DWORD>(error)), INVALID_SOCKET;
  SOCKET child = Insert(accepted, true);
  // As on Windows the new socket has its listener's registration and blocking mode.
  Registration inherited = socket->Inherited();
  auto childSocket = SocketOf(child);
  if (inherited.events != 0) {
    childSocket->Register(child, inherited);
  } else if (inherited.nonBlocking) {
    childSocket->SetNonBlocking(true);
  }
  FromPosix(peer, address, addressLength);
  return child;
}

int connect(SOCKET s, const sockaddr* name, int nameLength) {
  int fd;
  auto socket = Usable(s, fd);
  if (!socket) return SOCKET_ERROR;
  ::sockaddr_in address;
  if (int error = ToPosix(name, nameLength, address)) return Fail(error);
  // Linux takes the any-address for the local host; Windows refuses it as a peer.
  if (address.sin_addr.s_addr == 0) return Fail(WSAEADDRNOTAVAIL);
  if (::connect(fd, reinterpret_cast<::sockaddr*>(&address), sizeof address) == 0) {
    socket->Connecting(s, false);
    return 0;
  }
  if (errno == EINPROGRESS) {
    socket->Connecting(s, true);
    return Fail(WSAEWOULDBLOCK);
  }
  return Fail(WsaError(errno));
}

int send(SOCKET s, const char* buffer, int length, int flags) {
  int fd;
  auto socket = Usable(s, fd);
  if (!socket) return SOCKET_ERROR;
  if (flags != 0) return Fail(WSAEOPNOTSUPP);
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  ssize_t sent = ::send(fd, buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  if (sent >= 0) return static_cast<int>(sent);
  int error = WsaError(errno);
  // Only a send that would block brings FD_WRITE back, once there is room again.
  if (error == WSAEWOULDBLOCK) socket->Reenable(s, FD_WRITE);
  return Fail(error);
}

int recv(SOCKET s, char* buffer, int length, int flags) {
  int fd;
  auto socket = Usable(s, fd);
  if (!socket) return SOCKET_ERROR;
  if (flags != 0) return Fail(WSAEOPNOTSUPP);
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  ssize_t received = ::recv(fd, buffer, static_cast<std::size_t>(length), 0);
  int error = received < 0 ? WsaError(errno) : 0;
  // The poller may have taken a reset's error already: the end of the data is that reset.
  if (received == 0) {
    if (int broken = socket->Broken()) {
      received = -1;
      error = broken;
    }
  }
  socket->Reenable(s, FD_READ);
  return received >= 0 ? static_cast<int>(received) : Fail(error);
}

int getsockname(SOCKET s, sockaddr* name, int* nameLength) {
  int fd;
  if (!Usable(s, fd)) return SOCKET_ERROR;
  if (!name) return Fail(WSAEFAULT);
  ::sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<::sockaddr*>(&address), &length) != 0) return Fail(WsaError(errno));
  // Windows refuses the name of a socket that is not bound yet.
  if (address.sin_port == 0 && address.sin_addr.s_addr == 0) return Fail(WSAEINVAL);
  if (int error = FromPosix(address, name, nameLength)) return Fail(error);
  return 0;
}

int setsockopt(SOCKET s, int level, int option, const char* value, int valueLength) {
  int fd;
  if (!Usable(s, fd)) return SOCKET_ERROR;
  if (level != SOL_SOCKET || option != SO_REUSEADDR) return Fail(WSAENOPROTOOPT);
  if (!value || valueLength < static_cast<int>(sizeof(int))) return Fail(WSAEFAULT);
  int on;
  std::memcpy(&on, value, sizeof on);
  on = on != 0;
  if (::setsockopt(fd, posix::kSocketLevel, posix::kReuseAddress, &on, sizeof on) != 0) return Fail(WsaError(errno));
  return 0;
}

hostent* gethostbyname(const char* name) {
  if (!Started()) return nullptr;
  if (!name) return SetLastError(WSAEFAULT), nullptr;
  ::addrinfo hints{};
  hints.ai_family = PF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  ::addrinfo* found = nullptr;
  if (int error = ::getaddrinfo(name, nullptr, &hints, &found)) return SetLastError(static_cast<DWORD>(LookupError(error))), nullptr;
  thread_local HostEntry host;
  host.name = found->ai_canonname ? found->ai_canonname : name;
  host.addresses.clear();
  for (::addrinfo* each = found; each; each = each->ai_next) {
    std::array<char, 4> bytes;
    std::memcpy(bytes.data(), &reinterpret_cast<::sockaddr_in*>(each->ai_addr)->sin_addr, 4);
    if (std::find(host.addresses.begin(), host.addresses.end(), bytes) == host.addresses.end()) host.addresses.push_back(bytes);
  }
  ::freeaddrinfo(found);
  host.addressList.clear();
  for (auto& bytes : host.addresses) host.addressList.push_back(bytes.data());
  host.addressList.push_back(nullptr);
  host.entry = {host.name.data(), host.aliases, static_cast<short>(AF_INET), 4, host.addressList.data()};
  return &host.entry;
}

std::uint32_t inet_addr(const char* text) {
  ::in_addr address{};
  if (!text || !*text || ::inet_aton(text, &address) == 0) return INADDR_NONE;
  return address.s_addr;
}

char* inet_ntoa(in_addr address) {
  thread_local char text[16];
  const auto& bytes = address.S_un.S_un_b;
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes.s_b1, bytes.s_b2, bytes.s_b3, bytes.s_b4);
  return text;
}

std::uint32_t htonl(std::uint32_t value) { return ::htonl(value); }
std::uint32_t ntohl(std::uint32_t value) { return ::ntohl(value); }
u_short htons(u_short value) { return ::htons(value); }
u_short ntohs(u_short value) { return ::ntohs(value); }

namespace testing {

void FailWSAStartup(int error, int times) {
  std::lock_guard guard(startupLock);
  startupFailureCode = error;
  startupFailures = times;
}

void FailWSACleanup(int error, int times) {
  std::lock_guard guard(startupLock);
  cleanupFailureCode = error;
  cleanupFailures = times;
}

void FailAccept(int posixError, int times) {
  acceptFailureErrno = posixError;
  acceptFailures = times;
}

bool ConnectedPair(SOCKET& first, SOCKET& second) {
  int listener = ::socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ::sockaddr_in address{};
  address.sin_family = PF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bool ready = listener >= 0 && ::bind(listener, reinterpret_cast<::sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(listener, 1) == 0 &&
               ::getsockname(listener, reinterpret_cast<::sockaddr*>(&address), &length) == 0;
  int client = ready ? ::socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  ready = client >= 0 && ::connect(client, reinterpret_cast<::sockaddr*>(&address), sizeof address) == 0;
  int server = ready ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  if (listener >= 0) ::close(listener);
  if (server < 0) {
    if (client >= 0) ::close(client);
    return false;
  }
  first = Insert(client, true);
  second = Insert(server, true);
  return true;
}

}  // namespace testing
}  // namespace win32
