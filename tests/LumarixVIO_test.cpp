// The key mapping: a pure function of one key record and the platform flag, checked rule by
// rule against the BIOS-style codes.
#include "LumarixVIO.h"

#include <gtest/gtest.h>


namespace lumarix {
namespace {

constexpr DWORD kAlt = LEFT_ALT_PRESSED;
constexpr DWORD kRightAlt = RIGHT_ALT_PRESSED;
constexpr DWORD kCtrl = LEFT_CTRL_PRESSED;
constexpr DWORD kRightCtrl = RIGHT_CTRL_PRESSED;
constexpr DWORD kShift = SHIFT_PRESSED;
constexpr DWORD kEnhanced = ENHANCED_KEY;

struct KeyCase {
  const char* what;
  WORD scan;
  unsigned char ch;
  DWORD state;
  bool windows9x;
  std::int32_t code;
};

KEY_EVENT_RECORD Key(WORD scan, unsigned char ch, DWORD state) {
  KEY_EVENT_RECORD key{};
  key.bKeyDown = TRUE;
  key.wRepeatCount = 1;
  key.wVirtualScanCode = scan;
  key.uChar.AsciiChar = static_cast<CHAR>(ch);
  key.dwControlKeyState = state;
  return key;
}

const KeyCase kCases[] = {
    // Alt: never a character.
    {"Alt+1 (rule 1)", 2, '1', kAlt, false, 376},
    {"Alt+= (rule 1)", 13, '=', kRightAlt, false, 387},
    {"Alt+F1 (rule 2)", 59, 0, kAlt, false, 360},
    {"Alt+F10 (rule 2)", 68, 0, kAlt, false, 369},
    {"Alt+F11 (rule 3)", 87, 0, kAlt, false, 395},
    {"Alt+F12 (rule 3)", 88, 0, kAlt, false, 396},
    {"Alt+Home (rule 4)", 71, 0, kAlt | kEnhanced, false, 407},
    {"Alt+Del (rule 4)", 83, 0, kAlt | kEnhanced, false, 419},
    {"Alt+keypad minus is not rule 4", 74, '-', kAlt, false, 330},
    {"Alt+keypad plus is not rule 4", 78, '+', kAlt, false, 334},
    {"Alt+keypad slash (rule 5)", 53, '/', kAlt | kEnhanced, false, 420},
    {"Alt+slash (rule 6)", 53, '/', kAlt, false, 309},
    {"Alt+a (rule 6)", 30, 'a', kAlt, false, 286},
    {"Alt beats Ctrl", 59, 0, kAlt | kCtrl, false, 360},
    // Ctrl.
    {"Ctrl+6 (rule 8)", 7, 0x1E, kCtrl, false, 30},
    {"Ctrl+F1 (rule 9)", 59, 0, kCtrl, false, 350},
    {"Ctrl+F10 (rule 9)", 68, 0, kRightCtrl, false, 359},
    {"Ctrl+F11 (rule 10)", 87, 0, kCtrl, false, 393},
    {"Ctrl+F12 (rule 10)", 88, 0, kCtrl, false, 394},
    {"Ctrl+Tab (rule 11)", 15, 9, kCtrl, false, 404},
    {"Ctrl+keypad slash (rule 12)", 53, '/', kCtrl | kEnhanced, false, 405},
    {"Ctrl+slash is not rule 12", 53, 0x1F, kCtrl, false, 31},
    {"Ctrl+enhanced 55 (rule 13)", 55, 0, kCtrl | kEnhanced, false, 406},
    {"Ctrl+C falls through to the character", 46, 3, kCtrl, false, 3},
    {"Ctrl+Shift+F1 is Ctrl", 59, 0, kCtrl | kShift, false, 350},
    {"Ctrl+2 gives its scan code", 3, 0, kCtrl, false, 259},
    // Shift.
    {"Shift+F1 (rule 14)", 59, 0, kShift, false, 340},
    {"Shift+F10 (rule 14)", 68, 0, kShift, false, 349},
    {"Shift+F11 (rule 15)", 87, 0, kShift, false, 391},
    {"Shift+F12 (rule 15)", 88, 0, kShift, false, 392},
    {"Shift+Tab (rule 16)", 15, 9, kShift, false, 271},
    {"Shift+A is the character", 30, 'A', kShift, false, 65},
    // The Windows 95 family (rule 17).
    {"Shift+Esc without character on 9x", 1, 0, kShift, true, 27},
    {"CapsLock+Esc without character on 9x", 1, 0, CAPSLOCK_ON, true, 27},
    {"Shift+Esc without character on NT", 1, 0, kShift, false, 257},
    {"Shift+Esc with character on 9x", 1, 27, kShift, true, 27},
    // Alone.
    {"F11 (rule 18)", 87, 0, 0, false, 389},
    {"F12 (rule 18)", 88, 0, 0, false, 390},
    {"a (rule 19)", 30, 'a', 0, false, 97},
    {"byte 233 (rule 19)", 0, 0xE9, 0, false, 233},
    {"Enter (rule 19)", 28, 13, 0, false, kKeyEnter},
    {"F1 (rule 20)", 59, 0, 0, false, 315},
    {"F10 (rule 20)", 68, 0, 0, false, 324},
    {"Home (rule 20)", 71, 0, kEnhanced, false, 327},
    {"Up (rule 20)", 72, 0, kEnhanced, false, 328},
    {"PgUp (rule 20)", 73, 0, kEnhanced, false, 329},
    {"Left (rule 20)", 75, 0, kEnhanced, false, 331},
    {"Right (rule 20)", 77, 0, kEnhanced, false, 333},
    {"End (rule 20)", 79, 0, kEnhanced, false, 335},
    {"Down (rule 20)", 80, 0, kEnhanced, false, 336},
    {"PgDn (rule 20)", 81, 0, kEnhanced, false, 337},
    {"Ins (rule 20)", 82, 0, kEnhanced, false, 338},
    {"Del (rule 20)", 83, 0, kEnhanced, false, 339},
    {"scan code above 255 wraps (rule 20)", 0x13B, 0, 0, false, 315},
    {"Num Lock does not count", 72, 0, NUMLOCK_ON | SCROLLLOCK_ON, false, 328},
};

// One test for the whole table: each test runs in a process of its own, under Wine too.
TEST(LumarixVIO, KeyMappingEveryRuleGivesTheBiosCode) {
  for (const KeyCase& c : kCases) {
    EXPECT_EQ(KeyCodeOf(Key(c.scan, c.ch, c.state), c.windows9x), c.code) << c.what;
  }
}

TEST(LumarixVIO, KeyMappingCtrlKeypadValues) {
  const std::int32_t expected[] = {375, 397, 388, 398, 371, 399, 372, 400, 373, 401, 374, 402, 403};
  for (WORD scan = 71; scan <= 83; ++scan) {
    EXPECT_EQ(KeyCodeOf(Key(scan, 0, kCtrl | kEnhanced), false), expected[scan - 71]) << scan;
    EXPECT_EQ(KeyCodeOf(Key(scan, 0, kRightCtrl), true), expected[scan - 71]) << scan;
  }
}

TEST(LumarixVIO, KeyMappingBeforeSetUpNothingIsPending) {
  EXPECT_FALSE(KeyPressed());
  EXPECT_EQ(ReadKey(), -1);
}

}  // namespace
}  // namespace lumarix
