// Windows Sockets 1.1 on POSIX: start-up, TCP sockets over file descriptors, and WSAAsyncSelect
// with one epoll poller thread that posts each socket's events to its registered window.
//
// WinSock's event rules, which the poller keeps exactly (as Wine does):
// - An event is posted once and not again until its re-enabling call: recv re-enables FD_READ,
//   send re-enables FD_WRITE, accept re-enables FD_ACCEPT, whether or not the call succeeds.
// - FD_READ and FD_ACCEPT are level-triggered after re-enabling: if data (or a connection) is
//   still waiting when the re-enabling call returns, the event is posted again.
// - FD_WRITE is posted when the socket is registered and writable, and afterwards only after a
//   send failed with WSAEWOULDBLOCK and room came back.
// - FD_CLOSE is posted once per socket, when the peer's close is seen and no unread data is
//   left (error 0), or at once on a reset or abort (WSAECONNRESET, WSAECONNABORTED). A socket
//   that was never connected gets none.
// - lParam is event | (error << 16); wParam is the socket.
// - A new WSAAsyncSelect replaces the old registration (window, message, event set) and arms
//   its events anew; events 0 cancels. Registration puts the socket in non-blocking mode, and
//   ioctlsocket(FIONBIO, 0) is refused with WSAEINVAL while events are registered.
// - Messages go through PostMessageA; a window that is gone loses them silently.
//
// The poller watches each registered socket with EPOLLONESHOT and re-arms it only for the
// events still enabled, so a condition that persists is never posted twice. The data events
// (FD_READ, FD_WRITE, FD_ACCEPT) come with recv, send and accept; until then only FD_CLOSE is
// watched.

// Our declarations come first: the C library's AF_INET, SOCK_STREAM and IPPROTO_TCP are
// macros of the same values, which would otherwise break them.
#include "platform/posix/handles.h"
#include "platform/posix/testing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace win32 {
namespace {

std::mutex startupLock;
int startupCount = 0;
int startupFailures = 0;
int startupFailureCode = 0;
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
    default: return WSAEINVAL;
  }
}

int Fail(int wsaError) {
  SetLastError(static_cast<DWORD>(wsaError));
  return SOCKET_ERROR;
}

bool Started() {
  std::lock_guard guard(startupLock);
  if (startupCount > 0) return true;
  SetLastError(WSANOTINITIALISED);
  return false;
}

class Socket : public posix::HandleObject {
 public:
  explicit Socket(int fd) : fd_(fd) {}

  bool Close() override;

  int SetNonBlocking(bool on) {
    std::lock_guard guard(lock_);
    if (!on && events_ != 0) return Fail(WSAEINVAL);
    return SetFlag(on) ? 0 : Fail(WsaError(errno));
  }

  int Register(SOCKET self, HWND window, UINT message, LONG events);
  void OnReady(SOCKET self, std::uint32_t ready);

 private:
  bool SetFlag(bool nonBlocking) {
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0) return false;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd_, F_SETFL, flags) == 0;
  }
  bool IsConnected() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    return ::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) == 0;
  }
  void Post(SOCKET self, LONG event, int error) {
    PostMessageA(window_, message_, self, static_cast<LPARAM>(static_cast<DWORD>(event) | (static_cast<DWORD>(error) << 16)));
  }
  // The close state of a connected socket: -1 open (or data still unread), else the error.
  int CloseError() const;
  void Rearm(SOCKET self);

  std::mutex lock_;
  int fd_;
  HWND window_ = nullptr;
  UINT message_ = 0;
  LONG events_ = 0;
  bool connected_ = false;
  bool closePosted_ = false;
  bool watched_ = false;
};

class Poller {
 public:
  static Poller& Instance() {
    static Poller* poller = new Poller;  // runs until the process ends
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

int Socket::Register(SOCKET self, HWND window, UINT message, LONG events) {
  std::lock_guard guard(lock_);
  if (!SetFlag(true)) return Fail(WsaError(errno));
  window_ = window;
  message_ = message;
  events_ = events;
  connected_ = connected_ || IsConnected();
  Rearm(self);
  return 0;
}

int Socket::CloseError() const {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
    return error == ECONNRESET || error == EPIPE ? WSAECONNRESET : WSAECONNABORTED;
  }
  char byte;
  ssize_t peeked = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked == 0) return 0;
  if (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    return errno == ECONNRESET ? WSAECONNRESET : WSAECONNABORTED;
  }
  return -1;
}

void Socket::OnReady(SOCKET self, std::uint32_t ready) {
  std::lock_guard guard(lock_);
  if (fd_ < 0) return;
  if (!connected_) connected_ = IsConnected();
  if ((events_ & FD_CLOSE) && connected_ && !closePosted_ && (ready & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
    int error = CloseError();
    if (error >= 0) {
      closePosted_ = true;
      Post(self, FD_CLOSE, error);
    }
    // With data still unread the close waits for the reads that the FD_READ path makes.
    return;
  }
  Rearm(self);
}

void Socket::Rearm(SOCKET self) {
  std::uint32_t interest = 0;
  if ((events_ & FD_CLOSE) && connected_ && !closePosted_) interest |= EPOLLRDHUP;
  if (interest) Poller::Instance().Watch(self, fd_, interest, watched_);
}

std::shared_ptr<Socket> SocketOf(SOCKET s) {
  auto socket = std::dynamic_pointer_cast<Socket>(posix::LookupHandle(reinterpret_cast<HANDLE>(s)));
  if (!socket) SetLastError(WSAENOTSOCK);
  return socket;
}

SOCKET Insert(int fd) { return reinterpret_cast<SOCKET>(posix::InsertHandle(std::make_shared<Socket>(fd))); }

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
  return socket->Register(s, window, message, events);
}

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

bool ConnectedPair(SOCKET& first, SOCKET& second) {
  int listener = ::socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = PF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bool ready = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(listener, 1) == 0 &&
               ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  int client = ready ? ::socket(PF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
  ready = client >= 0 && ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  int server = ready ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  if (listener >= 0) ::close(listener);
  if (server < 0) {
    if (client >= 0) ::close(client);
    return false;
  }
  first = Insert(client);
  second = Insert(server);
  return true;
}

}  // namespace testing
}  // namespace win32
