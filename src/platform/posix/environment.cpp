// The program's own path and its environment variables on POSIX.

#include "platform/posix/c_library.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/testing.h"

namespace win32 {
namespace {

constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;

std::mutex moduleFileLock;
std::string* moduleFileOverride = nullptr;

std::string ExecutablePath() {
  {
    std::lock_guard guard(moduleFileLock);
    if (moduleFileOverride) return *moduleFileOverride;
  }
  std::string path(4096, '\0');
  ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length < 0) return {};
  path.resize(static_cast<std::size_t>(length));
  return path;
}

}  // namespace

// As on Windows since Vista: a path that does not fit is cut to size - 1 characters and ended,
// and the result is `size` with ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  if (module != nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::string path = ExecutablePath();
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (size == 0 || fileName == nullptr) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    std::memcpy(fileName, path.data(), size - 1);
    fileName[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(fileName, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

// The value's length when it fits (with its terminating zero) in `size`; otherwise the size it
// needs, the buffer untouched. 0 with ERROR_ENVVAR_NOT_FOUND for an unset variable.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  const char* value = name ? ::getenv(name) : nullptr;
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  std::size_t length = std::strlen(value);
  if (buffer == nullptr || length >= size) return static_cast<DWORD>(length + 1);
  std::memcpy(buffer, value, length + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(length);
}

namespace testing {

void SetModuleFileName(const char* path) {
  std::lock_guard guard(moduleFileLock);
  delete moduleFileOverride;
  moduleFileOverride = path ? new std::string(path) : nullptr;
}

}  // namespace testing
}  // namespace win32
