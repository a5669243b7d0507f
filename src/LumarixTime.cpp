#include "LumarixTime.h"

#include <cstdio>
#include <mutex>

#include "kept_alive.h"
#include "platform/winapi.h"

namespace lumarix {
namespace {

constexpr std::uint32_t kLargestStep = 1200000000u;
constexpr std::uint32_t kLowestTickBeforeWrap = 0xFFFFFFFFu - kLargestStep;  // 3094967295
constexpr std::uint64_t kTicksPerWrap = 0x100000000ull;
constexpr long double kDaysPerMillisecond = 1.0L / 86400000.0L;

struct Clock {
  std::mutex lock;  // the read of the tick, the check and the update are one step
  std::uint32_t lastTick = 0;
  std::uint32_t wrapCount = 0;
  double base = 0;
};

Clock& TheClock() {
  static KeptAlive<Clock> clock;
  return *clock;
}

[[noreturn]] void TimerShifted() { throw ETimeError("Time error: internal timer shifted (?)"); }

bool InSupportedRange(double time) { return time >= kFirstSupportedTime && time < kEndOfSupportedTime; }

constexpr int kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

// Days from 1 January of year 1 (proleptic Gregorian) to the given date.
long DaysFromCivil(long year, long month, long day) {
  year -= month <= 2;
  long era = (year >= 0 ? year : year - 399) / 400;
  long yearOfEra = year - era * 400;
  long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra;
}

void Startup() {
  auto& clock = TheClock();
  {
    std::lock_guard guard(clock.lock);
    clock.lastTick = GetTickCount();
    clock.wrapCount = 0;
  }
  std::uint64_t ms = TickCount64();
  SYSTEMTIME local{};
  GetLocalTime(&local);
  double now = EncodeDateTime(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                              local.wMilliseconds);
  double base = static_cast<double>(now - static_cast<long double>(ms) * kDaysPerMillisecond);
  if (!InSupportedRange(base)) throw ETimeError("Calendar date out of range");
  clock.base = base;
}

}  // namespace

const TModule LumarixTimeModule{Startup, nullptr};

std::uint64_t TickCount64() {
  auto& clock = TheClock();
  std::lock_guard guard(clock.lock);
  std::uint32_t tick = GetTickCount();
  std::uint32_t last = clock.lastTick;
  std::uint32_t step;
  if (tick >= last) {
    step = tick - last;
  } else {
    if (tick > kLargestStep || last < kLowestTickBeforeWrap) TimerShifted();
    ++clock.wrapCount;
    step = static_cast<std::uint32_t>(kTicksPerWrap - last + tick);
  }
  if (step > kLargestStep) TimerShifted();
  clock.lastTick = tick;
  return clock.wrapCount * kTicksPerWrap + tick;
}

double NowTime() {
  auto ms = static_cast<std::int64_t>(TickCount64());
  return static_cast<double>(static_cast<long double>(ms) * kDaysPerMillisecond + TheClock().base);
}

std::string DayToText(std::int32_t day) {
  std::int32_t sinceFirst = day - 367;
  std::int32_t fourYears = sinceFirst / 1461;
  std::int32_t inFourYears = sinceFirst % 1461;
  std::int32_t yearInFour = inFourYears / 365 < 3 ? inFourYears / 365 : 3;
  std::int32_t dayOfYear = inFourYears - 365 * yearInFour;
  std::int32_t year = 1901 + 4 * fourYears + yearInFour;
  const int* before = kDaysBeforeMonth[yearInFour == 3 ? 1 : 0];
  int month = 1;
  while (month < 12 && before[month] <= dayOfYear) ++month;
  char text[32];
  std::snprintf(text, sizeof text, "%.2d.%.2d.%.4d", static_cast<int>(dayOfYear - before[month - 1] + 1), month,
                static_cast<int>(year));
  return text;
}

std::string SecondsToText(std::int32_t second) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d", static_cast<int>(second / 3600),
                static_cast<int>(second % 3600 / 60), static_cast<int>(second % 60));
  return text;
}

std::string TimeToText(double time) {
  if (time == 0) return "undefined";
  if (time == -1) return "invalid";
  if (!InSupportedRange(time)) {
    char message[96];
    std::snprintf(message, sizeof message, "Unable to convert time %.2f", time);
    throw ETimeError(message);
  }
  // A value a hair below a whole second is shown as that second, not the one before.
  double rounded = time + 1e-10;
  auto day = static_cast<std::int32_t>(rounded);
  auto second = static_cast<std::int32_t>((rounded - day) * 86400);
  return DayToText(day) + " " + SecondsToText(second);
}

double EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  long days = DaysFromCivil(year, month, day) - DaysFromCivil(1899, 12, 30);
  double milliseconds = ((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond;
  return static_cast<double>(days) + milliseconds / 86400000.0;
}

}  // namespace lumarix
