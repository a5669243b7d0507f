#include "client/request_id.h"

#include <gtest/gtest.h>

#include <string>

#if !defined(_WIN32)
#include <locale.h>

#include <ctime>

#include "platform/posix/testing.h"
#endif
#include "support/system_time.h"

namespace lumarix {
namespace {

using testing::TimeOfDay;

TEST(ClientRequestId, JoinsTeamTickTimeAndPrint) {
  EXPECT_EQ(MakeRequestId("team07", 987, "09:05:07"), "team07_987_09:05:07_Print");
  EXPECT_EQ(MakeRequestId("", 4294967295u, "23:59:59"), "_4294967295_23:59:59_Print");
}

TEST(ClientRequestId, LongTimeTextOnATwentyFourHourClock) {
  TLongTimeFormat format;
  EXPECT_EQ(LongTimeText(format, TimeOfDay(9, 5, 7)), "09:05:07");
  EXPECT_EQ(LongTimeText(format, TimeOfDay(0, 0, 0)), "00:00:00");
  format.leadingZero = false;
  format.separator = ".";
  EXPECT_EQ(LongTimeText(format, TimeOfDay(9, 5, 7)), "9.05.07");
  EXPECT_EQ(LongTimeText(format, TimeOfDay(14, 3, 27)), "14.03.27");
}

TEST(ClientRequestId, LongTimeTextOnATwelveHourClockWithItsDesignators) {
  TLongTimeFormat format;
  format.twentyFourHours = false;
  format.leadingZero = false;
  EXPECT_EQ(LongTimeText(format, TimeOfDay(0, 1, 2)), "12:01:02 am");
  EXPECT_EQ(LongTimeText(format, TimeOfDay(11, 59, 59)), "11:59:59 am");
  EXPECT_EQ(LongTimeText(format, TimeOfDay(12, 0, 0)), "12:00:00 pm");
  EXPECT_EQ(LongTimeText(format, TimeOfDay(14, 3, 27)), "2:03:27 pm");
  format.markFirst = true;
  format.leadingZero = true;
  format.pm = "PM";
  EXPECT_EQ(LongTimeText(format, TimeOfDay(14, 3, 27)), "PM 02:03:27");
}

// The long time text of the user's locale as the system itself writes it: Windows by
// GetTimeFormatA from its own pattern, POSIX by strftime's %X from the LC_TIME pattern.
std::string SystemLongTimeText(const SYSTEMTIME& time) {
  char text[80] = {};
#if defined(_WIN32)
  if (GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &time, nullptr, text, sizeof text) == 0) return "";
#else
  win32::testing::ReleaseTimeFormat();  // the user's own items, not a test's
  std::tm parts{};
  parts.tm_hour = time.wHour;
  parts.tm_min = time.wMinute;
  parts.tm_sec = time.wSecond;
  locale_t user = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (user == static_cast<locale_t>(0)) return "";
  ::strftime_l(text, sizeof text, "%X", &parts, user);
  ::freelocale(user);
#endif
  return text;
}

TEST(ClientRequestId, TheUserFormatGivesTheSystemsOwnLongTimeText) {
  for (const SYSTEMTIME& time : {TimeOfDay(14, 3, 27), TimeOfDay(9, 5, 7), TimeOfDay(0, 0, 0)}) {
    const std::string expected = SystemLongTimeText(time);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(LongTimeText(ReadLongTimeFormat(), time), expected);
  }
}

}  // namespace
}  // namespace lumarix
