// Windows Sockets 1.1 on POSIX: name lookup, address text and byte order.
//
// gethostbyname gives IPv4 addresses only, in a per-thread hostent as Windows does; inet_ntoa's
// text is per thread too.

#include "platform/posix/c_library.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/winsock_internal.h"

namespace win32 {
namespace {

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

hostent* gethostbyname(const char* name) {
  if (!posix::Started()) return nullptr;
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

}  // namespace win32
