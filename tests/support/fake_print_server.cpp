#include "support/fake_print_server.h"

#include "LumarixSocketStr.h"
#include "support/message.h"

namespace lumarix::testing {
namespace {

const std::string kPacketEnd("\0+++\0", 5);

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
  listener_ = std::make_unique<PlainListener>(port_, 4);
  if (listener_->listening()) thread_ = std::thread([this] { Serve(); });
}

FakePrintServer::~FakePrintServer() {
  stopping_ = true;
  if (listener_->listening()) {
    // A connection of our own ends an accept that still waits.
    const SOCKET wake = PlainConnect(port_);
    if (thread_.joinable()) thread_.join();
    if (wake != INVALID_SOCKET) closesocket(wake);
  }
  listener_.reset();
  WSACleanup();
}

std::string FakePrintServer::Request() {
  std::lock_guard guard(lock_);
  return request_;
}

void FakePrintServer::Serve() {
  SOCKET client = listener_->Accept();
  if (client == INVALID_SOCKET || stopping_) {
    if (client != INVALID_SOCKET) closesocket(client);
    return;
  }
  ++connections_;
  if (script_.closeAtOnce) {
    closesocket(client);
    return;
  }
  // The request ends at the first packet end after its 5-byte header.
  const std::string received = ReceiveUntil(client, kPacketEnd, 4);
  {
    std::lock_guard guard(lock_);
    request_ = received;
  }
  if (script_.reply) {
    for (const std::string& chunk : script_.reply(received)) {
      if (!SendAll(client, chunk)) break;
    }
  }
  if (!script_.closeAfterReply) ReceiveToClose(client);  // holds the connection until the client ends it
  closesocket(client);
}

}  // namespace lumarix::testing
