// The socket library against plain blocking sockets on loopback, in the same run: a request and
// its reply between two channels of the library (one connected, one accepted), and one message
// with a 512 KiB value sent and received whole. The plain side moves the same wire bytes between
// two threads with blocking sockets, encoding and decoding each message as the library does.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "LumarixSocket.h"
#include "plain_socket_pair.h"
#include "socket/internal.h"

namespace {

using namespace lumarix;

constexpr std::size_t kTransferSize = 512 * 1024;

TMessagePart* Message(const std::string& name, const std::string& value) {
  TMessagePart* head = nullptr;
  AddPart(head, "ID", "team05_12345_12:00:00_Print");
  AddPart(head, name, value);
  return head;
}

// ---- The library: two channels of one process ---------------------------------------------

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "socket benchmark: %s\n", what);
  std::abort();
}

// The next record; nil only when none came for seconds. A wait may end early without one (an
// event left set by a record taken without waiting), so the waiting goes on to a deadline.
TUserMessage* NextRecord() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (TUserMessage* record = WaitMessage(1000)) return record;
  }
  return nullptr;
}

// Takes records until a message arrives for `ch`; aborts when `ch` ends first or nothing comes
// for seconds. Records of other channels are released on the way.
void ReceiveOn(std::int32_t ch) {
  for (;;) {
    TUserMessage* record = NextRecord();
    if (record == nullptr) Broken("no record came");
    const bool mine = record->ch == ch;
    const std::int32_t type = record->type;
    FreeUserMessage(record);
    if (mine && type == umMessage) return;
    if (mine && type == umClosed) Broken("the channel ended");
  }
}

void Send(std::int32_t ch, const TMessagePart* message) {
  if (!SendMsg(ch, message)) Broken("a message could not be queued");
}

class LibraryPair {
 public:
  LibraryPair() {
    listening_ = OpenListeningChannel("127.0.0.1", 0, 1);
    connected_ = ConnectByName(socklib::ListeningPort(listening_), 2, "127.0.0.1");
    while (accepted_ < 0) {
      TUserMessage* record = NextRecord();
      if (record == nullptr) Broken("the connection was not accepted");
      if (record->type == umAccepted) accepted_ = record->newchannel;
      FreeUserMessage(record);
    }
  }
  // The accepted end is closed; the connected one then ends by the peer's close and is given
  // up, so that no channel outlives its pair. (Its umClosed may be discarded by the first
  // close's wait, so the end is asked for, not awaited as a record.)
  ~LibraryPair() {
    CloseChannelWithTimeout(accepted_, 2000);
    for (int wait = 0; connected_ >= 0 && !FreeChannel(connected_); ++wait) {
      if (wait == 500) Broken("the connected end did not end");
      TUserMessage* record = WaitMessage(10);
      if (record) FreeUserMessage(record);
    }
    CloseChannelWithTimeout(listening_, 2000);
  }
  std::int32_t connected() const { return connected_; }
  std::int32_t accepted() const { return accepted_; }

 private:
  std::int32_t listening_ = -1;
  std::int32_t connected_ = -1;
  std::int32_t accepted_ = -1;
};

void BM_RoundTrip_library(benchmark::State& state) {
  LibraryPair pair;
  TMessagePart* request = Message("Ping", "request");
  TMessagePart* reply = Message("Pong", "reply");
  for (auto _ : state) {
    Send(pair.connected(), request);
    ReceiveOn(pair.accepted());
    Send(pair.accepted(), reply);
    ReceiveOn(pair.connected());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  FreeMsg(request);
  FreeMsg(reply);
}

void BM_Transfer512K_library(benchmark::State& state) {
  LibraryPair pair;
  TMessagePart* message = Message("Contents", std::string(kTransferSize, 'x'));
  for (auto _ : state) {
    Send(pair.connected(), message);
    ReceiveOn(pair.accepted());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTransferSize));
  FreeMsg(message);
}

// What a plain peer does with a message it reads whole: decode it, as the library does.
void Decode(const std::string& text) {
  TMessagePart* parts = ParseMsg(text);
  if (parts == nullptr) Broken("a plain peer read a broken message");
  FreeMsg(parts);
}

std::size_t WireSize(const TMessagePart* message) { return GatherMsg(message).size(); }

// The same exchange as the library's: each message is encoded before it is sent and decoded
// once it is read whole, so that the two differ only in how the bytes travel.
void BM_RoundTrip_plain(benchmark::State& state) {
  TMessagePart* request = Message("Ping", "request");
  TMessagePart* reply = Message("Pong", "reply");
  PlainSocketPair pair;
  pair.Answer(WireSize(request), [reply](const std::string& text) {
    Decode(text);
    return GatherMsg(reply);
  });
  std::string answer(WireSize(reply), '\0');
  for (auto _ : state) {
    PlainSend(pair.near(), GatherMsg(request));
    if (!PlainReceive(pair.near(), answer)) Broken("the plain peer closed");
    Decode(answer);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  FreeMsg(request);
  FreeMsg(reply);
}

// The far end confirms each whole message with one byte, so that an iteration ends when the
// message has arrived, as the library's ends when its record is there.
void BM_Transfer512K_plain(benchmark::State& state) {
  TMessagePart* message = Message("Contents", std::string(kTransferSize, 'x'));
  PlainSocketPair pair;
  pair.Answer(WireSize(message), [](const std::string& text) {
    Decode(text);
    return std::string("+");
  });
  std::string confirmation(1, '\0');
  for (auto _ : state) {
    PlainSend(pair.near(), GatherMsg(message));
    if (!PlainReceive(pair.near(), confirmation)) Broken("the plain peer closed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kTransferSize));
  FreeMsg(message);
}

}  // namespace

BENCHMARK(BM_RoundTrip_library)->Name("BM_RoundTrip/library")->UseRealTime();
BENCHMARK(BM_RoundTrip_plain)->Name("BM_RoundTrip/plain")->UseRealTime();
BENCHMARK(BM_Transfer512K_library)->Name("BM_Transfer512K/library")->UseRealTime();
BENCHMARK(BM_Transfer512K_plain)->Name("BM_Transfer512K/plain")->UseRealTime();
