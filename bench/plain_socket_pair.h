// Two ends of a plain blocking TCP connection on loopback, the far one served by a thread of
// its own: the baseline that the socket library is measured against. It speaks the C
// library's sockets, not the tests' loopback peer, whose sockets go through our Win32 layer
// (a test hands them to our calls): that layer's per-call work would slow the yardstick.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <thread>

class PlainSocketPair {
 public:
  PlainSocketPair();
  ~PlainSocketPair();
  PlainSocketPair(const PlainSocketPair&) = delete;
  PlainSocketPair& operator=(const PlainSocketPair&) = delete;

  int near() const { return near_; }
  // The far end reads `request` bytes at a time and sends back what `answer` makes of them,
  // until the near end closes.
  void Answer(std::size_t request, std::function<std::string(const std::string&)> answer);

 private:
  int near_ = -1;
  int far_ = -1;
  std::thread peer_;
};

// Sends all of `bytes`; aborts when the connection fails.
void PlainSend(int sock, const std::string& bytes);
// Fills `buffer`; false when the peer closed first.
bool PlainReceive(int sock, std::string& buffer);
