#include "client/request_id.h"

#include <gtest/gtest.h>

namespace lumarix {
namespace {

SYSTEMTIME At(int hour, int minute, int second) {
  SYSTEMTIME time{};
  time.wYear = 2026;
  time.wMonth = 12;
  time.wDay = 9;
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  time.wSecond = static_cast<WORD>(second);
  return time;
}

TEST(RequestId, JoinsTeamTickTimeAndPrint) {
  EXPECT_EQ(MakeRequestId("team07", 987, "09:05:07"), "team07_987_09:05:07_Print");
  EXPECT_EQ(MakeRequestId("", 4294967295u, "23:59:59"), "_4294967295_23:59:59_Print");
}

TEST(LongTimeText, TwentyFourHourClock) {
  TLongTimeFormat format;
  EXPECT_EQ(LongTimeText(format, At(9, 5, 7)), "09:05:07");
  EXPECT_EQ(LongTimeText(format, At(0, 0, 0)), "00:00:00");
  format.leadingZero = false;
  format.separator = ".";
  EXPECT_EQ(LongTimeText(format, At(9, 5, 7)), "9.05.07");
  EXPECT_EQ(LongTimeText(format, At(14, 3, 27)), "14.03.27");
}

TEST(LongTimeText, TwelveHourClockWithItsDesignators) {
  TLongTimeFormat format;
  format.twentyFourHours = false;
  format.leadingZero = false;
  EXPECT_EQ(LongTimeText(format, At(0, 1, 2)), "12:01:02 am");
  EXPECT_EQ(LongTimeText(format, At(11, 59, 59)), "11:59:59 am");
  EXPECT_EQ(LongTimeText(format, At(12, 0, 0)), "12:00:00 pm");
  EXPECT_EQ(LongTimeText(format, At(14, 3, 27)), "2:03:27 pm");
  format.markFirst = true;
  format.leadingZero = true;
  format.pm = "PM";
  EXPECT_EQ(LongTimeText(format, At(14, 3, 27)), "PM 02:03:27");
}

#if !defined(_WIN32)
}  // namespace
}  // namespace lumarix

#include "platform/posix/testing.h"

namespace lumarix {
namespace {

class LocaleTimeFormat : public ::testing::Test {
 protected:
  void TearDown() override { win32::testing::ReleaseTimeFormat(); }
};

TEST_F(LocaleTimeFormat, ItemsFollowTheTimePatternOfTheLocale) {
  struct Case {
    const char* pattern;
    const char* expected;
  } cases[] = {
      {"%H:%M:%S", "14:03:27|09:05:07"},      // C and most of Europe
      {"%T", "14:03:27|09:05:07"},
      {"%I:%M:%S %p", "02:03:27 PM|09:05:07 AM"},  // en_US
      {"%r", "02:03:27 PM|09:05:07 AM"},
      {"%l.%M.%S %p", "2.03.27 PM|9.05.07 AM"},
      {"%p %I:%M:%S", "PM 02:03:27|AM 09:05:07"},  // the designator first
      {"%H\xC2\xB7%M\xC2\xB7%S", "14\xC2\xB7" "03\xC2\xB7" "27|09\xC2\xB7" "05\xC2\xB7" "07"},  // a multi-byte separator stays whole
      {"%k:%M:%S", "14:03:27|9:05:07"},
  };
  for (const auto& test : cases) {
    win32::testing::SetTimeFormat(test.pattern, "AM", "PM");
    TLongTimeFormat format = ReadLongTimeFormat();
    std::string both = LongTimeText(format, At(14, 3, 27)) + "|" + LongTimeText(format, At(9, 5, 7));
    EXPECT_EQ(both, test.expected) << test.pattern;
  }
}

TEST_F(LocaleTimeFormat, GetLocaleInfoCountsTheTerminatingZero) {
  win32::testing::SetTimeFormat("%H:%M:%S", "AM", "PM");
  char buffer[8];
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, nullptr, 0), 2);
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_S1159, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "AM");
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_S1159, buffer, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, 0x7777, buffer, sizeof buffer), 0);
}
#endif

TEST(LongTimeFormat, UserFormatGivesAFullTimeText) {
  std::string text = LongTimeText(ReadLongTimeFormat(), At(14, 3, 27));
  EXPECT_NE(text.find("03"), std::string::npos) << text;
  EXPECT_NE(text.find("27"), std::string::npos) << text;
}

}  // namespace
}  // namespace lumarix
