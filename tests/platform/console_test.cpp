// The console reader at a real pseudo-terminal and over a pipe (POSIX): what the person sees,
// what the readers return, and the terminal's mode after every way the process ends.
#if !defined(_WIN32)
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "LumarixVIO.h"
#include "client/line_reader.h"
#include "platform/posix/testing.h"
#include "support/child_process.h"

namespace lumarix {
namespace {

using testing::ChildProcess;
using Input = ChildProcess::Input;

void Say(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

// Sets the console up, tells the test it is ready, and reads lines until "end", echoing each
// back in brackets.
int LineDialogue() {
  StartModules({&LumarixVIOModule});
  InitConsoleInput();
  Say("READY\n");
  for (int round = 0; round < 20; ++round) {
    std::string line;
    ReadConsoleLine(line);
    Say("[" + line + "]\n");
    if (line == "end" || line.empty()) return 0;
  }
  return 1;
}

bool Cooked(const struct termios& mode) { return (mode.c_lflag & ICANON) && (mode.c_lflag & ECHO) && (mode.c_lflag & ISIG); }

TEST(PlatformConsole, LineReaderEchoesEditsAndEnds) {
  ChildProcess child(Input::Terminal, LineDialogue);
  ASSERT_TRUE(child.WaitFor("READY\r\n"));
  child.Type("\x7f" "ab\x7f" "c\x03\r");  // backspace on an empty line, then on "ab"; Ctrl+C ignored
  ASSERT_TRUE(child.WaitFor("[ac]\r\n"));
  child.Resize(40, 100);
  child.Type("x\x08y");
  ASSERT_TRUE(child.WaitFor("y"));
  child.Resize(30, 90);
  child.Type("z\n\r");  // LF is Ctrl+J, ignored: a pasted CR LF ends the line once
  ASSERT_TRUE(child.WaitFor("[yz]\r\n"));
  child.Type("end\r");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.Screen(), "READY\r\nab\b \bc\r\n[ac]\r\nx\b \byz\r\n[yz]\r\nend\r\n[end]\r\n");
  EXPECT_TRUE(Cooked(child.TerminalMode()));
}

TEST(PlatformConsole, PipedInputPrintsWhatTheSameKeysTypedPrint) {
  ChildProcess typed(Input::Terminal, LineDialogue);
  ASSERT_TRUE(typed.WaitFor("READY\r\n"));
  typed.Type("ab\x7f" "c\rend\r");
  ASSERT_EQ(typed.Wait(), 0);

  ChildProcess piped(Input::Pipe, LineDialogue, "ab\x08" "c\r\nend\n");
  ASSERT_EQ(piped.Wait(), 0);
  EXPECT_EQ(piped.Screen(), typed.Screen());
}

TEST(PlatformConsole, UnterminatedLastLineAndEmptyInputEndWithEnter) {
  ChildProcess unterminated(Input::Pipe, LineDialogue, "first\r\nlast");
  EXPECT_EQ(unterminated.Wait(), 0);
  EXPECT_EQ(unterminated.Screen(), "READY\r\nfirst\r\n[first]\r\nlast\r\n[last]\r\n\r\n[]\r\n");

  ChildProcess empty(Input::Pipe, LineDialogue, "");
  EXPECT_EQ(empty.Wait(), 0);
  EXPECT_EQ(empty.Screen(), "READY\r\n\r\n[]\r\n");
}

// Prints each key code as it arrives until 'q'; a resize also prints the new size.
int KeyCodeDialogue() {
  StartModules({&LumarixVIOModule});
  InitConsoleInput();
  Say("READY\n");
  for (int round = 0; round < 100; ++round) {
    WaitForInput(-1);
    std::int32_t key = ReadKey();
    if (key == -1) continue;
    Say(std::to_string(key) + (key == -2 ? "(" + std::to_string(ScreenCols) + "x" + std::to_string(ScreenRows) + ")" : "") + " ");
    if (key == 'q') return 0;
  }
  return 1;
}

TEST(PlatformConsole, KeysGiveTheConsoleKeyCodes) {
  ChildProcess child(Input::Terminal, KeyCodeDialogue);
  ASSERT_TRUE(child.WaitFor("READY\r\n"));
  child.Type("\x1bOP\x1b[A\x1b[Z\x1b[1;3P\x1b[1;5H\x1b[[A\x1b[24~\x1b" "a\x03" "A\xe9");
  ASSERT_TRUE(child.WaitFor("315 328 271 360 375 315 390 286 3 65 233 "));
  child.Type("\x7f\r");  // the keys a line and a password are edited and ended with
  ASSERT_TRUE(child.WaitFor(std::to_string(kKeyBackspace) + " " + std::to_string(kKeyEnter) + " "));
  child.Type("\x1b");  // a lone ESC is the Esc key once the rest of a sequence fails to come
  ASSERT_TRUE(child.WaitFor("27 "));
  child.Resize(33, 101);
  ASSERT_TRUE(child.WaitFor("-2(101x33) "));
  child.Type("q");
  EXPECT_EQ(child.Wait(), 0);
}

INPUT_RECORD KeyRecord(BOOL down, WORD repeat, WORD scan, char c) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down;
  record.Event.KeyEvent.wRepeatCount = repeat;
  record.Event.KeyEvent.wVirtualScanCode = scan;
  record.Event.KeyEvent.uChar.AsciiChar = c;
  return record;
}

// Records the terminal cannot make (releases, focus and menu events, repeat counts).
int InjectedRecordsDialogue() {
  StartModules({&LumarixVIOModule});
  InitConsoleInput();
  std::string out;
  out += "idle:" + std::to_string(WaitForInput(50)) + " ";
  INPUT_RECORD release = KeyRecord(FALSE, 1, 30, 'a');
  win32::testing::InjectConsoleInput(&release, 1);
  std::int32_t woken = WaitForInput(0);  // a release wakes the wait but gives no key
  out += "release:" + std::to_string(woken) + ",";
  out += std::to_string(ReadKey()) + " ";
  INPUT_RECORD records[5] = {KeyRecord(TRUE, 0, 30, 'a'), {}, {}, KeyRecord(TRUE, 3, 30, 'a'), {}};
  records[1].EventType = FOCUS_EVENT;
  records[2].EventType = MENU_EVENT;
  records[4].EventType = WINDOW_BUFFER_SIZE_EVENT;
  records[4].Event.WindowBufferSizeEvent.dwSize = COORD{120, -3};
  win32::testing::InjectConsoleInput(records, 5);
  out += "keys:";
  for (int i = 0; i < 6; ++i) out += std::to_string(ReadKey()) + " ";
  out += "size:" + std::to_string(ScreenCols) + "x" + std::to_string(ScreenRows) + "\n";
  Say(out);
  return 0;
}

TEST(PlatformConsole, KeyPressedDiscardsWhatGivesNoKeyAndRepeats) {
  ChildProcess child(Input::Terminal, InjectedRecordsDialogue);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(child.Screen(), "idle:258 release:0,-1 keys:97 97 97 -2 -1 -1 size:120x-3\r\n");
}

// Every way out of the process leaves the terminal as it found it.
struct ExitPath {
  const char* name;
  void (*leave)();
  int expected;
};

const ExitPath kExitPaths[] = {
    {"Halt", [] { Halt(7); }, 7},
    {"RunError", [] { RunError(239); }, 239},
    {"Assertion", [] { AssertionFailure({"LumarixVIO", 1}); }, 1},
    {"ExitWithoutHalt", [] { std::exit(3); }, 3},
};

class PlatformConsole : public ::testing::TestWithParam<ExitPath> {};

TEST_P(PlatformConsole, EveryExitPathRestoresTheTerminalMode) {
  static void (*leave)();
  leave = GetParam().leave;
  ChildProcess child(Input::Terminal, [] {
    StartModules({&LumarixVIOModule});
    InitConsoleInput();
    Say("RAW\n");
    while (ReadKey() == -1) WaitForInput(-1);
    leave();
    return 0;
  });
  ASSERT_TRUE(child.WaitFor("RAW\r\n"));
  EXPECT_FALSE(child.TerminalMode().c_lflag & (ECHO | ICANON | ISIG));
  child.Type("x");
  EXPECT_EQ(child.Wait(), GetParam().expected);
  EXPECT_TRUE(Cooked(child.TerminalMode()));
}

INSTANTIATE_TEST_SUITE_P(All, PlatformConsole, ::testing::ValuesIn(kExitPaths),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PlatformConsole, TerminationSignalRestoresTheTerminalMode) {
  ChildProcess child(Input::Terminal, LineDialogue);
  ASSERT_TRUE(child.WaitFor("READY\r\n"));
  EXPECT_FALSE(child.TerminalMode().c_lflag & ECHO);
  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(), 128 + SIGTERM);
  EXPECT_TRUE(Cooked(child.TerminalMode()));
}

TEST(PlatformConsole, AHungUpTerminalGivesEnterInsteadOfWaitingForEver) {
  ChildProcess child(Input::Terminal, [] {
    ::signal(SIGHUP, SIG_IGN);  // as a process without this terminal as its controlling one
    return LineDialogue();
  });
  ASSERT_TRUE(child.WaitFor("READY\r\n"));
  child.Type("abc");
  ASSERT_TRUE(child.WaitFor("abc"));
  child.HangUp();
  EXPECT_EQ(child.Wait(), 0);  // "abc", then the empty line that ends the dialogue
}

TEST(PlatformConsole, NoStandardInputIsRunTimeError239) {
  ChildProcess child(Input::Closed, [] {
    InitConsoleInput();
    return 0;
  });
  EXPECT_EQ(child.Wait(), 239);
  EXPECT_EQ(child.Screen(), "Runtime error 239\r\n");
}

}  // namespace
}  // namespace lumarix
#endif
