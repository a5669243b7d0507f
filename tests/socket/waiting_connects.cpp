#include "socket/waiting_connects.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace lumarix::testing {
namespace {

std::size_t Completed(const std::vector<int>& sockets, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t done = 0;
  while (done < sockets.size() && std::chrono::steady_clock::now() < deadline) {
    std::vector<pollfd> writable;
    for (int fd : sockets) writable.push_back({fd, POLLOUT, 0});
    ::poll(writable.data(), writable.size(), 100);
    done = 0;
    for (const pollfd& entry : writable) done += (entry.revents & POLLOUT) != 0;
  }
  return done;
}

}  // namespace

std::size_t ConnectsHeldByTheBacklog(std::uint16_t port, int count, int seconds, std::vector<int>& sockets) {
  for (int i = 0; i < count; ++i) sockets.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  rlimit original{};
  ::getrlimit(RLIMIT_NOFILE, &original);
  const int lowestFree = ::open("/dev/null", O_RDONLY);
  ::close(lowestFree);
  rlimit none = original;
  none.rlim_cur = static_cast<rlim_t>(lowestFree);
  ::setrlimit(RLIMIT_NOFILE, &none);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int fd : sockets) ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const std::size_t completed = Completed(sockets, std::chrono::seconds(seconds));
  ::setrlimit(RLIMIT_NOFILE, &original);
  return completed;
}

void CloseAll(std::vector<int>& sockets) {
  for (int fd : sockets) ::close(fd);
  sockets.clear();
}

}  // namespace lumarix::testing
#endif
