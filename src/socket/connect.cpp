// Opening client connections, on the application's thread: by host name or dotted address, or
// via the server file, whose address is read again only when its last-write time changes.
//
// The connect blocks; only a standing connection is made non-blocking and handed to the
// channel table. A socket made here is closed on every failure path, once.

#include <cstring>

#include "LumarixUtil.h"
#include "socket/internal.h"

namespace lumarix {
namespace socklib {
namespace {

// The server file: family (2 bytes, 2), address length n (2 bytes, 0..4), n address bytes.
struct ServerFile {
  std::string name;
  std::uint64_t cachedTime = 0;  // 0: nothing cached
  std::int16_t cachedLength = 0;
  std::uint8_t cachedAddress[4] = {};
};
ServerFile serverFile;

sockaddr_in SocketAddress(std::uint16_t port, const void* address, std::size_t length) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  std::memcpy(&target.sin_addr, address, length);  // a short address leaves the rest zero
  return target;
}

// The address of `host`, dotted or looked up; false when there is none.
bool HostAddress(const std::string& host, in_addr& address) {
  address.s_addr = inet_addr(host.c_str());
  if (address.s_addr != INADDR_NONE) return true;
  const hostent* entry = gethostbyname(host.c_str());
  if (!entry) return false;
  if (entry->h_addrtype != AF_INET || entry->h_length > 4 || !entry->h_addr_list[0]) {
    SOCKET_LOG(2, "Server not found: %s", host.c_str());
    return false;
  }
  address.s_addr = 0;
  std::memcpy(&address, entry->h_addr_list[0], static_cast<std::size_t>(entry->h_length));
  return true;
}

// A connected, non-blocking socket with a channel; -1 with the socket closed otherwise.
// `host` names the server in the failure line; nil when it came from the server file.
std::int32_t ConnectTo(const sockaddr_in& target, std::int32_t udata, const std::string* host) {
  const SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  SOCKET_LOG(3, "Opened socket %d", static_cast<int>(sock));
  if (sock == INVALID_SOCKET) return -1;
  u_long nonBlocking = 1;
  if (connect(sock, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 ||
      ioctlsocket(sock, FIONBIO, &nonBlocking) != 0) {
    if (host) {
      SOCKET_LOG(2, "Unable to connect to %s", host->c_str());
    } else {
      SOCKET_LOG(2, "Unable to connect via file");
    }
    closesocket(sock);
    return -1;
  }
  const std::int32_t ch = GetChannelAllocation(sock, udata, inet_ntoa(target.sin_addr), false);
  if (ch < 0) closesocket(sock);
  SOCKET_LOG(3, "Connected via channel %d", ch);
  return ch;
}

// A 16-bit field of the file, which is little-endian whatever the host.
bool ReadLittleEndian16(HANDLE file, std::int16_t& value) {
  std::uint8_t bytes[2];
  if (!ReadExact(file, bytes, 2)) return false;
  value = static_cast<std::int16_t>(bytes[0] | (bytes[1] << 8));
  return true;
}

bool ReadServerFile(const std::string& name) {
  HANDLE file = OpenForRead(name);
  if (IsBadHandle(file)) return false;
  std::int16_t family = 0;
  std::int16_t length = 0;
  std::uint8_t address[4] = {};
  bool read = ReadLittleEndian16(file, family) && family == AF_INET && ReadLittleEndian16(file, length) &&
              length >= 0 && length <= 4 && ReadExact(file, address, static_cast<DWORD>(length));
  read = CloseFileHandle(file) && read;
  if (!read) return false;
  serverFile.cachedLength = length;
  std::memcpy(serverFile.cachedAddress, address, sizeof address);
  return true;
}

}  // namespace

void ForgetServerFile() { serverFile = ServerFile(); }

}  // namespace socklib

using namespace socklib;

void SelectServerFileName(const std::string& name) {
  SOCKET_LOG(3, "Selecting server file name %s", name.c_str());
  if (name != serverFile.name) serverFile.cachedTime = 0;
  serverFile.name = name;
}

std::int32_t ConnectByName(std::uint16_t port, std::int32_t udata, const std::string& host) {
  SOCKET_LOG(2, "Connecting to server by name %s, port %d (udata=%d)", host.c_str(), static_cast<int>(port), udata);
  in_addr address{};
  if (!HostAddress(host, address)) return -1;
  return ConnectTo(SocketAddress(port, &address, sizeof address), udata, &host);
}

std::int32_t ConnectViaFile(std::uint16_t port, std::int32_t udata) {
  SOCKET_LOG(2, "Connecting to server via file, port %d (udata=%d)", static_cast<int>(port), udata);
  const std::uint64_t time = FileTimeOf(serverFile.name);
  if (time != serverFile.cachedTime) {
    serverFile.cachedTime = 0;
    if (time == 0 || !ReadServerFile(serverFile.name)) return -1;
    serverFile.cachedTime = time;
  }
  if (serverFile.cachedTime == 0) return -1;
  const sockaddr_in target =
      SocketAddress(port, serverFile.cachedAddress, static_cast<std::size_t>(serverFile.cachedLength));
  return ConnectTo(target, udata, nullptr);
}

}  // namespace lumarix
