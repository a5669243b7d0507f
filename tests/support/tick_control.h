// Control of GetTickCount for tests, where the platform layer offers it (POSIX only).
#pragma once

#if defined(_WIN32)
#define TICK_CONTROL_AVAILABLE 0
#else
#define TICK_CONTROL_AVAILABLE 1
#include "platform/posix/testing.h"

namespace lumarix::testing {

// Fixes the tick counter for the life of the object, then hands it back to the real clock.
class ScopedTickCount {
 public:
  explicit ScopedTickCount(DWORD value, bool running = false) { Set(value, running); }
  ~ScopedTickCount() { win32::testing::ReleaseTickCount(); }
  ScopedTickCount(const ScopedTickCount&) = delete;
  ScopedTickCount& operator=(const ScopedTickCount&) = delete;

  void Set(DWORD value, bool running = false) { win32::testing::SetTickCount(value, running); }
};

}  // namespace lumarix::testing
#endif
