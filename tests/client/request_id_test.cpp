#include "client/request_id.h"

#include <gtest/gtest.h>

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

TEST(ClientRequestId, UserFormatGivesAFullTimeText) {
  std::string text = LongTimeText(ReadLongTimeFormat(), TimeOfDay(14, 3, 27));
  EXPECT_NE(text.find("03"), std::string::npos) << text;
  EXPECT_NE(text.find("27"), std::string::npos) << text;
}

}  // namespace
}  // namespace lumarix
