#include "client/request_id.h"

namespace lumarix {
namespace {

bool ReadItem(LCTYPE type, std::string& value) {
  char buffer[80];
  int length = GetLocaleInfoA(LOCALE_USER_DEFAULT, type, buffer, sizeof buffer);
  if (length <= 0) return false;
  value.assign(buffer, static_cast<std::size_t>(length - 1));
  return true;
}

bool ReadFlag(LCTYPE type, bool fallback) {
  std::string value;
  return ReadItem(type, value) ? value != "0" : fallback;
}

std::string TwoDigits(int value) {
  return std::string{static_cast<char>('0' + value / 10 % 10), static_cast<char>('0' + value % 10)};
}

}  // namespace

TLongTimeFormat ReadLongTimeFormat() {
  TLongTimeFormat format;
  format.twentyFourHours = ReadFlag(LOCALE_ITIME, format.twentyFourHours);
  format.leadingZero = ReadFlag(LOCALE_ITLZERO, format.leadingZero);
  format.markFirst = ReadFlag(LOCALE_ITIMEMARKPOSN, format.markFirst);
  std::string value;
  if (ReadItem(LOCALE_STIME, value) && !value.empty()) format.separator = value;
  if (ReadItem(LOCALE_S1159, value) && !value.empty()) format.am = value;
  if (ReadItem(LOCALE_S2359, value) && !value.empty()) format.pm = value;
  return format;
}

std::string LongTimeText(const TLongTimeFormat& format, const SYSTEMTIME& time) {
  int hour = time.wHour;
  if (!format.twentyFourHours) hour = hour % 12 == 0 ? 12 : hour % 12;
  std::string clock = format.leadingZero || hour >= 10 ? TwoDigits(hour) : std::to_string(hour);
  clock += format.separator + TwoDigits(time.wMinute) + format.separator + TwoDigits(time.wSecond);
  if (format.twentyFourHours) return clock;
  const std::string& mark = time.wHour < 12 ? format.am : format.pm;
  return format.markFirst ? mark + " " + clock : clock + " " + mark;
}

std::string MakeRequestId(const std::string& team, std::uint32_t tick, const std::string& timeText) {
  return team + "_" + std::to_string(tick) + "_" + timeText + "_Print";
}

}  // namespace lumarix
