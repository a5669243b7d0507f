#include "support/fake_print_server.h"

#include <cstring>

#include "LumarixSocketStr.h"
#include "support/message.h"

namespace lumarix::testing {
namespace {

const std::string kPacketEnd("\0+++\0", 5);

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = inet_addr("127.0.0.1");
  return address;
}

void SendAll(SOCKET sock, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    int put = send(sock, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

}  // namespace

ServerScript Answer(const Reply& parts, const char* id, std::size_t chunk, bool closeAfter) {
  std::string fixedId = id ? id : "";
  bool echo = id == nullptr;
  ServerScript script;
  script.closeAfterReply = closeAfter;
  script.reply = [=](const std::string& request) {
    Reply reply{{"ID", echo ? GetPartOf(TakeParts(ParseMsg(request)), "ID") : fixedId}};
    reply.insert(reply.end(), parts.begin(), parts.end());
    std::string packet = Gather(reply);
    std::vector<std::string> chunks;
    std::size_t size = chunk == 0 ? packet.size() : chunk;
    for (std::size_t at = 0; at < packet.size(); at += size) chunks.push_back(packet.substr(at, size));
    return chunks;
  };
  return script;
}

FakePrintServer::FakePrintServer(ServerScript script, unsigned short port) : script_(std::move(script)), port_(port) {
  WSADATA data;
  WSAStartup(0x0101, &data);
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener_ == INVALID_SOCKET) return;
  int reuse = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  sockaddr_in address = Loopback(port_);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 4) != 0) {
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    return;
  }
  thread_ = std::thread([this] { Serve(); });
}

FakePrintServer::~FakePrintServer() {
  stopping_ = true;
  if (listener_ != INVALID_SOCKET) {
    // A connection of our own ends an accept that still waits.
    SOCKET wake = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(port_);
    connect(wake, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (thread_.joinable()) thread_.join();
    closesocket(wake);
    closesocket(listener_);
  }
  WSACleanup();
}

std::string FakePrintServer::Request() {
  std::lock_guard guard(lock_);
  return request_;
}

void FakePrintServer::Serve() {
  sockaddr_in peer{};
  int length = sizeof peer;
  SOCKET client = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
  if (client == INVALID_SOCKET || stopping_) {
    if (client != INVALID_SOCKET) closesocket(client);
    return;
  }
  ++connections_;
  if (script_.closeAtOnce) {
    closesocket(client);
    return;
  }
  std::string received;
  char buffer[65536];
  // The request ends at the first packet end after its 5-byte header.
  while (received.size() < 5 || received.find(kPacketEnd, 4) == std::string::npos) {
    int got = recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    received.append(buffer, static_cast<std::size_t>(got));
  }
  {
    std::lock_guard guard(lock_);
    request_ = received;
  }
  if (script_.reply) {
    for (const std::string& chunk : script_.reply(received)) SendAll(client, chunk);
  }
  if (!script_.closeAfterReply) {
    // Hold the connection until the client ends it.
    while (!stopping_ && recv(client, buffer, sizeof buffer, 0) > 0) {
    }
  }
  closesocket(client);
}

}  // namespace lumarix::testing
