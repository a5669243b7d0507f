// Windows on POSIX: only what a hidden "STATIC" window needs, which is its message queue.
//
// Every thread that makes a window gets one message queue; each of its windows posts into it.
// PostMessageA works from any thread; GetMessageA reads the calling thread's queue only, in
// posting order, filtered by window and message range (0, 0 means every message; WM_QUIT
// passes any range, as on Windows). A window ends with the thread that made it; posting to it
// afterwards fails with ERROR_INVALID_WINDOW_HANDLE.
//
// The queue also waits for the sockets registered to its windows (message_queue.h): a
// GetMessageA that finds no message waits for them and for posts at once, and posts their
// events itself. Before it sleeps, it watches for a post or a socket for a few tens of
// microseconds, as long as its recent waits ended that soon: in a quick exchange the answer to
// what its thread just did comes within that, and then costs no sleep and no wake-up. While
// messages keep coming, it still looks at the sockets every few messages, so that their events
// are not held back behind a busy queue.

#include "platform/posix/c_library.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/posix/message_queue.h"
#include "platform/posix/testing.h"

namespace win32 {
namespace posix {
void DestroyThreadWindows();
}  // namespace posix

namespace {

// How long a reader watches before it sleeps (see the top of this file): within it, the answer
// to a quick exchange costs less watched for than slept for and woken up to.
constexpr auto kBriefWatch = std::chrono::microseconds(50);

// Tells the processor that this is a spin, so that it spends less on it.
inline void SpinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Calls `changed` until it is true (then true) or `until` has passed (then false).
template <class Changed>
bool WatchBriefly(Changed changed, std::chrono::steady_clock::time_point until) {
  do {
    for (int i = 0; i < 64; ++i) {
      if (changed()) return true;
      SpinPause();
    }
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

class MessageQueue {
 public:
  // Wakes the reader only when it sleeps, so that a busy or watching reader costs its posters
  // nothing.
  void Post(const MSG& msg) {
    bool wake;
    {
      std::lock_guard guard(lock_);
      messages_.push_back(msg);
      posted_.store(posted_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
      wake = sleeping_;
    }
    if (wake) sockets_->Wake();
  }

  // Blocks until a message passes the filter, and takes it; the sockets' events are posted on
  // the way.
  MSG Take(HWND window, UINT filterMin, UINT filterMax) {
    for (;;) {
      if (takenSinceLook_ >= kMessagesBetweenLooks) {
        takenSinceLook_ = 0;
        sockets_->HandReady(sockets_->Wait(0));
      }
      std::uint32_t seen;
      if (auto msg = TakeFirst(window, filterMin, filterMax, seen, false)) {
        ++takenSinceLook_;
        return *msg;
      }
      takenSinceLook_ = 0;
      int ready = 0;
      if (!watchPays_ || !SomethingCameBriefly(seen, ready)) {
        if (auto msg = TakeFirst(window, filterMin, filterMax, seen, true)) return *msg;
        ready = SleepForSomething();
      }
      sockets_->HandReady(ready);
    }
  }

  const std::shared_ptr<posix::SocketWaits>& sockets() const { return sockets_; }

 private:
  static constexpr int kMessagesBetweenLooks = 8;
  using Clock = std::chrono::steady_clock;

  // The first message that passes the filter. `seen` is the count of posts so far; when no
  // message passes and `sleep` is set, the reader is marked as sleeping under the same lock,
  // so that a post after the look wakes it.
  std::optional<MSG> TakeFirst(HWND window, UINT filterMin, UINT filterMax, std::uint32_t& seen, bool sleep) {
    std::lock_guard guard(lock_);
    seen = posted_.load(std::memory_order_relaxed);
    auto found = std::find_if(messages_.begin(), messages_.end(), [&](const MSG& msg) {
      return Passes(msg, window, filterMin, filterMax);
    });
    if (found == messages_.end()) {
      sleeping_ = sleep;
      return std::nullopt;
    }
    MSG msg = *found;
    messages_.erase(found);
    return msg;
  }

  // True when, within a brief watch, a message was posted after the look that
  // counted `seen` posts, or sockets were found ready (`ready` of them; looked at every few
  // rounds, since each look is a system call).
  bool SomethingCameBriefly(std::uint32_t seen, int& ready) {
    int rounds = 0;
    watchPays_ = WatchBriefly(
        [&] {
          if (posted_.load(std::memory_order_acquire) != seen) return true;
          return rounds++ % 64 == 0 && (ready = sockets_->Wait(0)) > 0;
        },
        Clock::now() + kBriefWatch);
    return watchPays_;
  }

  // Sleeps until a post or a socket comes; returns how many sockets are ready. A sleep shorter
  // than a watch says that answers come quickly now, so the next wait watches first.
  int SleepForSomething() {
    const auto start = Clock::now();
    const int ready = sockets_->Wait(-1);
    watchPays_ = Clock::now() - start < kBriefWatch;
    std::lock_guard guard(lock_);
    sleeping_ = false;  // before the sockets' events are posted, which then wake no one
    return ready;
  }

  static bool Passes(const MSG& msg, HWND window, UINT filterMin, UINT filterMax) {
    if (window && msg.hwnd != window) return false;
    if (msg.message == WM_QUIT || (filterMin == 0 && filterMax == 0)) return true;
    return msg.message >= filterMin && msg.message <= filterMax;
  }

  std::mutex lock_;
  std::deque<MSG> messages_;
  std::atomic<std::uint32_t> posted_{0};  // posts so far, watched without the lock
  bool sleeping_ = false;
  int takenSinceLook_ = 0;  // the reader's own count
  bool watchPays_ = false;  // the reader's own: whether its last wait ended within a watch
  std::shared_ptr<posix::SocketWaits> sockets_ = std::make_shared<posix::SocketWaits>();
};

class Window : public posix::HandleObject {
 public:
  // The desktop window has no queue here: it belongs to no thread of this process.
  explicit Window(std::shared_ptr<MessageQueue> queue) : queue_(std::move(queue)) {}
  const std::shared_ptr<MessageQueue>& queue() const { return queue_; }

 private:
  std::shared_ptr<MessageQueue> queue_;
};

// The calling thread's queue and windows.
struct ThreadMessages {
  std::shared_ptr<MessageQueue> queue = std::make_shared<MessageQueue>();
  std::vector<HANDLE> windows;
};
thread_local ThreadMessages threadMessages;

// Failures that tests ask for (testing.h): how many of the next calls fail.
std::atomic<int> createWindowFailures{0};
std::atomic<int> getMessageFailures{0};

bool TakeFailure(std::atomic<int>& failures) {
  int left = failures.load();
  while (left > 0 && !failures.compare_exchange_weak(left, left - 1)) {
  }
  return left > 0;
}

HANDLE AsHandle(HWND window) { return reinterpret_cast<HANDLE>(window); }
HWND AsWindow(HANDLE handle) { return reinterpret_cast<HWND>(handle); }

std::shared_ptr<Window> WindowOf(HWND window) {
  auto object = posix::LookupAs<Window>(AsHandle(window));
  if (!object) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return object;
}

bool IsStaticClass(LPCSTR className) {
  static constexpr char kStatic[] = "STATIC";
  if (!className || std::strlen(className) != sizeof kStatic - 1) return false;
  for (std::size_t i = 0; kStatic[i]; ++i) {
    if (std::toupper(static_cast<unsigned char>(className[i])) != kStatic[i]) return false;
  }
  return true;
}

}  // namespace

HWND GetDesktopWindow() {
  static HANDLE desktop = posix::InsertHandle(std::make_shared<Window>(nullptr));
  return AsWindow(desktop);
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  if (moduleName) {  // only the program's own module is known
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(static_cast<UINT_PTR>(0x400000));
}

HWND CreateWindowExA(DWORD, LPCSTR className, LPCSTR, DWORD, int, int, int, int, HWND parent, HMENU,
                     HINSTANCE, LPVOID) {
  if (TakeFailure(createWindowFailures)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!IsStaticClass(className)) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return nullptr;
  }
  if (parent && !WindowOf(parent)) return nullptr;
  HANDLE handle = posix::InsertHandle(std::make_shared<Window>(threadMessages.queue));
  threadMessages.windows.push_back(handle);
  return AsWindow(handle);
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<MessageQueue> queue;
  if (!window) {
    queue = threadMessages.queue;  // a thread message for the caller's own queue
  } else {
    auto target = WindowOf(window);
    if (!target) return FALSE;
    if (!target->queue()) return TRUE;  // the desktop's owner is elsewhere; it ignores posts
    queue = target->queue();
  }
  queue->Post(MSG{window, message, wParam, lParam, GetTickCount(), POINT{0, 0}});
  return TRUE;
}

BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
  if (!msg || TakeFailure(getMessageFailures)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (window) {
    auto target = WindowOf(window);
    if (!target) return -1;
    if (target->queue() != threadMessages.queue) {  // another thread's window
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
  }
  *msg = threadMessages.queue->Take(window, filterMin, filterMax);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

namespace posix {

SocketWaits::SocketWaits() : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeUp;
  ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
}

SocketWaits::~SocketWaits() {
  ::close(wake_);
  ::close(epoll_);
}

void SocketWaits::Watch(SOCKET s, int fd, std::uint32_t interest, bool& watched) {
  epoll_event event{};
  event.events = interest | EPOLLONESHOT;
  event.data.u64 = s;
  if (::epoll_ctl(epoll_, watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0) watched = true;
}

void SocketWaits::Forget(int fd, bool& watched) {
  if (watched) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  watched = false;
}

int SocketWaits::Wait(int milliseconds) {
  int count = ::epoll_wait(epoll_, ready_, kMostReady, milliseconds);
  if (count < 0) return 0;  // interrupted: the caller looks at its queue again
  // The wake-up is no socket: it is taken (reset) and dropped from the list.
  auto end = std::remove_if(ready_, ready_ + count, [](const epoll_event& e) { return e.data.u64 == kWakeUp; });
  if (end != ready_ + count) {
    std::uint64_t posts;
    while (::read(wake_, &posts, sizeof posts) < 0 && errno == EINTR) {
    }
  }
  return static_cast<int>(end - ready_);
}

void SocketWaits::HandReady(int count) {
  for (int i = 0; i < count; ++i) OnSocketReady(static_cast<SOCKET>(ready_[i].data.u64), ready_[i].events);
}

void SocketWaits::Wake() {
  const std::uint64_t one = 1;
  while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

std::shared_ptr<SocketWaits> SocketWaitsOf(HWND window) {
  auto target = LookupAs<Window>(AsHandle(window));  // silent: WSAAsyncSelect sets its own errors
  if (!target || !target->queue()) return nullptr;
  return target->queue()->sockets();
}

void DestroyThreadWindows() {
  for (HANDLE handle : threadMessages.windows) RemoveHandle(handle);
  threadMessages.windows.clear();
}

}  // namespace posix

namespace testing {

void FailCreateWindow(int times) { createWindowFailures = times; }
void FailGetMessage(int times) { getMessageFailures = times; }

}  // namespace testing
}  // namespace win32
