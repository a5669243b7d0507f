// Internal: the handle table of the POSIX Win32 layer.
//
// A HANDLE is a number, never a pointer: it names an entry of this table, and every use looks
// the entry up and checks its kind. A stale, foreign or wrong-kind handle therefore gives the
// Windows error result (ERROR_INVALID_HANDLE) instead of touching freed memory. Numbers are
// multiples of 4, as on Windows, and are not reused while the process runs.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/win32.h"

namespace win32::posix {

struct HandleObject {
  virtual ~HandleObject() = default;
  // Called once when the last handle to the object is closed.
  virtual bool Close() { return true; }
  // WaitForSingleObject on the handle: WAIT_OBJECT_0 once the object is signalled,
  // WAIT_TIMEOUT after `milliseconds` (INFINITE: no limit). Kinds that cannot be waited on keep
  // this default, which fails as Windows does.
  virtual DWORD Wait(DWORD milliseconds);
};

// A handle over one of the process's standard descriptors, read and written as a file;
// closing it leaves the descriptor open.
HANDLE InsertStreamHandle(int fd);

HANDLE InsertHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle);

// The object behind a handle when it has the wanted kind; otherwise null, the last error left
// as it was (for callers that set their own, or none).
template <class T>
std::shared_ptr<T> LookupAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// The object behind a handle when it has the wanted kind; otherwise null with
// ERROR_INVALID_HANDLE set.
template <class T>
std::shared_ptr<T> HandleAs(HANDLE handle) {
  auto object = LookupAs<T>(handle);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}

// An object that WaitForSingleObject and WaitForMultipleObjects can wait for. Every waitable
// object's state is guarded by the one WaitLock, so that a wait for several objects sees them
// all at one instant; whoever changes a state calls WaitChanged().notify_all() under the lock.
struct Waitable : HandleObject {
  virtual bool Signalled() const = 0;
  // The wait that returns this object takes it: an auto-reset event clears itself.
  virtual void Acquire() {}
  DWORD Wait(DWORD milliseconds) override;
};
// Waits until one (or, with `waitAll`, every) object is signalled: the WAIT_OBJECT_0-based
// index of the first in order, or WAIT_TIMEOUT.
DWORD WaitForObjects(const std::vector<Waitable*>& objects, bool waitAll, DWORD milliseconds);
std::mutex& WaitLock();
std::condition_variable& WaitChanged();

// Maps an errno value to the Win32 error code closest to it.
DWORD ErrorFromErrno(int error);
// SetLastError(ErrorFromErrno(errno)).
void SetLastErrorFromErrno();

}  // namespace win32::posix
