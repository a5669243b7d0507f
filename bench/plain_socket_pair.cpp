#include "plain_socket_pair.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

void PlainSend(int sock, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t sent = ::send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) std::abort();
    done += static_cast<std::size_t>(sent);
  }
}

bool PlainReceive(int sock, std::string& buffer) {
  for (std::size_t done = 0; done < buffer.size();) {
    const ssize_t got = ::recv(sock, buffer.data() + done, buffer.size() - done, 0);
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

PlainSocketPair::PlainSocketPair() {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  near_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(near_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  far_ = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  if (far_ < 0) std::abort();
}

PlainSocketPair::~PlainSocketPair() {
  ::shutdown(near_, SHUT_RDWR);
  if (peer_.joinable()) peer_.join();
  ::close(near_);
  ::close(far_);
}

void PlainSocketPair::Answer(std::size_t request, std::function<std::string(const std::string&)> answer) {
  peer_ = std::thread([this, request, answer = std::move(answer)] {
    std::string buffer(request, '\0');
    while (PlainReceive(far_, buffer)) PlainSend(far_, answer(buffer));
  });
}
