// A fixed local time of day for tests of time texts.
#pragma once

#include "platform/winapi.h"

namespace lumarix::testing {

// 9 December 2026 at hour:minute:second.
inline SYSTEMTIME TimeOfDay(int hour, int minute, int second) {
  SYSTEMTIME time{};
  time.wYear = 2026;
  time.wMonth = 12;
  time.wDay = 9;
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  time.wSecond = static_cast<WORD>(second);
  return time;
}

}  // namespace lumarix::testing
