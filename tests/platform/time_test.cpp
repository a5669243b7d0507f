// Conformance of the time and system calls: these run against Wine's real implementation as
// well as our POSIX one. On POSIX also the tick counter against a clock that has moved on while
// the machine slept.
#include <gtest/gtest.h>

#include "platform/winapi.h"

namespace lumarix {
namespace {

TEST(PlatformTime, VersionThreadAndClock) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  EXPECT_TRUE(GetVersionExA(&version));
  EXPECT_EQ(version.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_NE(GetCurrentThreadId(), 0u);

  SYSTEMTIME local{};
  GetLocalTime(&local);
  EXPECT_GE(local.wYear, 2020);
  EXPECT_LE(local.wMonth, 12);
  EXPECT_LT(local.wMilliseconds, 1000);
}

}  // namespace
}  // namespace lumarix

#if !defined(_WIN32)
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace lumarix {
namespace {

// A time namespace whose boot-time clock runs a day ahead of its monotonic one, as after a
// day's suspend.
constexpr long kDaySeconds = 86400;

bool WriteProcFile(const char* path, const char* text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool written = ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  ::close(fd);
  return written;
}

// In a child of a process with threads: only system calls, with every text made beforehand.
// Writes the tick count as seen in the namespace to `out`, or nothing when the namespace
// cannot be made here.
[[noreturn]] void TickCountInSuspendedNamespace(int out, const char* uidMap, const char* gidMap,
                                               const char* offsets) {
  if (::unshare(CLONE_NEWUSER) != 0 || !WriteProcFile("/proc/self/setgroups", "deny") ||
      !WriteProcFile("/proc/self/uid_map", uidMap) || !WriteProcFile("/proc/self/gid_map", gidMap) ||
      ::unshare(CLONE_NEWTIME) != 0 || !WriteProcFile("/proc/self/timens_offsets", offsets)) {
    ::_exit(0);
  }
  const pid_t inside = ::fork();  // only children enter the new time namespace
  if (inside == 0) {
    const DWORD ticks = GetTickCount();
    ::_exit(::write(out, &ticks, sizeof ticks) == sizeof ticks ? 0 : 1);
  }
  int status = 0;
  if (inside > 0) ::waitpid(inside, &status, 0);
  ::_exit(0);
}

TEST(PlatformTime, TheTickCountGoesOnAcrossASuspend) {
  char uidMap[32];
  char gidMap[32];
  char offsets[64];
  std::snprintf(uidMap, sizeof uidMap, "0 %u 1", static_cast<unsigned>(::getuid()));
  std::snprintf(gidMap, sizeof gidMap, "0 %u 1", static_cast<unsigned>(::getgid()));
  std::snprintf(offsets, sizeof offsets, "boottime %ld 0", kDaySeconds);
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  const DWORD before = GetTickCount();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe[0]);
    TickCountInSuspendedNamespace(pipe[1], uidMap, gidMap, offsets);
  }
  ::close(pipe[1]);
  DWORD inside = 0;
  const ssize_t got = ::read(pipe[0], &inside, sizeof inside);
  ::close(pipe[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (got != sizeof inside) GTEST_SKIP() << "no user and time namespaces here";
  // A day ahead, give or take the test's own time.
  const DWORD ahead = inside - before;
  EXPECT_GE(ahead, kDaySeconds * 1000u);
  EXPECT_LT(ahead, kDaySeconds * 1000u + 60000u);
}

}  // namespace
}  // namespace lumarix
#endif
