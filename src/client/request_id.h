// The print request's ID: configured team, tick count, local time of day, "Print".
#pragma once

#include <cstdint>
#include <string>

#include "platform/winapi.h"

namespace lumarix {

// The long time format of the user's locale, read once at start-up.
struct TLongTimeFormat {
  bool twentyFourHours = true;
  bool leadingZero = true;
  bool markFirst = false;
  std::string separator = ":";
  std::string am = "am";
  std::string pm = "pm";
};

// The user's format; items that cannot be read keep the defaults above.
TLongTimeFormat ReadLongTimeFormat();
// The time of day in `format`, such as 14:03:27, 2:03:27 pm or pm 2:03:27.
std::string LongTimeText(const TLongTimeFormat& format, const SYSTEMTIME& time);
// team + "_" + tick + "_" + time text + "_Print".
std::string MakeRequestId(const std::string& team, std::uint32_t tick, const std::string& timeText);

}  // namespace lumarix
