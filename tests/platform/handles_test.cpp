// Conformance of the Win32 subset for events, waits and threads. These run on both targets, so
// Wine's real implementation checks our POSIX one.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/winapi.h"
#include "support/scoped_handle.h"

namespace lumarix {
namespace {

using Handle = testing::ScopedHandle;

TEST(PlatformHandles, EventResetModes) {
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

TEST(PlatformHandles, WaitForAnyGivesTheFirstSetInOrderAndTimesOut) {
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

TEST(PlatformHandles, BadHandlesFailTheWait) {
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

TEST(PlatformHandles, ThreadRunsAndItsHandleIsSignalledWhenItEnds) {
  Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  DWORD id = 0;
  Handle thread(CreateThread(nullptr, 0, SetAfterRunning, event.value, 0, &id));
  ASSERT_NE(thread.value, nullptr);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(event.value, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread.value, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(threadRuns.load(), 1);
}

}  // namespace
}  // namespace lumarix
