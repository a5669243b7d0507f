// A scripted print server for end-to-end tests: it listens on 127.0.0.1 at the print port,
// takes one connection, reads one request packet and answers as its script says (whole, in
// pieces, garbage, nothing, or a close at once). It speaks the wire directly, over blocking
// sockets, so that it can also misbehave.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/winapi.h"
#include "support/loopback_peer.h"

namespace lumarix::testing {

struct ServerScript {
  bool closeAtOnce = false;  // close the connection as soon as it is accepted
  // The chunks sent, in order, once the request (given whole) has arrived.
  std::function<std::vector<std::string>(const std::string& request)> reply;
  bool closeAfterReply = true;  // otherwise the connection stays open until the client ends it
};

using Reply = std::vector<std::pair<std::string, std::string>>;

// A script answering with one packet: an "ID" part as given, or the request's own ID when
// `id` is null, then `parts`; cut into chunks of `chunk` bytes (0: whole).
ServerScript Answer(const Reply& parts, const char* id = nullptr, std::size_t chunk = 0, bool closeAfter = true);

class FakePrintServer {
 public:
  explicit FakePrintServer(ServerScript script, unsigned short port = 17244);
  ~FakePrintServer();
  FakePrintServer(const FakePrintServer&) = delete;
  FakePrintServer& operator=(const FakePrintServer&) = delete;

  bool listening() const { return listener_->listening(); }
  // The bytes received up to the end of the first packet (or the connection's end).
  std::string Request();
  int connections() const { return connections_; }

 private:
  void Serve();

  ServerScript script_;
  unsigned short port_;
  std::unique_ptr<PlainListener> listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::mutex lock_;
  std::string request_;
  std::thread thread_;
};

}  // namespace lumarix::testing
