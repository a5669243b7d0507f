// The built print server as a process of its own on a port of the system's choice, and plain
// POSIX sockets that speak to it as clients do (or as hostile peers do).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/client_process.h"
#include "support/deadline.h"
#include "support/message.h"
#include "support/temp_dir.h"

namespace lumarix::testing {

// A port that nothing listens on at the moment.
inline std::uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// One plain blocking connection to the server.
class Peer {
 public:
  explicit Peer(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Close();
  }
  ~Peer() { Close(); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool connected() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of an orderly end.
  void Reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Close();
  }
  bool Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // The next reply, or nothing when the connection ends or none comes within the time.
  std::optional<Parts> Reply(int timeoutMs = 20000) {
    const Deadline deadline(timeoutMs);
    const std::string end("+++\0", 4);
    while (pending_.find(end) == std::string::npos) {
      if (!ReadSome(deadline)) return std::nullopt;
    }
    const std::size_t size = pending_.find(end) + end.size();
    TMessagePart* parts = ParseMsg(std::string_view(pending_).substr(0, size));
    pending_.erase(0, size);
    if (!parts) return std::nullopt;
    return TakeParts(parts);
  }
  // True when the server ends the connection within the time (nothing else arrives).
  bool SeesClose(int timeoutMs = 20000) {
    const Deadline deadline(timeoutMs);
    std::size_t before = pending_.size();
    while (ReadSome(deadline)) {
      if (pending_.size() != before) return false;
    }
    return ended_;
  }

 private:
  bool ReadSome(const Deadline& deadline) {
    const int left = deadline.MillisecondsLeft();
    pollfd readable{fd_, POLLIN, 0};
    if (fd_ < 0 || left <= 0 || ::poll(&readable, 1, left) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ended_ = true;
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }
  int fd_ = -1;
  std::string pending_;
  bool ended_ = false;
};

inline Parts PrintRequest(const std::string& id, const std::string& team, const std::string& password,
                          const std::string& contents, const std::string& filename = "a.cpp") {
  return {{"ID", id}, {"Team", team}, {"Password", password}, {"Contents", contents}, {"Filename", filename}};
}

// The server with a spool directory and a team list in a test's directory.
class ServerProcessTest : public TempDirTest {
 protected:
  void SetUp() override {
    dir.Write("teams.txt", "team01 pw 1000\nteam02 pw 1000\n");
    std::filesystem::create_directories(dir.path() / "spool");
  }

  std::string Spool() const { return dir.File("spool"); }

  ProcessLaunch Launch(const std::vector<std::string>& options) const {
    ProcessLaunch launch;
    launch.program = PRINT_SERVER_PATH;
    launch.arguments = {"--port", std::to_string(port), "--spool", Spool(), "--teams", dir.File("teams.txt")};
    launch.arguments.insert(launch.arguments.end(), options.begin(), options.end());
    launch.workingDirectory = dir.path().string();
    return launch;
  }

  // Starts the server and waits until it listens.
  void Start(const std::vector<std::string>& options = {},
             const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    ProcessLaunch launch = Launch(options);
    launch.environment = environment;
    server = std::make_unique<RunningProcess>(launch);
    ASSERT_TRUE(server->WaitForOutput("listening on", 20000)) << server->Output();
  }

  // Sends a request on a connection of its own and gives the reply.
  std::optional<Parts> Ask(const Parts& request, int timeoutMs = 20000) {
    Peer peer(port);
    if (!peer.Send(Gather(request))) return std::nullopt;
    return peer.Reply(timeoutMs);
  }

  // The server's peak resident size in KiB.
  long PeakMemoryKiB() const {
    std::ifstream status("/proc/" + std::to_string(server->pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
  }

  std::uint16_t port = UnusedPort();
  std::unique_ptr<RunningProcess> server;
};

}  // namespace lumarix::testing
