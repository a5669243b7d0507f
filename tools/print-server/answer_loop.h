// The answering loop: the only code that talks to the socket library. It takes each record from
// WaitMessage, checks a request at once or hands it to the workers, answers when they report
// back, and keeps the limits that protect every team. It never waits on a file, a child process
// or a printer: WaitMessage is polled with a short time-out and the workers' answers are taken
// between records.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "LumarixSocket.h"
#include "job_workers.h"
#include "print_jobs.h"

namespace lumarix::printserver {

struct TLoopLimits {
  // A connection that has not delivered a complete request this long after its accept or its
  // last answer is closed.
  std::chrono::milliseconds requestTimeout{10000};
  // Channels kept free for new connections: below this, the longest-idle connection is closed.
  int freeChannels = 8;
  // What the whole process may allocate beyond its size at start before connections that have
  // not delivered a request are closed, the longest-waiting first.
  std::size_t memoryBudget = 256u << 20;
  // Requests of one connection that may wait for their answers at once.
  int requestsInFlight = 4;
};

class TAnswerLoop {
 public:
  TAnswerLoop(std::int32_t listening, const TTeamList& teams, TJobWorkers& workers, TLoopLimits limits);
  // Runs until `stop` is set or the listening channel ends.
  void Run(const std::atomic<bool>& stop);

 private:
  using Clock = std::chrono::steady_clock;
  struct TConnection {
    std::uint64_t serial = 0;
    Clock::time_point acceptedAt, lastActivity;
    int inFlight = 0;
    bool closing = false;  // CloseChannel was asked; its records are ignored
    bool dead = false;     // its umClosed came; the channel is freed once the queues are empty
    bool closedForMemory = false;
  };

  void OnAccepted(std::int32_t ch);
  void OnMessage(std::int32_t ch, const TMessagePart* parts);
  void OnClosed(std::int32_t ch);
  void FreeDeadChannels();
  void AnswerCompletions();
  void EnforceLimits();
  void CloseIdleForRoom();
  void CloseForMemory();
  void Answer(std::int32_t ch, const TReply& reply);
  void Close(std::int32_t ch, const std::string& why);
  // Open connections without a request in flight, the longest idle first.
  std::vector<std::int32_t> IdleConnections() const;

  std::int32_t listening_;
  const TTeamList& teams_;
  TJobWorkers& workers_;
  TLoopLimits limits_;
  std::array<std::optional<TConnection>, kChannelCount> table_;
  std::uint64_t nextSerial_ = 0;
  bool listenerEnded_ = false;
  std::size_t heapAtStart_ = 0;
  Clock::time_point lastLimitCheck_;
};

// Bytes the process has allocated now (the C library's heap and its large blocks).
std::size_t HeapInUse();

}  // namespace lumarix::printserver
