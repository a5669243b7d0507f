#include "support/socket_fixture.h"

#include <algorithm>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#define DupStream _dup2
#else
#include <unistd.h>
#define DupStream ::dup2
#endif

namespace lumarix::testing {
namespace {

// Channel 511 marks a drain: tests never get that far in the table, except when it is full,
// and then the marker only adds and drops a reference.
constexpr std::int32_t kMarkChannel = kChannelCount - 1;

struct RecorderState {
  std::mutex lock;
  std::vector<std::string> calls;
  HANDLE drained = nullptr;
  WorkRecorder* active = nullptr;
};
RecorderState state;

void Record(const char* what, std::int32_t ch) {
  std::lock_guard guard(state.lock);
  state.calls.push_back(std::string(what) + " " + std::to_string(ch));
}

void RecordAccept(std::int32_t ch) { Record("accept", ch); }
void RecordReceive(std::int32_t ch) {
  Record("receive", ch);
  if (state.active && state.active->onReceive) state.active->onReceive(ch);
}
void RecordSend(std::int32_t ch) {
  if (ch == kMarkChannel) {
    SetEvent(state.drained);
    return;
  }
  Record("send", ch);
}

const socklib::TChannelWork kRecording{RecordAccept, RecordSend, RecordReceive};

}  // namespace

TUserMessage* MakeNotice(std::int32_t type, std::int32_t ch) {
  auto* message = new TUserMessage;
  message->type = type;
  message->ch = ch;
  message->newchannel = 0;
  return message;
}

TUserMessage* MakeReceived(std::int32_t ch, const std::string& id) {
  auto* message = new TUserMessage;
  message->ch = ch;
  AddPart(message->parts, "ID", id);
  return message;
}

WorkRecorder::WorkRecorder() {
  state.drained = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  state.active = this;
  Clear();
  socklib::ChannelWork.store(&kRecording, std::memory_order_release);
}

WorkRecorder::~WorkRecorder() {
  Drain();
  socklib::ChannelWork.store(&socklib::kChannelWork, std::memory_order_release);
  state.active = nullptr;
  CloseHandle(state.drained);
}

std::vector<std::string> WorkRecorder::Calls() {
  std::lock_guard guard(state.lock);
  return state.calls;
}

void WorkRecorder::Clear() {
  std::lock_guard guard(state.lock);
  state.calls.clear();
}

void WorkRecorder::Drain() {
  socklib::PostToSocketWindow(socklib::kSocketSendEvent + kMarkChannel);
  ASSERT_EQ(WaitForSingleObject(state.drained, kGenerousMs), WAIT_OBJECT_0);
}

ChannelsTest::~ChannelsTest() {
  for (std::int32_t ch : opened) {
    std::int32_t channel = ch;
    EXPECT_TRUE(CloseChannelWithTimeout(channel, kGenerousMs)) << "channel " << ch;
    if (channel >= 0) FreeChannel(channel);
  }
  for (SOCKET peer : peers_) closesocket(peer);
}

std::int32_t ChannelsTest::Open(std::int32_t udata) {
  SOCKET sock = PlainConnect(peerListener_.port());
  EXPECT_NE(sock, INVALID_SOCKET);
  peers_.push_back(peerListener_.Accept());
  std::int32_t ch = GetChannelAllocation(sock, udata, "127.0.0.1", false);
  if (ch >= 0) {
    opened.push_back(ch);
  } else {
    closesocket(sock);
  }
  return ch;
}

void ChannelsTest::PostClose(std::int32_t ch, int error) {
  PostMessageA(socklib::SocketWindow, socklib::kSocketEvent + static_cast<UINT>(ch), socklib::sockdata[ch].load()->sock,
               static_cast<LPARAM>(FD_CLOSE | (error << 16)));
}

TUserMessage* ChannelsTest::Next() {
  // A wait can end early on an event left set by an earlier take, so wait in rounds.
  const Deadline deadline;
  while (!deadline.Passed()) {
    if (TUserMessage* message = WaitMessage(100)) return message;
  }
  return nullptr;
}

void ChannelsTest::Forget(std::int32_t ch) { opened.erase(std::remove(opened.begin(), opened.end(), ch), opened.end()); }

bool ChannelsTest::Released(std::int32_t ch) {
  return WaitUntil([ch] { return socklib::refcnt[ch] == 0 && socklib::sockdata[ch] == nullptr; });
}

void ConnectedChannelTest::SetUp() {
  ch = ConnectByName(listener.port(), kUdata, "127.0.0.1");
  ASSERT_GE(ch, 0);
  peer = listener.Accept();
  ASSERT_NE(peer, INVALID_SOCKET);
}

void ConnectedChannelTest::TearDown() {
  if (peer != INVALID_SOCKET) ClosePeer();
  if (ch < 0) return;
  if (socklib::alive[ch] || !(socklib::sockdata[ch].load()->flags & socklib::sfClosed)) {
    opened.push_back(ch);  // closed by the fixture
  } else {
    std::int32_t channel = ch;  // ended by the peer: only its allocation is left
    EXPECT_TRUE(FreeChannel(channel));
  }
}

void ConnectedChannelTest::ClosePeer() {
  closesocket(peer);
  peer = INVALID_SOCKET;
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::filesystem::path& dir)
    : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() { std::filesystem::current_path(previous_); }

void SendStandardOutputToStandardError() {
  std::fflush(stdout);
  DupStream(2, 1);
}

}  // namespace lumarix::testing
