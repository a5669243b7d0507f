#include "LumarixVIO.h"

#include <cstring>

#include "LumarixUtil.h"

namespace lumarix {

std::int32_t ScreenCols = 0;
std::int32_t ScreenRows = 0;

namespace {

constexpr DWORD kDefaultInputMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
constexpr DWORD kRawInputMode = ENABLE_WINDOW_INPUT;
constexpr std::int32_t kNoKey = -1;
constexpr std::int32_t kResized = -2;

bool DetectWindows9x() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
}

const bool onWindows9x = DetectWindows9x();  // the platform flag, taken once at process start

struct InputState {
  bool initialised = false;
  HANDLE input = nullptr;
  DWORD savedMode = kDefaultInputMode;
  bool console = false;  // false: standard input is a file or a pipe, read as a stream of keys
  std::int32_t pending = 0;
  INPUT_RECORD current{};
  bool characterTaken = false;
  unsigned char character = 0;
  // The stream of keys.
  std::int32_t streamKey = kNoKey;
  bool streamEnded = false;
  bool afterCarriageReturn = false;
};

InputState state;
cellstr cells;  // the module's string array; the print client never fills it

// The Ctrl keypad values by scan code 71 to 83.
constexpr std::int32_t kCtrlKeypad[] = {119, 141, 132, 142, 115, 143, 116, 144, 117, 145, 118, 146, 147};

bool Counts(const INPUT_RECORD& record) {
  if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) return true;
  return record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown && record.Event.KeyEvent.wRepeatCount > 0;
}

// On the Windows 95 family a plain character is read through ReadConsoleA, which gives it in
// the console's code page.
bool TakenAsCharacter(const INPUT_RECORD& record) {
  if (record.EventType != KEY_EVENT) return false;
  const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
  auto c = static_cast<unsigned char>(key.uChar.AsciiChar);
  bool onlyShiftAndLocks = (key.dwControlKeyState & ~static_cast<DWORD>(0xF0)) == 0;
  return (onlyShiftAndLocks && c >= 32) || (c == '?' && (key.dwControlKeyState & ENHANCED_KEY));
}

bool Nothing() {
  state.pending = 0;
  return false;
}

bool ReadCharacter() {
  char byte = 0;
  DWORD read = 0;
  if (!ReadConsoleA(state.input, &byte, 1, &read, nullptr)) return false;
  state.characterTaken = true;
  state.pending = 1;
  if (read == 0) return Nothing();
  state.character = static_cast<unsigned char>(byte);
  return true;
}

bool ReadRecord() {
  state.characterTaken = false;
  DWORD read = 0;
  if (!ReadConsoleInputA(state.input, &state.current, 1, &read)) return false;
  if (read == 0) return Nothing();
  if (state.current.EventType == KEY_EVENT) {
    KEY_EVENT_RECORD& key = state.current.Event.KeyEvent;
    if ((key.dwControlKeyState & ENHANCED_KEY) && static_cast<unsigned char>(key.uChar.AsciiChar) == 0xE0) {
      key.uChar.AsciiChar = 0;
    }
    state.pending = key.wRepeatCount;
  } else {
    state.pending = 1;
  }
  return true;
}

bool ConsoleKeyPressed() {
  SetConsoleMode(state.input, kRawInputMode);
  for (;;) {
    DWORD events = 0;
    if (!GetNumberOfConsoleInputEvents(state.input, &events)) return false;
    if (events == 0) return Nothing();
    DWORD peeked = 0;
    if (!PeekConsoleInputA(state.input, &state.current, 1, &peeked)) return false;
    if (peeked == 0) return Nothing();
    if (Counts(state.current)) break;
    INPUT_RECORD discarded;
    DWORD removed = 0;
    if (!ReadConsoleInputA(state.input, &discarded, 1, &removed)) return false;
    if (removed == 0) return Nothing();
  }
  if (onWindows9x && TakenAsCharacter(state.current)) return ReadCharacter();
  return ReadRecord();
}

// The next byte of redirected input as a key; Enter for ever once the input has ended.
bool StreamKeyPressed() {
  while (!state.streamEnded) {
    char byte = 0;
    DWORD read = 0;
    if (!ReadFile(state.input, &byte, 1, &read, nullptr) || read == 0) {
      state.streamEnded = true;
      break;
    }
    auto c = static_cast<unsigned char>(byte);
    bool lineFeed = c == '\n';
    bool dropped = lineFeed && state.afterCarriageReturn;
    state.afterCarriageReturn = c == '\r';
    if (dropped) continue;
    state.streamKey = lineFeed ? kKeyEnter : c;
    state.pending = 1;
    return true;
  }
  state.streamKey = kKeyEnter;
  state.pending = 1;
  return true;
}

// Wine's console leaves its terminal's signal keys on, so Ctrl+C becomes a Ctrl+C event even with
// processed input off, and the default handler ends the process at once with exit code 0. The key
// is an ordinary one for the readers, so the process ignores the event while the module is set up.
// On POSIX the terminal's raw mode has ISIG off: no signal comes.
void IgnoreCtrlC(bool ignore) {
#if defined(_WIN32)
  SetConsoleCtrlHandler(nullptr, ignore ? TRUE : FALSE);
#else
  (void)ignore;
#endif
}

void ShutdownConsoleInput() {
  RestoreConsoleInput();
  if (state.initialised) IgnoreCtrlC(false);
  cells.clear();
  cells.shrink_to_fit();
}

}  // namespace

const TModule LumarixVIOModule{nullptr, ShutdownConsoleInput};

void InitConsoleInput() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (IsBadHandle(input)) RunError(239);
  state = InputState{};
  state.input = input;
  DWORD mode = 0;
  state.console = GetConsoleMode(input, &mode) != 0;
  state.savedMode = state.console ? mode : kDefaultInputMode;
  if (state.console) {
    SetConsoleMode(input, kRawInputMode);
    FlushConsoleInputBuffer(input);
  }
  IgnoreCtrlC(true);
  state.initialised = true;
}

void RestoreConsoleInput() {
  if (state.initialised && state.console) SetConsoleMode(state.input, state.savedMode);
}

bool KeyPressed() {
  if (!state.initialised) return false;
  if (state.pending > 0) return true;
  return state.console ? ConsoleKeyPressed() : StreamKeyPressed();
}

std::int32_t ReadKey() {
  if (state.pending == 0) {
    KeyPressed();
    if (state.pending == 0) return kNoKey;
  }
  --state.pending;
  if (!state.console) return state.streamKey;
  if (state.current.EventType == WINDOW_BUFFER_SIZE_EVENT) {
    ScreenCols = state.current.Event.WindowBufferSizeEvent.dwSize.X;
    ScreenRows = state.current.Event.WindowBufferSizeEvent.dwSize.Y;
    return kResized;
  }
  if (state.characterTaken) {
    state.characterTaken = false;
    return state.character;
  }
  return KeyCodeOf(state.current.Event.KeyEvent, onWindows9x);
}

std::int32_t WaitForInput(std::int32_t milliseconds) {
  if (state.initialised && !state.console) return WAIT_OBJECT_0;  // a stream never keeps a reader waiting
  DWORD timeout = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
  return static_cast<std::int32_t>(WaitForSingleObject(state.input, timeout));
}

std::int32_t KeyCodeOf(const KEY_EVENT_RECORD& key, bool windows9x) {
  const std::int32_t s = key.wVirtualScanCode;
  const std::int32_t c = static_cast<unsigned char>(key.uChar.AsciiChar);
  const DWORD k = key.dwControlKeyState;
  const bool enhanced = k & ENHANCED_KEY;
  auto in = [s](std::int32_t low, std::int32_t high) { return s >= low && s <= high; };
  const bool f11OrF12 = s == 87 || s == 88;

  if (k & (RIGHT_ALT_PRESSED | LEFT_ALT_PRESSED)) {
    if (in(2, 13)) return s + 374;
    if (in(59, 68)) return s + 301;
    if (f11OrF12) return s + 308;
    if (in(71, 83) && s != 74 && s != 78) return s + 336;
    if (enhanced && s == 53) return 420;
    return s + 256;
  }
  if (k & (RIGHT_CTRL_PRESSED | LEFT_CTRL_PRESSED)) {
    if (in(71, 83)) return 256 + kCtrlKeypad[s - 71];
    if (s == 7) return 30;
    if (in(59, 68)) return s + 291;
    if (f11OrF12) return s + 306;
    if (s == 15) return 404;
    if (enhanced && s == 53) return 405;
    if (enhanced && s == 55) return 406;
  }
  const bool shift = k & SHIFT_PRESSED;
  if (shift && in(59, 68)) return s + 281;
  if (shift && f11OrF12) return s + 304;
  if (shift && s == 15) return 271;
  if ((shift || (k & CAPSLOCK_ON)) && s == 1 && c == 0 && windows9x) return 27;
  if (f11OrF12) return s + 302;
  if (c != 0) return c;
  return (s % 256) + 256;
}

}  // namespace lumarix
