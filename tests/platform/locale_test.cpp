// The time-format items of the user's locale, read on POSIX from an LC_TIME pattern, as the
// client reads them (items that Windows keeps apart; see locale.cpp).
#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <string>

#include "client/request_id.h"
#include "platform/posix/testing.h"
#include "support/system_time.h"

namespace lumarix {
namespace {

using testing::TimeOfDay;

class PlatformLocale : public ::testing::Test {
 protected:
  void TearDown() override { win32::testing::ReleaseTimeFormat(); }
};

TEST_F(PlatformLocale, ItemsFollowTheTimePatternOfTheLocale) {
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
    std::string both = LongTimeText(format, TimeOfDay(14, 3, 27)) + "|" + LongTimeText(format, TimeOfDay(9, 5, 7));
    EXPECT_EQ(both, test.expected) << test.pattern;
  }
}

TEST_F(PlatformLocale, GetLocaleInfoCountsTheTerminatingZero) {
  win32::testing::SetTimeFormat("%H:%M:%S", "AM", "PM");
  char buffer[8];
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, nullptr, 0), 2);
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_S1159, buffer, sizeof buffer), 3);
  EXPECT_STREQ(buffer, "AM");
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_S1159, buffer, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, 0x7777, buffer, sizeof buffer), 0);
}
}  // namespace
}  // namespace lumarix
#endif
