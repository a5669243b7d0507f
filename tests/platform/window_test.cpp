// Conformance of the Win32 subset for windows and their message queues. These run on both
// targets, so Wine's real implementation checks our POSIX one.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/winapi.h"
#include "support/loopback_peer.h"
#include "support/scoped_handle.h"

namespace lumarix {
namespace {

using Handle = testing::ScopedHandle;

HWND MakeStaticWindow() {
  return CreateWindowExA(0, "STATIC", "test window", WS_POPUP, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                         GetDesktopWindow(), nullptr, GetModuleHandleA(nullptr), nullptr);
}

TEST(PlatformWindow, MessagesComeInOrderThroughTheFilters) {
  HWND window = MakeStaticWindow();
  HWND other = MakeStaticWindow();
  ASSERT_NE(window, nullptr);
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(PostMessageA(other, WM_USER + 1, 0, 0));
  ASSERT_TRUE(PostMessageA(window, 0x9000, 0, 0));  // outside the range asked for below
  ASSERT_TRUE(PostMessageA(window, WM_USER + 2, 7, 8));
  ASSERT_TRUE(PostMessageA(window, WM_USER + 3, 0, -1));

  MSG msg{};
  ASSERT_EQ(GetMessageA(&msg, window, 0, 0x7FFF), TRUE);
  EXPECT_EQ(msg.hwnd, window);
  EXPECT_EQ(msg.message, WM_USER + 2);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(msg.lParam, 8);
  ASSERT_EQ(GetMessageA(&msg, window, 0, 0x7FFF), TRUE);
  EXPECT_EQ(msg.message, WM_USER + 3);
  EXPECT_EQ(msg.lParam, -1);
  ASSERT_EQ(GetMessageA(&msg, window, 0, 0), TRUE) << "0, 0 takes every message";
  EXPECT_EQ(msg.message, 0x9000u);
  ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE) << "no window takes any of the thread's";
  EXPECT_EQ(msg.hwnd, other);
}

TEST(PlatformWindow, QuitEndsGetMessageAndBadWindowsFail) {
  HWND window = MakeStaticWindow();
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(PostMessageA(window, WM_QUIT, 0, 0));
  MSG msg{};
  EXPECT_EQ(GetMessageA(&msg, window, 0, 0x7FFF), FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);

  HWND bad = reinterpret_cast<HWND>(static_cast<UINT_PTR>(0x7FFFFFF0));
  EXPECT_EQ(GetMessageA(&msg, bad, 0, 0x7FFF), -1);
  EXPECT_FALSE(PostMessageA(bad, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

// Another thread posts the numbers 0 to count - 1. One at a time, each is posted only once
// the reader has taken the one before, so that every post meets a reader that is just going
// to sleep, or asleep, and must wake it.
struct PostJob {
  HWND window;
  int count;
  bool oneAtATime = false;
  std::atomic<int> taken{0};
};

DWORD WINAPI PostNumbers(LPVOID parameter) {
  auto* job = static_cast<PostJob*>(parameter);
  for (int i = 0; i < job->count; ++i) {
    while (job->oneAtATime && job->taken.load() < i) {
    }
    PostMessageA(job->window, WM_USER, static_cast<WPARAM>(i), 0);
  }
  return 0;
}

void TakeTheNumbersInOrder(PostJob& job) {
  Handle thread(CreateThread(nullptr, 0, PostNumbers, &job, 0, nullptr));
  for (int i = 0; i < job.count; ++i) {
    MSG msg{};
    ASSERT_EQ(GetMessageA(&msg, job.window, 0, 0x7FFF), TRUE);
    ASSERT_EQ(msg.wParam, static_cast<WPARAM>(i));
    job.taken = i + 1;
  }
  EXPECT_EQ(WaitForSingleObject(thread.value, 10000), WAIT_OBJECT_0);
}

TEST(PlatformWindow, PostsFromAnotherThreadArriveInOrder) {
  PostJob job{MakeStaticWindow(), 200};
  ASSERT_NE(job.window, nullptr);
  TakeTheNumbersInOrder(job);
}

TEST(PlatformWindow, APostToASleepingReaderAlwaysWakesIt) {
  PostJob job{MakeStaticWindow(), 20000, true};
  ASSERT_NE(job.window, nullptr);
  TakeTheNumbersInOrder(job);
}

// ---- Socket events in the queue

constexpr UINT kSocketMessage = WM_USER + 100;

// A connection on 127.0.0.1: `ours` accepted here, `peer` the other end.
struct LoopbackPair {
  lumarix::testing::PlainListener listener;
  SOCKET peer = lumarix::testing::PlainConnect(listener.port());
  SOCKET ours = listener.Accept();
  ~LoopbackPair() {
    closesocket(ours);
    closesocket(peer);
  }
};

// As on Windows, what a registration finds ready is in the queue when it returns.
TEST(PlatformWindow, ARegistrationPostsWhatIsReadyAheadOfLaterPosts) {
  HWND window = MakeStaticWindow();
  ASSERT_NE(window, nullptr);
  LoopbackPair pair;
  ASSERT_NE(pair.ours, INVALID_SOCKET);
  ASSERT_TRUE(lumarix::testing::SendAll(pair.peer, "x"));  // on loopback, there once sent
  ASSERT_EQ(WSAAsyncSelect(pair.ours, window, kSocketMessage, FD_READ), 0);
  ASSERT_TRUE(PostMessageA(window, WM_USER, 0, 0));
  MSG msg{};
  ASSERT_EQ(GetMessageA(&msg, window, 0, 0x7FFF), TRUE);
  EXPECT_EQ(msg.message, kSocketMessage);
  EXPECT_EQ(WSAGETSELECTEVENT(msg.lParam), FD_READ);
}

struct WindowThreadJob {
  HANDLE made = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HWND window = nullptr;
  MSG got{};
};

DWORD WINAPI MakeAWindowAndTakeOneMessage(LPVOID parameter) {
  auto* job = static_cast<WindowThreadJob*>(parameter);
  job->window = MakeStaticWindow();
  SetEvent(job->made);
  GetMessageA(&job->got, job->window, 0, 0x7FFF);
  return 0;
}

// The socket is registered from this thread, for a window of another that is already waiting.
TEST(PlatformWindow, ASocketsEventWakesTheThreadThatOwnsItsWindow) {
  WindowThreadJob job;
  Handle made(job.made);
  Handle thread(CreateThread(nullptr, 0, MakeAWindowAndTakeOneMessage, &job, 0, nullptr));
  ASSERT_EQ(WaitForSingleObject(job.made, 10000), WAIT_OBJECT_0);
  ASSERT_NE(job.window, nullptr);
  LoopbackPair pair;
  ASSERT_NE(pair.ours, INVALID_SOCKET);
  ASSERT_EQ(WSAAsyncSelect(pair.ours, job.window, kSocketMessage, FD_READ), 0);
  ASSERT_TRUE(lumarix::testing::SendAll(pair.peer, "x"));
  ASSERT_EQ(WaitForSingleObject(thread.value, 10000), WAIT_OBJECT_0) << "the window's thread was not woken";
  EXPECT_EQ(job.got.message, kSocketMessage);
  EXPECT_EQ(job.got.wParam, pair.ours);
  EXPECT_EQ(WSAGETSELECTEVENT(job.got.lParam), FD_READ);
}

TEST(PlatformWindow, UnknownClassAndModuleFail) {
  EXPECT_EQ(CreateWindowExA(0, "NoSuchClassHere", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
}

}  // namespace
}  // namespace lumarix
