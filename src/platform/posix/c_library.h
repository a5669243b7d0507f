// Internal: the C library, for the POSIX implementation files. Every one of them that calls the
// C library starts with this header, and includes no C library header of its own.
//
// The one include rule: the C library's headers come before our Win32 header, since its macros
// (AF_INET, FIONBIO, htonl, ...) would rewrite our declarations of the same names. So its
// headers are all taken here, first; the values of its macros that differ from Windows' are
// kept as constants; the macros are undefined so that our declarations stand; and our header
// comes last.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace win32::posix {
// The C library's values of names that Windows gives other values.
constexpr unsigned long kBytesWaiting = FIONREAD;
constexpr int kSocketLevel = SOL_SOCKET;
constexpr int kReuseAddress = SO_REUSEADDR;
}  // namespace win32::posix

#undef FIONBIO
#undef FIONREAD
#undef AF_INET
#undef SOL_SOCKET
#undef SO_REUSEADDR
#undef SOMAXCONN
#undef INADDR_ANY
#undef INADDR_LOOPBACK
#undef INADDR_NONE
#undef htonl
#undef ntohl
#undef htons
#undef ntohs
#undef h_addr

#include "platform/posix/win32.h"

// Our field-name macros would rename the C library's fields.
#undef s_addr
#undef h_addr
