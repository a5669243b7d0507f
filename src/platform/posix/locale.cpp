// The time-format items of the user's locale, read from LC_TIME.
//
// Windows describes its long time format by items (12- or 24-hour clock, leading zero, the
// separator, the AM/PM designators and where they stand); POSIX gives a strftime pattern
// instead. The pattern of the user's locale is read once and taken apart into those items, so
// that a client builds the same time text on both systems for the same settings.

#include "platform/posix/c_library.h"

#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "platform/posix/testing.h"

namespace win32 {
namespace {

struct TimeItems {
  bool twentyFourHours = true;
  bool leadingZero = true;
  bool markFirst = false;
  std::string separator = ":";
  std::string am = "AM";
  std::string pm = "PM";
};

// Expands the composite conversions that stand for whole time layouts.
std::string Expand(const std::string& pattern, const char* ampmPattern) {
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      out += pattern[i];
      continue;
    }
    char conversion = pattern[++i];
    if (conversion == 'E' || conversion == 'O') {  // alternative forms: the plain one will do
      if (i + 1 == pattern.size()) break;
      conversion = pattern[++i];
    }
    if (conversion == 'T') out += "%H:%M:%S";
    else if (conversion == 'R') out += "%H:%M";
    else if (conversion == 'r') out += ampmPattern && *ampmPattern ? ampmPattern : "%I:%M:%S %p";
    else out += std::string("%") + conversion;
  }
  return out;
}

TimeItems ItemsFromPattern(const std::string& pattern) {
  TimeItems items;
  std::size_t hour = std::string::npos;
  for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    char conversion = pattern[i + 1];
    if (hour == std::string::npos && std::strchr("HkIl", conversion)) {
      hour = i;
      items.twentyFourHours = conversion == 'H' || conversion == 'k';
      items.leadingZero = conversion == 'H' || conversion == 'I';
      // The separator is what stands between the hour and the next conversion.
      std::size_t next = pattern.find('%', i + 2);
      std::string between = pattern.substr(i + 2, next == std::string::npos ? std::string::npos : next - i - 2);
      // A separator of several bytes (UTF-8) is kept whole.
      if (!between.empty()) items.separator = between;
    }
    if (conversion == 'p' || conversion == 'P') items.markFirst = hour == std::string::npos;
    ++i;
  }
  return items;
}

TimeItems ReadTimeItems() {
  TimeItems items;
  locale_t locale = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return items;
  items = ItemsFromPattern(Expand(::nl_langinfo_l(T_FMT, locale), ::nl_langinfo_l(T_FMT_AMPM, locale)));
  const char* am = ::nl_langinfo_l(AM_STR, locale);
  const char* pm = ::nl_langinfo_l(PM_STR, locale);
  if (am && *am) items.am = am;
  if (pm && *pm) items.pm = pm;
  ::freelocale(locale);
  return items;
}

std::mutex itemsLock;
std::optional<TimeItems> userItems;

TimeItems UserTimeItems() {
  std::lock_guard guard(itemsLock);
  if (!userItems) userItems = ReadTimeItems();
  return *userItems;
}

std::string ItemText(LCTYPE type) {
  const TimeItems items = UserTimeItems();
  switch (type) {
    case LOCALE_STIME: return items.separator;
    case LOCALE_ITIME: return items.twentyFourHours ? "1" : "0";
    case LOCALE_ITLZERO: return items.leadingZero ? "1" : "0";
    case LOCALE_S1159: return items.am;
    case LOCALE_S2359: return items.pm;
    case LOCALE_ITIMEMARKPOSN: return items.markFirst ? "1" : "0";
    default: return {};
  }
}

bool KnownItem(LCTYPE type) {
  switch (type) {
    case LOCALE_STIME:
    case LOCALE_ITIME:
    case LOCALE_ITLZERO:
    case LOCALE_S1159:
    case LOCALE_S2359:
    case LOCALE_ITIMEMARKPOSN: return true;
    default: return false;
  }
}

}  // namespace

// As on Windows: the result counts the terminating zero; a size of 0 asks for the size needed.
int GetLocaleInfoA(LCID, LCTYPE type, LPSTR data, int size) {
  if (!KnownItem(type) || size < 0 || (size > 0 && data == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string text = ItemText(type);
  int needed = static_cast<int>(text.size()) + 1;
  if (size == 0) return needed;
  if (size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(data, text.c_str(), static_cast<std::size_t>(needed));
  return needed;
}

namespace testing {

void SetTimeFormat(const char* pattern, const char* am, const char* pm) {
  TimeItems items = ItemsFromPattern(Expand(pattern, nullptr));
  items.am = am;
  items.pm = pm;
  std::lock_guard guard(itemsLock);
  userItems = items;
}

void ReleaseTimeFormat() {
  std::lock_guard guard(itemsLock);
  userItems.reset();
}

}  // namespace testing
}  // namespace win32
