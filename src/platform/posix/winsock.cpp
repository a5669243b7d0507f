// Windows Sockets 1.1 on POSIX: start-up, and TCP sockets over file descriptors with the
// errors Windows gives. Each socket's WSAAsyncSelect event state is in
// async_select.cpp, with WinSock's event rules; name lookup and byte order in protocol.cpp.
//
// Other Windows behaviour kept here: getsockname of an unbound socket fails with WSAEINVAL;
// send and recv take no flags (WSAEOPNOTSUPP). accept passes over a connection that failed
// while it waited (Linux reports its network error from accept, which Windows never does) and
// takes the next one, or would block. SO_REUSEADDR, the one socket option, keeps its POSIX
// meaning (binding past TIME_WAIT), not Windows' (sharing a port in use), which is what a
// server that restarts on its port needs.

#include "platform/posix/c_library.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/posix/testing.h"
#include "platform/posix/winsock_internal.h"

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

}  // namespace

namespace posix {

bool Started() {
  std::lock_guard guard(startupLock);
  if (startupCount > 0) return true;
  SetLastError(WSANOTINITIALISED);
  return false;
}

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

}  // namespace posix

namespace {

using posix::Fail;
using posix::Registration;
using posix::Socket;
using posix::Started;
using posix::WsaError;

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

std::shared_ptr<Socket> SocketOf(SOCKET s) {
  auto socket = posix::LookupAs<Socket>(reinterpret_cast<HANDLE>(s));
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
  // The events' side may have taken a reset's error already: the end of the data is that reset.
  if (received == 0) {
    if (int broken = socket->Broken()) {
      received = -1;
      error = broken;
    }
  }
  socket->Reenable(s, FD_READ, received >= 0 && received < length);
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
