// Conformance of the Win32 subset for events, waits, threads and window message queues. These
// run on both targets, so Wine's real implementation checks our POSIX one.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/winapi.h"

namespace {

struct Handle {
  HANDLE value;
  explicit Handle(HANDLE handle) : value(handle) {}
  ~Handle() { CloseHandle(value); }
};

TEST(PlatformEvents, ResetModes) {
  Handle manual(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Handle automatic(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  ASSERT_NE(manual.value, nullptr);
  ASSERT_NE(automatic.value, nullptr);

  EXPECT_EQ(WaitForSingleObject(manual.value, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(manual.value));
  EXPECT_EQ(WaitForSingleObject(manual.value, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual.value, 0), WAIT_OBJECT_0) << "a manual-reset event stays set";

  EXPECT_EQ(WaitForSingleObject(automatic.value, 0), WAIT_OBJECT_0) << "initially set";
  EXPECT_EQ(WaitForSingleObject(automatic.value, 0), WAIT_TIMEOUT) << "an auto-reset event clears on a wait";
}

TEST(PlatformEvents, WaitForAnyGivesTheFirstSetInOrderAndTimesOut) {
  Handle first(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  Handle second(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  const HANDLE both[2] = {first.value, second.value};

  const DWORD start = GetTickCount();
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 50), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - start, 40u);

  SetEvent(second.value);
  SetEvent(first.value);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
}

TEST(PlatformEvents, BadHandlesFailTheWait) {
  Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  CloseHandle(closed);
  const HANDLE mixed[2] = {event.value, closed};
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(closed));
}

std::atomic<int> threadRuns{0};

DWORD WINAPI SetAfterRunning(LPVOID event) {
  ++threadRuns;
  SetEvent(static_cast<HANDLE>(event));
  return 0;
}

TEST(PlatformThreads, ThreadRunsAndItsHandleIsSignalledWhenItEnds) {
  Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  DWORD id = 0;
  Handle thread(CreateThread(nullptr, 0, SetAfterRunning, event.value, 0, &id));
  ASSERT_NE(thread.value, nullptr);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(event.value, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread.value, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(threadRuns.load(), 1);
}

HWND MakeStaticWindow() {
  return CreateWindowExA(0, "STATIC", "test window", WS_POPUP, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                         GetDesktopWindow(), nullptr, GetModuleHandleA(nullptr), nullptr);
}

TEST(PlatformWindows, MessagesComeInOrderThroughTheFilters) {
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

TEST(PlatformWindows, QuitEndsGetMessageAndBadWindowsFail) {
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

struct PostJob {
  HWND window;
  int count;
};

DWORD WINAPI PostNumbers(LPVOID parameter) {
  auto* job = static_cast<PostJob*>(parameter);
  for (int i = 0; i < job->count; ++i) PostMessageA(job->window, WM_USER, static_cast<WPARAM>(i), 0);
  return 0;
}

TEST(PlatformWindows, PostsFromAnotherThreadArriveInOrder) {
  HWND window = MakeStaticWindow();
  ASSERT_NE(window, nullptr);
  PostJob job{window, 200};
  Handle thread(CreateThread(nullptr, 0, PostNumbers, &job, 0, nullptr));
  for (int i = 0; i < job.count; ++i) {
    MSG msg{};
    ASSERT_EQ(GetMessageA(&msg, window, 0, 0x7FFF), TRUE);
    ASSERT_EQ(msg.wParam, static_cast<WPARAM>(i));
  }
  EXPECT_EQ(WaitForSingleObject(thread.value, 10000), WAIT_OBJECT_0);
}

TEST(PlatformWindows, UnknownClassAndModuleFail) {
  EXPECT_EQ(CreateWindowExA(0, "NoSuchClassHere", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
}

}  // namespace
