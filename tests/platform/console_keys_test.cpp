// The terminal's bytes as console key records (POSIX): each encoding, through the key mapping,
// gives the code the same key gives on Windows.
#if !defined(_WIN32)
#include "platform/posix/console_keys.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "LumarixVIO.h"

namespace lumarix {
namespace {

using win32::posix::TerminalKeyDecoder;

std::vector<std::int32_t> CodesOf(const std::string& bytes, bool flush = true) {
  TerminalKeyDecoder decoder;
  std::vector<INPUT_RECORD> records;
  decoder.Feed(bytes, records);
  if (flush) decoder.Flush(records);
  std::vector<std::int32_t> codes;
  for (const INPUT_RECORD& record : records) {
    EXPECT_EQ(record.EventType, KEY_EVENT);
    EXPECT_TRUE(record.Event.KeyEvent.bKeyDown);
    EXPECT_EQ(record.Event.KeyEvent.wRepeatCount, 1);
    codes.push_back(KeyCodeOf(record.Event.KeyEvent, false));
  }
  return codes;
}

struct Encoding {
  const char* what;
  const char* bytes;
  std::vector<std::int32_t> codes;
};

const Encoding kEncodings[] = {
    {"printable and upper half", "aZ ~\xe9", {97, 90, 32, 126, 233}},
    {"Backspace both ways", "\x7f\x08", {8, 8}},
    {"Enter is CR; LF is Ctrl+J, as in a pasted CR LF", "\r\n", {13, 10}},
    {"Tab", "\t", {9}},
    {"Ctrl with letters", "\x01\x03\x1a", {1, 3, 26}},
    {"lone ESC", "\x1b", {27}},
    {"Alt as ESC prefix", "\x1b" "a\x1b" "1\x1b\x7f\x1b\r", {286, 376, 270, 284}},
    {"xterm cursor keys", "\x1b[A\x1b[B\x1b[C\x1b[D\x1b[H\x1b[F", {328, 336, 333, 331, 327, 335}},
    {"application cursor keys", "\x1bOA\x1bOB\x1bOH\x1bOF", {328, 336, 327, 335}},
    {"VT220 editing keys", "\x1b[1~\x1b[2~\x1b[3~\x1b[4~\x1b[5~\x1b[6~", {327, 338, 339, 335, 329, 337}},
    {"rxvt Home and End", "\x1b[7~\x1b[8~", {327, 335}},
    {"F1 to F4 in SS3", "\x1bOP\x1bOQ\x1bOR\x1bOS", {315, 316, 317, 318}},
    {"F1 to F12 in VT220", "\x1b[11~\x1b[15~\x1b[17~\x1b[21~\x1b[23~\x1b[24~", {315, 319, 320, 324, 389, 390}},
    {"Linux console F1 to F5", "\x1b[[A\x1b[[E", {315, 319}},
    {"Shift+Tab", "\x1b[Z", {271}},
    {"modifiers on F keys", "\x1b[1;2P\x1b[1;5P\x1b[1;3P\x1b[23;2~\x1b[24;5~\x1bO2P", {340, 350, 360, 391, 394, 340}},
    {"modifiers on cursor keys", "\x1b[1;5H\x1b[3;5~\x1b[1;3A\x1b[1;5D", {375, 403, 408, 371}},
    {"Alt prefix on a sequence", "\x1b\x1bOP\x1b\x1b[A", {360, 408}},
    {"modifyOtherKeys and CSI u", "\x1b[27;5;9~\x1b[9;5u\x1b[27;2;9~", {404, 404, 271}},
    {"unknown sequences are dropped", "\x1b[?1;2c\x1b[<0;3;4M\x1b[99~x", {120}},
};

class PlatformConsoleKeys : public ::testing::TestWithParam<Encoding> {};

TEST_P(PlatformConsoleKeys, GiveTheWindowsKeyCodes) {
  const Encoding& e = GetParam();
  EXPECT_EQ(CodesOf(e.bytes), e.codes) << e.what;
}

INSTANTIATE_TEST_SUITE_P(Encodings, PlatformConsoleKeys, ::testing::ValuesIn(kEncodings),
                         [](const auto& info) {
                           std::string name;
                           for (char c : std::string(info.param.what)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return std::to_string(info.index) + "_" + name;
                         });

TEST(PlatformConsoleKeys, ControlBytesWithoutLetters) {
  EXPECT_EQ(CodesOf(std::string("\0\x1e\x1c", 3)), (std::vector<std::int32_t>{259, 30, 28}));
}

TEST(PlatformConsoleKeys, AnUnfinishedSequenceWaitsForItsRest) {
  TerminalKeyDecoder decoder;
  std::vector<INPUT_RECORD> records;
  decoder.Feed("x\x1b[1;", records);
  EXPECT_EQ(records.size(), 1u);
  EXPECT_TRUE(decoder.Holding());
  decoder.Feed("5A", records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_FALSE(decoder.Holding());
  EXPECT_EQ(KeyCodeOf(records[1].Event.KeyEvent, false), 397);  // Ctrl+Up
}

// A slow remote link may split a key's sequence across reads, with pauses longer than the Esc
// key's delay between the pieces.
TEST(PlatformConsoleKeys, ASequenceSplitAcrossReadsStillGivesOneKey) {
  using namespace std::chrono_literals;
  const TerminalKeyDecoder::Clock::time_point start{};
  for (std::string begun : {"\x1b[", "\x1bO", "\x1b\x1b["}) {
    SCOPED_TRACE(begun.substr(1));
    TerminalKeyDecoder decoder;
    std::vector<INPUT_RECORD> records;
    decoder.Feed(begun, records, start);
    decoder.Expire(start + 900ms, records);
    decoder.Feed(begun.back() == 'O' ? "5" : "1;5", records, start + 900ms);
    decoder.Expire(start + 1800ms, records);  // each byte that comes gives the rest time again
    EXPECT_TRUE(records.empty());
    decoder.Feed("A", records, start + 1800ms);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(KeyCodeOf(records[0].Event.KeyEvent, false), begun.size() == 3 ? 408 : 397);  // (Alt+)Ctrl+Up
  }
}

TEST(PlatformConsoleKeys, ALoneEscIsEscAfterItsShortDelayAndAStalledSequenceAfterTheLongOne) {
  using namespace std::chrono_literals;
  const TerminalKeyDecoder::Clock::time_point start{};
  TerminalKeyDecoder decoder;
  std::vector<INPUT_RECORD> records;
  decoder.Feed("\x1b", records, start);
  EXPECT_EQ(decoder.DelayLeft(start + 20ms), 30ms);
  decoder.Expire(start + 49ms, records);
  EXPECT_TRUE(records.empty());
  decoder.Expire(start + 50ms, records);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(KeyCodeOf(records[0].Event.KeyEvent, false), 27);

  decoder.Feed("\x1b[", records, start + 100ms);
  decoder.Expire(start + 1099ms, records);
  EXPECT_EQ(records.size(), 1u);
  decoder.Expire(start + 1100ms, records);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(KeyCodeOf(records[1].Event.KeyEvent, false), 282);  // taken as typed: Alt+[
  EXPECT_FALSE(decoder.Holding());
  EXPECT_EQ(decoder.DelayLeft(start + 1100ms), 0ms);
}

TEST(PlatformConsoleKeys, ACutShortSequenceIsTakenAsTyped) {
  EXPECT_EQ(CodesOf("\x1b["), (std::vector<std::int32_t>{282}));        // Alt+[
  EXPECT_EQ(CodesOf("\x1b\x1b"), (std::vector<std::int32_t>{27, 27}));  // Esc twice
  EXPECT_EQ(CodesOf("\x1b[1;5", true), (std::vector<std::int32_t>{282, 49, 59, 53}));
}

TEST(PlatformConsoleKeys, RecordsCarryScanCodeCharacterAndState) {
  TerminalKeyDecoder decoder;
  std::vector<INPUT_RECORD> records;
  decoder.Feed("A\x1b[1;6B", records);
  ASSERT_EQ(records.size(), 2u);
  const KEY_EVENT_RECORD& letter = records[0].Event.KeyEvent;
  EXPECT_EQ(letter.wVirtualScanCode, 30);
  EXPECT_EQ(letter.wVirtualKeyCode, 'A');
  EXPECT_EQ(letter.uChar.AsciiChar, 'A');
  EXPECT_EQ(letter.dwControlKeyState, SHIFT_PRESSED);
  const KEY_EVENT_RECORD& down = records[1].Event.KeyEvent;
  EXPECT_EQ(down.wVirtualScanCode, 80);
  EXPECT_EQ(down.uChar.AsciiChar, 0);
  EXPECT_EQ(down.dwControlKeyState, SHIFT_PRESSED | LEFT_CTRL_PRESSED | ENHANCED_KEY);
}

}  // namespace
}  // namespace lumarix
#endif
