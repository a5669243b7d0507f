// A Win32 handle closed when the test is done with it.
#pragma once

#include "platform/winapi.h"

namespace lumarix::testing {

struct ScopedHandle {
  HANDLE value;
  explicit ScopedHandle(HANDLE handle) : value(handle) {}
  ~ScopedHandle() { CloseHandle(value); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
};

}  // namespace lumarix::testing
