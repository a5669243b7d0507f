// The smallest process that makes the print client's exchange: the yardstick the client's whole
// process is measured against. It connects to 127.0.0.1 at the print port with one blocking
// socket, sends the request the client sends (the same parts in the same order, encoded by the
// system's own GatherMsg), reads the reply up to its packet end, prints the reply's lines as the
// client does, closes and exits. No configuration, no console, no library thread.
//
//   minimal-print-client FILE TEAM PASSWORD
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "LumarixSocketStr.h"

namespace {

constexpr unsigned short kPrintPort = 17244;
constexpr std::size_t kMaxFile = 524288;
const std::string kPacketEnd("\0+++\0", 5);

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "minimal-print-client: %s\n", what);
  std::_Exit(1);
}

std::string ReadWhole(const char* name) {
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || static_cast<std::size_t>(info.st_size) > kMaxFile) Fail("cannot read the file");
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (got <= 0) Fail("cannot read the file");
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return bytes;
}

// team_tick_HH:MM:SS_Print, as the client makes it under a 24-hour locale.
std::string RequestId(const std::string& team) {
  timespec boot{};
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  const auto tick = static_cast<std::uint32_t>(boot.tv_sec * 1000 + boot.tv_nsec / 1000000);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return team + "_" + std::to_string(tick) + "_" + clock + "_Print";
}

int Connect() {
  const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(kPrintPort);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sock < 0 || ::connect(sock, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    Fail("cannot connect to the print server");
  }
  return sock;
}

void SendAll(int sock, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (put <= 0) Fail("the connection failed while sending");
    done += static_cast<std::size_t>(put);
  }
}

// The first packet of the connection: header, parts, packet end.
std::string ReceivePacket(int sock) {
  std::string received;
  char buffer[65536];
  std::size_t end = std::string::npos;
  while ((end = received.size() < 5 ? std::string::npos : received.find(kPacketEnd, 4)) == std::string::npos) {
    const ssize_t got = ::recv(sock, buffer, sizeof buffer, 0);
    if (got <= 0) Fail("the connection ended before the reply");
    received.append(buffer, static_cast<std::size_t>(got));
  }
  received.resize(end + kPacketEnd.size());
  return received;
}

std::string Pages(const std::string& pages, const char* one, const char* many) {
  return pages == "1" ? std::string("1 ") + one : pages + " " + many;
}

void PrintReply(const lumarix::TMessagePart* reply) {
  std::string out;
  const std::string message = lumarix::GetPart(reply, "Message");
  if (!message.empty()) out += message + "\n\n";
  const std::string jobPages = lumarix::GetPart(reply, "JobPages");
  if (!jobPages.empty()) out += Pages(jobPages, "page has been printed", "pages have been printed") + "\n";
  const std::string leftPages = lumarix::GetPart(reply, "LeftPages");
  if (!leftPages.empty()) out += "Page limit: " + Pages(leftPages, "page left", "pages left") + "\n";
  const std::string error = lumarix::GetPart(reply, "Error");
  if (!error.empty()) out += "FATAL ERROR: " + error + "\n";
  const std::string warning = lumarix::GetPart(reply, "Warning");
  if (!warning.empty()) out += "WARNING: " + warning + "\n";
  out += "\n";
  [[maybe_unused]] const ssize_t written = ::write(1, out.data(), out.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) Fail("usage: minimal-print-client FILE TEAM PASSWORD");
  const std::string requestId = RequestId(argv[2]);
  lumarix::TMessagePart* request = nullptr;
  lumarix::AddPart(request, "ID", requestId);
  lumarix::AddPart(request, "Team", argv[2]);
  lumarix::AddPart(request, "Password", argv[3]);
  lumarix::AddPart(request, "Contents", ReadWhole(argv[1]));
  lumarix::AddPart(request, "Filename", argv[1]);
  const int sock = Connect();
  SendAll(sock, lumarix::GatherMsg(request));  // the request lives until the process ends, as the client's
  lumarix::TMessagePart* reply = lumarix::ParseMsg(ReceivePacket(sock));
  if (!reply || lumarix::GetPart(reply, "ID") != requestId) Fail("the reply is not ours");
  PrintReply(reply);
  lumarix::FreeMsg(reply);
  ::close(sock);
  return 0;
}
