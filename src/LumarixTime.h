// The system's clock and its date and time texts.
//
// The 32-bit tick counter is extended to 64 bits across its wraps, and implausible jumps are
// refused. A date-time value is a double counting days since 30 December 1899, 00:00 local
// time; the current one is always the base fixed at start-up plus the elapsed ticks.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "LumarixModules.h"

namespace lumarix {

class ETimeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Date-time values the texts and the start-up accept: 31.12.1979 up to, not including,
// 01.01.2100.
constexpr double kFirstSupportedTime = 29220.0;
constexpr double kEndOfSupportedTime = 73051.0;

std::uint64_t TickCount64();
double NowTime();
// DD.MM.YYYY of a day number (367 is 01.01.1901); exact from 1901 to 2099.
std::string DayToText(std::int32_t day);
// HH:MM:SS of a second of the day.
std::string SecondsToText(std::int32_t second);
// DD.MM.YYYY HH:MM:SS, "undefined" for 0 and "invalid" for -1.
std::string TimeToText(double time);

// The date-time value of a calendar date and time of day.
double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond);

extern const TModule LumarixTimeModule;

}  // namespace lumarix
