// File and text utilities: whole-file reads and appends over the Win32 file interface, exact
// reads and writes, elapsed ticks and the printable form of a text for log lines. Failures are
// reported by results (false, 0 or a bad handle), never by exceptions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "LumarixModules.h"
#include "platform/winapi.h"

namespace lumarix {

// The separator of directories in a path on this platform.
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// FILE_SHARE_READ | FILE_SHARE_WRITE, with FILE_SHARE_DELETE on the NT family.
DWORD ShareMode();
// True when the path names anything, a directory included.
bool FileExists(const std::string& path);
// The last-write FILETIME as one number; 0 when it cannot be read.
std::uint64_t FileTimeOf(const std::string& path);

HANDLE OpenForRead(const std::string& path);
// Opens or creates the file, positioned at its end; `shared` lets other openers in.
HANDLE OpenForAppend(const std::string& path, bool shared);
bool ReadExact(HANDLE handle, void* buffer, DWORD count);
bool WriteExact(HANDLE handle, const void* buffer, DWORD count);
bool CloseFileHandle(HANDLE handle);
// True for 0 and INVALID_HANDLE_VALUE only.
bool IsBadHandle(HANDLE handle);

// Reads a whole open file into `text` (at most `limit` bytes; a larger file fails when
// `strict`) and always closes the handle. On failure `text` is empty.
bool ReadHandleText(HANDLE handle, std::uint32_t limit, bool strict, std::string& text);
// As ReadHandleText on the opened path; a path that cannot be opened leaves `text` as it was.
bool ReadFileText(const std::string& path, std::uint32_t limit, bool strict, std::string& text);
bool WriteText(std::string_view text, HANDLE handle);
bool AppendToFile(std::string_view text, const std::string& path, bool shared);

// Milliseconds since `start`, right across one wrap of the tick counter.
std::uint32_t TicksSince(std::uint32_t start);
// Bytes below 0x20 become "#" and their decimal value; every other byte stays.
std::string LogText(std::string_view text);

extern const TModule LumarixUtilModule;

}  // namespace lumarix
