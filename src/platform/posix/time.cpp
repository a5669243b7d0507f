// Time and system queries on POSIX: the tick counter, the local time, the version and the
// thread id.

#include "platform/posix/c_library.h"

#include <atomic>
#include <cstring>

#include "platform/posix/testing.h"

namespace win32 {
namespace {

// Milliseconds since boot, a suspend included, as Windows' tick count goes on across one.
std::uint64_t BootMilliseconds() {
  struct timespec now {};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

// Test control of the tick counter: when set, GetTickCount gives `tickBase` plus, for a running
// counter, the milliseconds since `clockAtSet`.
std::atomic<bool> tickControlled{false};
std::atomic<bool> tickRunning{false};
std::atomic<DWORD> tickBase{0};
std::atomic<std::uint64_t> clockAtSet{0};

}  // namespace

DWORD GetTickCount() {
  if (!tickControlled.load(std::memory_order_acquire)) return static_cast<DWORD>(BootMilliseconds());
  DWORD value = tickBase.load();
  if (tickRunning.load()) value += static_cast<DWORD>(BootMilliseconds() - clockAtSet.load());
  return value;
}

void GetLocalTime(LPSYSTEMTIME systemTime) {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm local {};
  ::localtime_r(&now.tv_sec, &local);
  systemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
  systemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
  systemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  systemTime->wDay = static_cast<WORD>(local.tm_mday);
  systemTime->wHour = static_cast<WORD>(local.tm_hour);
  systemTime->wMinute = static_cast<WORD>(local.tm_min);
  systemTime->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);  // no leap seconds
  systemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

// POSIX machines report themselves as the NT family, so files are shared for deletion too.
BOOL GetVersionExA(LPOSVERSIONINFOA versionInfo) {
  if (versionInfo == nullptr || versionInfo->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  versionInfo->dwMajorVersion = 6;
  versionInfo->dwMinorVersion = 1;
  versionInfo->dwBuildNumber = 7601;
  versionInfo->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(versionInfo->szCSDVersion, 0, sizeof versionInfo->szCSDVersion);
  return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::syscall(SYS_gettid)); }

namespace testing {

void SetTickCount(DWORD value, bool running) {
  tickBase.store(value);
  clockAtSet.store(BootMilliseconds());
  tickRunning.store(running);
  tickControlled.store(true, std::memory_order_release);
}

void ReleaseTickCount() { tickControlled.store(false, std::memory_order_release); }

}  // namespace testing
}  // namespace win32
