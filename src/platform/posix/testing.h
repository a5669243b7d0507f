// Test control of the POSIX Win32 layer: lets tests make platform calls behave in ways a real
// machine rarely shows on demand. Used only by tests; system code never includes it.
#pragma once

#include "platform/posix/win32.h"

namespace win32::testing {

// From now on GetTickCount gives `value`; when `running` it then advances with the real clock,
// otherwise it stays at `value` until the next call.
void SetTickCount(DWORD value, bool running = false);
// GetTickCount follows the real clock again.
void ReleaseTickCount();

// GetLocaleInfoA's time items as a locale whose LC_TIME has this strftime time pattern and
// these designators would give them.
void SetTimeFormat(const char* pattern, const char* am, const char* pm);
// The items come from the user's LC_TIME again.
void ReleaseTimeFormat();

// From now on GetModuleFileNameA(nullptr, ...) gives `path`; nullptr gives back the real one.
void SetModuleFileName(const char* path);

// Appends records to the console input of the standard input handle, as if the console had
// reported them; false when standard input is not a terminal.
bool InjectConsoleInput(const INPUT_RECORD* records, DWORD count);

// The next `times` calls of WSAStartup fail with `error`; 0 times ends it.
void FailWSAStartup(int error, int times);
// The next `times` calls of WSACleanup fail with `error` (WSAGetLastError).
void FailWSACleanup(int error, int times);
// The next `times` calls of the system's accept under accept fail with the POSIX `error`
// before they reach the system; 0 times ends it.
void FailAccept(int posixError, int times);
// The next `times` calls of CreateWindowExA fail, as when the system has no room for a window.
void FailCreateWindow(int times);
// The next `times` calls of GetMessageA fail with -1. A thread already waiting in GetMessageA
// is not disturbed: its next call fails.
void FailGetMessage(int times);
// Two connected TCP sockets on 127.0.0.1, for tests that need a peer before connect and
// accept exist. False when the pair cannot be made.
bool ConnectedPair(SOCKET& first, SOCKET& second);

}  // namespace win32::testing
