// Console key input: the keyboard read raw, without the console's echo, line editing or
// Ctrl+C handling, each key press one integer key code in the manner of the PC BIOS: a
// character key gives its 8-bit code, a special key 256 plus its extended code.
//
// Standard input that is not a console (a file or a pipe) is read as a stream of keys: LF is
// Enter (13), a CR right before it is dropped, every other byte is its own code, and once the
// input has ended every read gives Enter, so that each prompt completes with what it has.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LumarixModules.h"
#include "platform/winapi.h"

namespace lumarix {

using cellstr = std::vector<std::string>;

// The console buffer size of the last buffer-size event; 0 until one arrives.
extern std::int32_t ScreenCols;
extern std::int32_t ScreenRows;

// Takes the standard input handle (run-time error 239 when there is none), saves its mode,
// switches to raw key input and discards what was typed before.
void InitConsoleInput();
// True when a key code (or a buffer-size event) is ready for ReadKey; never blocks on a
// console. Removes the console events that give no key.
bool KeyPressed();
// The next key code, never blocking: -1 when nothing is ready, -2 for a buffer-size event.
std::int32_t ReadKey();
// The key codes a line is edited and ended with.
constexpr std::int32_t kKeyBackspace = 8;
constexpr std::int32_t kKeyEnter = 13;
// The wait result of WaitForSingleObject on the input handle; -1 waits without limit. Returns
// once any console event is pending, so callers loop on it.
std::int32_t WaitForInput(std::int32_t milliseconds);

// The key code of one counting key-down record, by the BIOS-style rules; `windows9x` is the
// platform flag of the Windows 95 family.
std::int32_t KeyCodeOf(const KEY_EVENT_RECORD& key, bool windows9x);

// Puts the saved input mode back (the module's shutdown does this on every exit).
void RestoreConsoleInput();

extern const TModule LumarixVIOModule;

}  // namespace lumarix
