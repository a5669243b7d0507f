#include "platform/posix/handles.h"

#include <cerrno>
#include <chrono>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kept_alive.h"

namespace win32 {
namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<posix::HandleObject>> entries;
  std::uintptr_t next = 0x100;
};

HandleTable& Table() {
  static lumarix::KeptAlive<HandleTable> table;
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

// ---- Events, waits and threads -------------------------------------------------------------
//
// One lock and one condition variable serve every waitable object: waits here are few and
// short-lived, and one lock makes "wait for any of these" exact without per-object wiring.

namespace win32 {
namespace {

class Event : public posix::Waitable {
 public:
  Event(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}
  bool Signalled() const override { return signalled_; }
  void Acquire() override {
    if (!manualReset_) signalled_ = false;
  }
  void Set() { signalled_ = true; }

 private:
  const bool manualReset_;
  bool signalled_;
};

// A thread handle is signalled once the thread has ended: its start routine has returned and
// its thread-local objects are gone, as on Windows, where the handle is signalled only after
// the thread's exit has run.
class Thread : public posix::Waitable {
 public:
  bool Signalled() const override { return finished_; }
  void Finish() { finished_ = true; }

 private:
  bool finished_ = false;
};

// Made first on a new thread, so that its destructor runs after those of every other
// thread-local object of that thread.
struct ThreadEnd {
  std::shared_ptr<Thread> thread;
  ~ThreadEnd() {
    if (!thread) return;
    std::lock_guard guard(posix::WaitLock());
    thread->Finish();
    posix::WaitChanged().notify_all();
  }
};

using Clock = std::chrono::steady_clock;

// The index of the object a wait is satisfied by, or -1; takes the objects it returns.
int TrySatisfy(const std::vector<posix::Waitable*>& objects, bool waitAll) {
  if (waitAll) {
    for (const auto& object : objects) {
      if (!object->Signalled()) return -1;
    }
    for (const auto& object : objects) object->Acquire();
    return 0;
  }
  for (std::size_t i = 0; i < objects.size(); ++i) {
    if (objects[i]->Signalled()) {
      objects[i]->Acquire();
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace

namespace posix {

std::mutex& WaitLock() {
  static lumarix::KeptAlive<std::mutex> lock;  // threads may still be waiting at exit
  return *lock;
}

std::condition_variable& WaitChanged() {
  static lumarix::KeptAlive<std::condition_variable> changed;
  return *changed;
}

}  // namespace posix

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (name) {  // named events are not part of the subset
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return posix::InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
  auto event = posix::HandleAs<Event>(handle);
  if (!event) return FALSE;
  {
    std::lock_guard guard(posix::WaitLock());
    event->Set();
  }
  // After the lock is let go, so that a waiter does not wake only to wait for it.
  posix::WaitChanged().notify_all();
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<posix::Waitable>> objects;
  for (DWORD i = 0; i < count; ++i) {
    auto object = posix::HandleAs<posix::Waitable>(handles[i]);
    if (!object) return WAIT_FAILED;
    objects.push_back(std::move(object));
  }
  std::vector<posix::Waitable*> waited;
  for (const auto& object : objects) waited.push_back(object.get());
  return posix::WaitForObjects(waited, waitAll != FALSE, milliseconds);
}

namespace posix {

// The objects must stay alive for the wait: the callers hold their handles' references.
DWORD WaitForObjects(const std::vector<Waitable*>& objects, bool waitAll, DWORD milliseconds) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock lock(WaitLock());
  for (;;) {
    int index = TrySatisfy(objects, waitAll);
    if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
    if (milliseconds == INFINITE) {
      WaitChanged().wait(lock);
    } else if (WaitChanged().wait_until(lock, deadline) == std::cv_status::timeout) {
      index = TrySatisfy(objects, waitAll);
      return index >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(index) : WAIT_TIMEOUT;
    }
  }
}

DWORD Waitable::Wait(DWORD milliseconds) { return WaitForObjects({this}, false, milliseconds); }

}  // namespace posix

namespace posix {
// Destroys the windows a thread made when it ends, as Windows does (window.cpp).
void DestroyThreadWindows();
}  // namespace posix

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
  if (!start || creationFlags != 0) {  // suspended start is not part of the subset
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto thread = std::make_shared<Thread>();
  HANDLE handle = posix::InsertHandle(thread);
  std::promise<DWORD> started;
  auto id = started.get_future();
  try {
    std::thread([thread, start, parameter, &started] {
      thread_local ThreadEnd end;
      end.thread = thread;
      started.set_value(GetCurrentThreadId());
      start(parameter);
      posix::DestroyThreadWindows();
    }).detach();
  } catch (const std::system_error&) {
    posix::RemoveHandle(handle);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  DWORD tid = id.get();
  if (threadId) *threadId = tid;
  return handle;
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace win32
