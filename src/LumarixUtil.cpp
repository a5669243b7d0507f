#include "LumarixUtil.h"

namespace lumarix {

const TModule LumarixUtilModule{nullptr, nullptr};

DWORD ShareMode() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  bool nt = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  return nt ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ | FILE_SHARE_WRITE;
}

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::uint64_t FileTimeOf(const std::string& path) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (IsBadHandle(handle)) return 0;
  FILETIME creation{}, access{}, write{};
  std::uint64_t time = 0;
  if (GetFileTime(handle, &creation, &access, &write)) {
    time = (static_cast<std::uint64_t>(write.dwHighDateTime) << 32) | write.dwLowDateTime;
  }
  if (!CloseFileHandle(handle)) return 0;
  return time;
}

HANDLE OpenForRead(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, ShareMode(), nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                     nullptr);
}

HANDLE OpenForAppend(const std::string& path, bool shared) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, shared ? ShareMode() : 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (IsBadHandle(handle)) return handle;
  if (SetFilePointer(handle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != 0) {
    CloseFileHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

bool ReadExact(HANDLE handle, void* buffer, DWORD count) {
  DWORD done = 0;
  return ReadFile(handle, buffer, count, &done, nullptr) && done == count;
}

bool WriteExact(HANDLE handle, const void* buffer, DWORD count) {
  DWORD done = 0;
  return WriteFile(handle, buffer, count, &done, nullptr) && done == count;
}

bool CloseFileHandle(HANDLE handle) { return CloseHandle(handle) != 0; }

bool IsBadHandle(HANDLE handle) { return handle == nullptr || handle == INVALID_HANDLE_VALUE; }

bool ReadHandleText(HANDLE handle, std::uint32_t limit, bool strict, std::string& text) {
  text.clear();
  DWORD size = GetFileSize(handle, nullptr);
  if (size == INVALID_FILE_SIZE || (size > limit && strict)) {
    CloseFileHandle(handle);
    return false;
  }
  if (size > limit) size = limit;
  std::string contents(size, '\0');
  if (size > 0 && !ReadExact(handle, contents.data(), size)) {
    CloseFileHandle(handle);
    return false;
  }
  if (!CloseFileHandle(handle)) return false;
  text = std::move(contents);
  return true;
}

bool ReadFileText(const std::string& path, std::uint32_t limit, bool strict, std::string& text) {
  HANDLE handle = OpenForRead(path);
  if (IsBadHandle(handle)) return false;
  return ReadHandleText(handle, limit, strict, text);
}

bool WriteText(std::string_view text, HANDLE handle) {
  return text.empty() || WriteExact(handle, text.data(), static_cast<DWORD>(text.size()));
}

bool AppendToFile(std::string_view text, const std::string& path, bool shared) {
  HANDLE handle = OpenForAppend(path, shared);
  if (IsBadHandle(handle)) return false;
  if (!WriteText(text, handle)) {
    CloseFileHandle(handle);
    return false;
  }
  return CloseFileHandle(handle);
}

std::uint32_t TicksSince(std::uint32_t start) { return static_cast<std::uint32_t>(GetTickCount() - start); }

std::string LogText(std::string_view text) {
  std::string out(text.size() * 3, '\0');
  char* write = out.data();
  for (unsigned char byte : text) {
    if (byte >= 0x20) {
      *write++ = static_cast<char>(byte);
    } else {
      *write++ = '#';
      if (byte >= 10) *write++ = static_cast<char>('0' + byte / 10);
      *write++ = static_cast<char>('0' + byte % 10);
    }
  }
  out.resize(static_cast<std::size_t>(write - out.data()));
  return out;
}

}  // namespace lumarix
