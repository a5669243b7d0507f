// Time and system queries on POSIX: the tick counter, the local time, the version, the
// thread id, the program's own path and the environment.

#include "platform/posix/c_library.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

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

// ---- Program file and environment

namespace {

constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;

std::mutex moduleFileLock;
std::string* moduleFileOverride = nullptr;

std::string ExecutablePath() {
  {
    std::lock_guard guard(moduleFileLock);
    if (moduleFileOverride) return *moduleFileOverride;
  }
  std::string path(4096, '\0');
  ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length < 0) return {};
  path.resize(static_cast<std::size_t>(length));
  return path;
}

}  // namespace

// As on Windows since Vista: a path that does not fit is cut to size - 1 characters and ended,
// and the result is `size` with ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  if (module != nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::string path = ExecutablePath();
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (size == 0 || fileName == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    std::memcpy(fileName, path.data(), size - 1);
    fileName[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(fileName, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

// The value's length when it fits (with its terminating zero) in `size`; otherwise the size it
// needs, the buffer untouched. 0 with ERROR_ENVVAR_NOT_FOUND for an unset variable.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  const char* value = name ? ::getenv(name) : nullptr;
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  std::size_t length = std::strlen(value);
  if (buffer == nullptr || length >= size) return static_cast<DWORD>(length + 1);
  std::memcpy(buffer, value, length + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(length);
}

namespace testing {

void SetTickCount(DWORD value, bool running) {
  tickBase.store(value);
  clockAtSet.store(BootMilliseconds());
  tickRunning.store(running);
  tickControlled.store(true, std::memory_order_release);
}

void ReleaseTickCount() { tickControlled.store(false, std::memory_order_release); }

void SetModuleFileName(const char* path) {
  std::lock_guard guard(moduleFileLock);
  delete moduleFileOverride;
  moduleFileOverride = path ? new std::string(path) : nullptr;
}

}  // namespace testing
}  // namespace win32
