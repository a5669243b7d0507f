#include "answer_loop.h"

#include <malloc.h>

#include <algorithm>

#include "server_log.h"

namespace lumarix::printserver {
namespace {

// How long a wait for the next record may delay the workers' answers.
constexpr std::int32_t kPollMs = 10;
constexpr auto kLimitCheckInterval = std::chrono::milliseconds(50);
// What one unfinished request can hold at most in the library (its packet limit).
constexpr std::size_t kMaxPacketHeld = 16u << 20;

std::string Channel(std::int32_t ch) { return "channel " + std::to_string(ch); }

}  // namespace

std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

TAnswerLoop::TAnswerLoop(std::int32_t listening, const TTeamList& teams, TJobWorkers& workers, TLoopLimits limits)
    : listening_(listening), teams_(teams), workers_(workers), limits_(limits) {}

void TAnswerLoop::Run(const std::atomic<bool>& stop) {
  // Large blocks go straight back to the system when freed, so that the heap's size follows
  // what unfinished requests hold.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  heapAtStart_ = HeapInUse();
  while (!stop && !listenerEnded_) {
    TUserMessage* record = WaitMessage(kPollMs);
    if (record == nullptr) {
      // Both queues were empty: no record of a dead connection can still be waiting.
      FreeDeadChannels();
    } else if (record->type == umAccepted) {
      OnAccepted(record->newchannel);
    } else if (record->type == umMessage) {
      OnMessage(record->ch, record->parts);
    } else if (record->type == umClosed) {
      OnClosed(record->ch);
    }
    FreeUserMessage(record);
    AnswerCompletions();
    if (Clock::now() - lastLimitCheck_ >= kLimitCheckInterval) EnforceLimits();
  }
}

void TAnswerLoop::OnAccepted(std::int32_t ch) {
  if (ch < 0 || ch >= kChannelCount) return;
  TConnection connection;
  connection.serial = ++nextSerial_;
  connection.acceptedAt = connection.lastActivity = Clock::now();
  table_[ch] = connection;
  CloseIdleForRoom();
}

void TAnswerLoop::OnMessage(std::int32_t ch, const TMessagePart* parts) {
  if (ch < 0 || ch >= kChannelCount || !table_[ch] || table_[ch]->closing || table_[ch]->dead) return;
  TConnection& connection = *table_[ch];
  std::optional<TPrintJob> job = JobFromRequest(parts);
  if (!job) {
    Answer(ch, ErrorReply(GetPart(parts, "ID"), "Incomplete print request"));
    ServerLog("incomplete request on " + Channel(ch));
    return;
  }
  if (std::optional<TReply> refusal = CheckRequest(*job, teams_)) {
    Answer(ch, *refusal);
    ServerLog("refused request '" + PrintableName(job->id) + "' of team '" + PrintableName(job->team) +
              "': " + ReplyPart(*refusal, "Error"));
    return;
  }
  if (connection.inFlight >= limits_.requestsInFlight) {
    Close(ch, "too many requests at once");
    return;
  }
  ++connection.inFlight;
  workers_.Submit(TJobTicket{ch, connection.serial, std::move(*job)});
}

void TAnswerLoop::OnClosed(std::int32_t ch) {
  if (ch == listening_) {
    ServerLog("the listening channel was closed");
    listenerEnded_ = true;
    return;
  }
  if (ch < 0 || ch >= kChannelCount) return;
  if (!table_[ch]) {
    std::int32_t stray = ch;
    FreeChannel(stray);
    return;
  }
  table_[ch]->dead = true;
}

void TAnswerLoop::FreeDeadChannels() {
  for (std::int32_t ch = 0; ch < kChannelCount; ++ch) {
    if (!table_[ch] || !table_[ch]->dead) continue;
    std::int32_t freed = ch;
    FreeChannel(freed);
    table_[ch].reset();
  }
}

void TAnswerLoop::AnswerCompletions() {
  for (const TCompletion& completion : workers_.TakeCompletions()) {
    ServerLog(completion.logLine);
    const std::int32_t ch = completion.ch;
    std::optional<TConnection>& connection = table_[ch];
    if (!connection || connection->serial != completion.serial) {
      ServerLog("the connection that asked has ended; the answer is dropped");
      continue;
    }
    --connection->inFlight;
    if (connection->closing || connection->dead) continue;
    Answer(ch, completion.reply);
  }
}

void TAnswerLoop::Answer(std::int32_t ch, const TReply& reply) {
  TMessagePart* message = ReplyMessage(reply);
  const bool queued = SendMsg(ch, message);
  FreeMsg(message);
  table_[ch]->lastActivity = Clock::now();
  if (!queued) Close(ch, "the answer cannot be sent");
}

void TAnswerLoop::Close(std::int32_t ch, const std::string& why) {
  ServerLog("closing " + Channel(ch) + ": " + why);
  table_[ch]->closing = true;
  CloseChannel(ch);
}

std::vector<std::int32_t> TAnswerLoop::IdleConnections() const {
  std::vector<std::int32_t> idle;
  for (std::int32_t ch = 0; ch < kChannelCount; ++ch) {
    const auto& connection = table_[ch];
    if (connection && !connection->closing && !connection->dead && connection->inFlight == 0) idle.push_back(ch);
  }
  std::sort(idle.begin(), idle.end(),
            [&](std::int32_t a, std::int32_t b) { return table_[a]->lastActivity < table_[b]->lastActivity; });
  return idle;
}

void TAnswerLoop::EnforceLimits() {
  const Clock::time_point now = Clock::now();
  lastLimitCheck_ = now;
  for (std::int32_t ch = 0; ch < kChannelCount; ++ch) {
    const auto& connection = table_[ch];
    if (!connection || connection->closing || connection->dead || connection->inFlight > 0) continue;
    if (now - connection->lastActivity > limits_.requestTimeout) {
      Close(ch, connection->lastActivity == connection->acceptedAt ? "no complete request in time" : "idle");
    }
  }
  CloseForMemory();
}

void TAnswerLoop::CloseIdleForRoom() {
  // Channels that are free, or will be once their closing ends.
  int room = kChannelCount - 1;
  for (const auto& connection : table_) {
    if (connection && !connection->closing && !connection->dead) --room;
  }
  if (room >= limits_.freeChannels) return;
  std::vector<std::int32_t> idle = IdleConnections();
  for (std::size_t i = 0; i < idle.size() && room < limits_.freeChannels; ++i, ++room) {
    Close(idle[i], "the longest idle, to make room");
  }
}

void TAnswerLoop::CloseForMemory() {
  // Closings for memory still under way free their buffers soon; wait for them first.
  for (const auto& connection : table_) {
    if (connection && connection->closedForMemory) return;
  }
  const std::size_t heap = HeapInUse();
  if (heap <= heapAtStart_ + limits_.memoryBudget) return;
  const std::size_t excess = heap - heapAtStart_ - limits_.memoryBudget;
  std::size_t toClose = excess / kMaxPacketHeld + 1;
  for (std::int32_t ch : IdleConnections()) {
    if (toClose-- == 0) break;
    Close(ch, "unfinished requests hold too much memory");
    table_[ch]->closedForMemory = true;
  }
}

}  // namespace lumarix::printserver
