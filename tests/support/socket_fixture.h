// Fixtures for socket library tests: channels on real sockets, one channel connected to a plain
// peer, a recorder of the library thread's per-channel work, and a way to wait until the thread
// has handled what was posted.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "socket/internal.h"
#include "support/deadline.h"
#include "support/loopback_peer.h"

namespace lumarix::testing {

// Records as the library makes them: a notice of `type` for channel `ch`, and a received
// message of channel `ch` whose "ID" part is `id`.
TUserMessage* MakeNotice(std::int32_t type, std::int32_t ch);
TUserMessage* MakeReceived(std::int32_t ch, const std::string& id);

// Records TryAccept, TrySend and TryReceive calls instead of running them, while it lives.
class WorkRecorder {
 public:
  WorkRecorder();
  ~WorkRecorder();
  WorkRecorder(const WorkRecorder&) = delete;
  WorkRecorder& operator=(const WorkRecorder&) = delete;

  // The calls so far, as "accept 3", "send 3", "receive 3"; the drain marker is left out.
  std::vector<std::string> Calls();
  void Clear();
  // Waits until the library thread has handled every message posted before this call.
  void Drain();
  // Runs on the library thread at every TryReceive, after it is recorded.
  void (*onReceive)(std::int32_t ch) = nullptr;
};

// Channels on fresh connections to 127.0.0.1, closed again at the end of the test. Their
// peers stay open and silent until then, so that the library's reads would block.
class ChannelsTest : public ::testing::Test {
 protected:
  ~ChannelsTest() override;
  std::int32_t Open(std::int32_t udata = 0);
  // Declares a channel dead on the library thread, as a peer's close on its socket would.
  void PostClose(std::int32_t ch, int error = 0);
  // Waits for a record (see Deadline); nil when none came.
  TUserMessage* Next();
  void Forget(std::int32_t ch);
  // Waits for the channel's release, which runs in whichever thread drops the last reference:
  // the library thread may still hold one while it finishes a message.
  static bool Released(std::int32_t ch);

  std::vector<std::int32_t> opened;

 private:
  PlainListener peerListener_;
  std::vector<SOCKET> peers_;
};

// A library channel connected by name to a plain peer socket, both ended with the test: the
// channel by the fixture, unless the test ended it (then it sets `ch` to -1) or the peer did.
class ConnectedChannelTest : public ChannelsTest {
 protected:
  static constexpr std::int32_t kUdata = 77;

  void SetUp() override;
  void TearDown() override;
  void ClosePeer();

  PlainListener listener;
  std::int32_t ch = -1;
  SOCKET peer = INVALID_SOCKET;
};

// Makes `dir` the current directory while it lives (the error file lands there).
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::filesystem::path& dir);
  ~ScopedCurrentDirectory();

 private:
  std::filesystem::path previous_;
};

// For death tests, which read the child's standard error: standard output joins it, flushed
// first so that nothing written before is lost.
void SendStandardOutputToStandardError();

}  // namespace lumarix::testing
