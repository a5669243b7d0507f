#include "LumarixTime.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/winapi.h"
#include "support/tick_control.h"

namespace lumarix {
namespace {

TEST(LumarixTime, DayToTextKnownDates) {
  EXPECT_EQ(DayToText(367), "01.01.1901");
  EXPECT_EQ(DayToText(36585), "29.02.2000");
  EXPECT_EQ(DayToText(36950), "28.02.2001");
  EXPECT_EQ(DayToText(36951), "01.03.2001");
  EXPECT_EQ(DayToText(45351), "29.02.2024");
  EXPECT_EQ(DayToText(47482), "30.12.2029");
  EXPECT_EQ(DayToText(73050), "31.12.2099");
}

// Every day from 1901 to 2099 against an independent calendar walk.
TEST(LumarixTime, DayToTextEveryDayFrom1901To2099) {
  int day = 1, month = 1, year = 1901;
  auto daysIn = [](int m, int y) {
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : lengths[m - 1];
  };
  for (std::int32_t number = 367; year < 2100; ++number) {
    char expected[48];
    std::snprintf(expected, sizeof expected, "%02d.%02d.%04d", day, month, year);
    ASSERT_EQ(DayToText(number), expected) << "day number " << number;
    ASSERT_DOUBLE_EQ(EncodeDateTime(year, month, day, 0, 0, 0, 0), number);
    if (++day > daysIn(month, year)) {
      day = 1;
      if (++month > 12) month = 1, ++year;
    }
  }
}

TEST(LumarixTime, SecondsToTextBounds) {
  EXPECT_EQ(SecondsToText(0), "00:00:00");
  EXPECT_EQ(SecondsToText(3661), "01:01:01");
  EXPECT_EQ(SecondsToText(86399), "23:59:59");
}

TEST(LumarixTime, TimeToTextSpecialValuesAndKnownTimes) {
  EXPECT_EQ(TimeToText(0), "undefined");
  EXPECT_EQ(TimeToText(-1), "invalid");
  EXPECT_EQ(TimeToText(29220), "31.12.1979 00:00:00");
  EXPECT_EQ(TimeToText(47482.5), "30.12.2029 12:00:00");
  EXPECT_EQ(TimeToText(47482.51), "30.12.2029 12:14:24");
  EXPECT_EQ(TimeToText(EncodeDateTime(2099, 12, 31, 23, 59, 59, 0)), "31.12.2099 23:59:59");
}

TEST(LumarixTime, TimeToTextAHairBelowAWholeSecondShowsThatSecond) {
  double noon = 45000.5;
  EXPECT_EQ(TimeToText(noon - 0.5e-10), TimeToText(noon));
  EXPECT_EQ(TimeToText(45001 - 0.5e-10), "16.03.2023 00:00:00");
  // A whole millisecond below is still the second before.
  EXPECT_EQ(TimeToText(45001 - 1.0 / 86400000), "15.03.2023 23:59:59");
}

TEST(LumarixTime, TimeToTextRefusesValuesOutsideTheSupportedRange) {
  for (double outside : {29219.99, 73051.0, 80000.0, 1.0, -2.0}) {
    EXPECT_THROW(TimeToText(outside), ETimeError) << outside;
  }
  try {
    TimeToText(29219.99);
    FAIL();
  } catch (const ETimeError& error) {
    EXPECT_STREQ(error.what(), "Unable to convert time 29219.99");
  }
  EXPECT_NO_THROW(TimeToText(73050.9999));
}

TEST(LumarixTime, NowTimeIsNearTheWallClock) {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  double wall = EncodeDateTime(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                               local.wMilliseconds);
  EXPECT_NEAR(NowTime(), wall, 5.0 / 86400);  // within five seconds
  EXPECT_EQ(TimeToText(NowTime()).size(), 19u);
}

TEST(LumarixTime, TickCount64ConcurrentCallersNeverSeeAShift) {
  std::vector<std::thread> threads;
  std::atomic<int> errors{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      std::uint64_t last = 0;
      for (int i = 0; i < 20000; ++i) {
        try {
          std::uint64_t now = TickCount64();
          if (now < last) ++errors;
          last = now;
        } catch (const ETimeError&) {
          ++errors;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(errors.load(), 0);
}

#if TICK_CONTROL_AVAILABLE
// Restarts the clock under a controlled tick counter, and under the real one again at its end.
class ControlledClock {
 public:
  explicit ControlledClock(DWORD tick) { Restart(tick); }
  ~ControlledClock() {
    win32::testing::ReleaseTickCount();
    LumarixTimeModule.Startup();
  }
  ControlledClock(const ControlledClock&) = delete;
  ControlledClock& operator=(const ControlledClock&) = delete;

  void Set(DWORD tick) { control_.Set(tick); }
  void Restart(DWORD tick) {
    control_.Set(tick);
    LumarixTimeModule.Startup();
  }

 private:
  testing::ScopedTickCount control_{0};
};

TEST(LumarixTime, TickCount64LargestStepPassesAndOneMoreRaises) {
  ControlledClock clock(1000);
  clock.Set(1000 + 1200000000u);
  EXPECT_EQ(TickCount64(), 1000u + 1200000000u);
  clock.Set(1000 + 2 * 1200000000u + 1);
  EXPECT_THROW(TickCount64(), ETimeError);
  // The last tick kept its value, so a sound step from it passes.
  clock.Set(1000 + 1200000000u + 10);
  EXPECT_EQ(TickCount64(), 1000u + 1200000000u + 10);
}

TEST(LumarixTime, TickCount64WrapRaisesTheHighHalf) {
  ControlledClock clock(4294967000u);
  clock.Set(500);
  EXPECT_EQ(TickCount64(), 0x100000000ull + 500);
  clock.Set(600);
  EXPECT_EQ(TickCount64(), 0x100000000ull + 600);
}

TEST(LumarixTime, TickCount64BackwardsRaises) {
  ControlledClock clock(3000000000u);  // below 3094967295: a step back is a shift, not a wrap
  clock.Set(100);
  EXPECT_THROW(TickCount64(), ETimeError);
  clock.Restart(5000);
  clock.Set(4999);
  try {
    TickCount64();
    FAIL();
  } catch (const ETimeError& error) {
    EXPECT_STREQ(error.what(), "Time error: internal timer shifted (?)");
  }
}

TEST(LumarixTime, TickCount64WrapWithATooLargeStepRaisesButCountsTheWrap) {
  ControlledClock clock(3094967295u);
  clock.Set(1200000000u);  // step of 2400000001
  EXPECT_THROW(TickCount64(), ETimeError);
  clock.Set(3094967300u);
  EXPECT_EQ(TickCount64(), 0x100000000ull + 3094967300u);
}

TEST(LumarixTime, TickCount64NowTimeFollowsTheTicks) {
  ControlledClock clock(1000);
  double before = NowTime();
  clock.Set(1000 + 86400000u / 2);
  EXPECT_NEAR(NowTime() - before, 0.5, 1e-9);
}
#endif

}  // namespace
}  // namespace lumarix
