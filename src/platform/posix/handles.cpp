#include "platform/posix/handles.h"

#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace win32 {
namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<posix::HandleObject>> entries;
  std::uintptr_t next = 0x100;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives every static destructor
  return *table;
}

std::uintptr_t KeyOf(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD code) { lastError = code; }

BOOL CloseHandle(HANDLE handle) {
  auto object = posix::RemoveHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return object->Close() ? TRUE : FALSE;
}

// ---- Waiting on a handle
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = posix::LookupHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(milliseconds);
}

namespace posix {

DWORD HandleObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HANDLE InsertHandle(std::shared_ptr<HandleObject> object) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  std::uintptr_t key = table.next;
  table.next += 4;
  table.entries.emplace(key, std::move(object));
  return reinterpret_cast<HANDLE>(key);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  auto found = table.entries.find(KeyOf(handle));
  return found == table.entries.end() ? nullptr : found->second;
}

std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  auto found = table.entries.find(KeyOf(handle));
  if (found == table.entries.end()) return nullptr;
  auto object = std::move(found->second);
  table.entries.erase(found);
  return object;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_INVALID_PARAMETER;
  }
}

void SetLastErrorFromErrno() { SetLastError(ErrorFromErrno(errno)); }

}  // namespace posix
}  // namespace win32
