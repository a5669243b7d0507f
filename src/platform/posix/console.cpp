// Console input on POSIX: the standard input terminal read as a Windows console.
//
// The console modes map onto the terminal's modes, taken from the mode the terminal had when
// the console was first opened: ENABLE_LINE_INPUT is canonical input, ENABLE_ECHO_INPUT the
// terminal's echo, ENABLE_PROCESSED_INPUT its signal characters (Ctrl+C). Without line input
// the bytes come through untranslated (no CR to LF, no flow control), one at a time. Output
// processing is left as it was, so that a line end still returns the cursor.
//
// The terminal's bytes become key-down INPUT_RECORDs (console_keys.h); an ESC that is not
// followed by the rest of a sequence within the escape delay is the Esc key. Without line input
// CR is Enter and LF is Ctrl+J, a key the readers ignore, as on Windows. A window size
// change (SIGWINCH) becomes a WINDOW_BUFFER_SIZE_EVENT with the new columns and rows while
// ENABLE_WINDOW_INPUT is set, as the console reports it.
//
// The system puts the saved mode back when it ends; in case the process is ended by a signal or
// leaves without doing so, the terminal's first mode is also put back at exit and on SIGTERM,
// SIGHUP, SIGINT and SIGQUIT, so that nobody is left at a terminal without echo.
//
// A terminal that hangs up has no more keys: from then on the console reports Enter, so that
// every reader completes instead of waiting for ever (as redirected input does at its end).

#include "platform/posix/c_library.h"

#include "platform/posix/console_keys.h"
#include "platform/posix/handles.h"
#include "platform/posix/testing.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>


namespace win32 {
namespace {

using Clock = std::chrono::steady_clock;

// ---- The terminal's first mode, put back at exit and on termination signals. Plain globals:
// they are read from a signal handler.
int guardedFd = -1;
struct termios guardedMode;
volatile sig_atomic_t terminalChanged = 0;

void RestoreTerminal() {
  if (terminalChanged) ::tcsetattr(guardedFd, TCSANOW, &guardedMode);
}

void OnTerminationSignal(int signal) {
  RestoreTerminal();
  ::signal(signal, SIG_DFL);
  ::raise(signal);  // delivered with the default action once this handler returns
}

void InstallTerminalBackstop() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::atexit(RestoreTerminal);
    for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
      struct sigaction current {};
      if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
      struct sigaction action {};
      action.sa_handler = OnTerminationSignal;
      ::sigemptyset(&action.sa_mask);
      ::sigaction(signal, &action, nullptr);
    }
  });
}

// ---- Window size changes, through a pipe that the handler writes to.
int resizePipe[2] = {-1, -1};

void OnResize(int) {
  int saved = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(resizePipe[1], &byte, 1);
  errno = saved;
}

void InstallResizeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (::pipe2(resizePipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = OnResize;
    action.sa_flags = SA_RESTART;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGWINCH, &action, nullptr);
  });
}

bool DrainResizes() {
  bool resized = false;
  char bytes[64];
  while (resizePipe[0] >= 0 && ::read(resizePipe[0], bytes, sizeof bytes) > 0) resized = true;
  return resized;
}

DWORD ModeOf(const struct termios& mode) {
  DWORD flags = 0;
  if (mode.c_lflag & ICANON) flags |= ENABLE_LINE_INPUT;
  if (mode.c_lflag & ECHO) flags |= ENABLE_ECHO_INPUT;
  if (mode.c_lflag & ISIG) flags |= ENABLE_PROCESSED_INPUT;
  return flags;
}

// The terminal mode for a console mode, as close to the first mode as the flags allow.
struct termios TerminalModeFor(DWORD flags, const struct termios& first) {
  struct termios mode = first;
  if (flags & ENABLE_LINE_INPUT) {
    if (!(first.c_lflag & ICANON)) {
      mode.c_lflag |= ICANON | IEXTEN;
      mode.c_iflag |= ICRNL;
    }
  } else {
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | IEXTEN);
    mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON | ISTRIP | BRKINT | PARMRK);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
  }
  if (flags & ENABLE_ECHO_INPUT) {
    if (!(first.c_lflag & ECHO)) mode.c_lflag |= ECHO | ECHOE | ECHOK;
  } else {
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
  }
  if (flags & ENABLE_PROCESSED_INPUT) {
    mode.c_lflag |= ISIG;
  } else {
    mode.c_lflag &= ~static_cast<tcflag_t>(ISIG);
  }
  return mode;
}

bool SameMode(const struct termios& a, const struct termios& b) {
  return a.c_iflag == b.c_iflag && a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] &&
         a.c_cc[VTIME] == b.c_cc[VTIME];
}

class ConsoleObject final : public posix::HandleObject {
 public:
  explicit ConsoleObject(int fd) : fd_(fd) {
    ::tcgetattr(fd_, &first_);
    mode_ = ModeOf(first_);
    guardedFd = fd_;
    guardedMode = first_;
    InstallResizeHandler();
  }

  DWORD Wait(DWORD milliseconds) override {
    auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      std::chrono::milliseconds delay{-1};
      {
        std::lock_guard guard(lock_);
        Collect();
        if (!queue_.empty()) return WAIT_OBJECT_0;
        if (decoder_.Holding()) delay = decoder_.DelayLeft(Clock::now());
      }
      if (milliseconds != INFINITE) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return WAIT_TIMEOUT;
        delay = delay.count() < 0 ? left : std::min(delay, left);
      }
      struct pollfd fds[2] = {{fd_, POLLIN, 0}, {resizePipe[0], POLLIN, 0}};
      int count = resizePipe[0] >= 0 ? 2 : 1;
      if (::poll(fds, count, static_cast<int>(delay.count())) < 0 && errno != EINTR) {
        posix::SetLastErrorFromErrno();
        return WAIT_FAILED;
      }
    }
  }

  BOOL GetMode(LPDWORD mode) {
    std::lock_guard guard(lock_);
    *mode = mode_;
    return TRUE;
  }

  BOOL SetMode(DWORD mode) {
    if ((mode & ENABLE_ECHO_INPUT) && !(mode & ENABLE_LINE_INPUT)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    std::lock_guard guard(lock_);
    struct termios wanted = TerminalModeFor(mode, first_);
    bool changed = !SameMode(wanted, first_);
    if (changed) InstallTerminalBackstop();
    if (::tcsetattr(fd_, TCSANOW, &wanted) != 0) {
      posix::SetLastErrorFromErrno();
      return FALSE;
    }
    terminalChanged = changed;
    mode_ = mode;
    return TRUE;
  }

  void Flush() {
    std::lock_guard guard(lock_);
    ::tcflush(fd_, TCIFLUSH);
    Collect();
    queue_.clear();
    decoder_.Clear();
  }

  DWORD Count() {
    std::lock_guard guard(lock_);
    Collect();
    return static_cast<DWORD>(queue_.size());
  }

  DWORD Peek(PINPUT_RECORD buffer, DWORD length) {
    std::lock_guard guard(lock_);
    Collect();
    DWORD count = std::min<DWORD>(length, static_cast<DWORD>(queue_.size()));
    std::copy_n(queue_.begin(), count, buffer);
    return count;
  }

  // Waits for at least one record, as the console does.
  DWORD Take(PINPUT_RECORD buffer, DWORD length) {
    if (length == 0) return 0;
    if (Wait(INFINITE) != WAIT_OBJECT_0) return 0;
    std::lock_guard guard(lock_);
    DWORD count = std::min<DWORD>(length, static_cast<DWORD>(queue_.size()));
    std::copy_n(queue_.begin(), count, buffer);
    queue_.erase(queue_.begin(), queue_.begin() + count);
    return count;
  }

  // The characters of the pending key presses; waits for at least one. Other records go.
  DWORD TakeCharacters(char* buffer, DWORD length) {
    DWORD count = 0;
    while (count == 0 && length > 0) {
      if (Wait(INFINITE) != WAIT_OBJECT_0) return 0;
      std::lock_guard guard(lock_);
      while (!queue_.empty() && count < length) {
        const INPUT_RECORD& record = queue_.front();
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown && record.Event.KeyEvent.uChar.AsciiChar) {
          for (WORD i = 0; i < record.Event.KeyEvent.wRepeatCount && count < length; ++i) {
            buffer[count++] = record.Event.KeyEvent.uChar.AsciiChar;
          }
        }
        queue_.pop_front();
      }
    }
    return count;
  }

  void Inject(const INPUT_RECORD* records, DWORD count) {
    std::lock_guard guard(lock_);
    queue_.insert(queue_.end(), records, records + count);
  }

 private:
  // Takes, without blocking, what the terminal and the resize handler have reported.
  void Collect() {
    if (DrainResizes() && (mode_ & ENABLE_WINDOW_INPUT)) queue_.push_back(SizeRecord());
    std::vector<INPUT_RECORD> keys;
    for (int round = 0; round < 64 && !hungUp_; ++round) {
      struct pollfd fd = {fd_, POLLIN, 0};
      if (::poll(&fd, 1, 0) <= 0) break;
      char bytes[256];
      ssize_t got = ::read(fd_, bytes, sizeof bytes);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        hungUp_ = true;
        break;
      }
      decoder_.Feed(std::string_view(bytes, static_cast<std::size_t>(got)), keys, Clock::now());
    }
    if (hungUp_) decoder_.Flush(keys);
    decoder_.Expire(Clock::now(), keys);
    queue_.insert(queue_.end(), keys.begin(), keys.end());
    if (hungUp_ && queue_.empty()) queue_.push_back(posix::EnterKeyRecord());
  }

  INPUT_RECORD SizeRecord() const {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = WINDOW_BUFFER_SIZE_EVENT;
    struct winsize size {};
    ::ioctl(fd_, TIOCGWINSZ, &size);
    record.Event.WindowBufferSizeEvent.dwSize = COORD{static_cast<SHORT>(size.ws_col), static_cast<SHORT>(size.ws_row)};
    return record;
  }

  std::mutex lock_;
  int fd_;
  struct termios first_ {};
  DWORD mode_ = 0;
  posix::TerminalKeyDecoder decoder_;
  std::deque<INPUT_RECORD> queue_;
  bool hungUp_ = false;
};

std::shared_ptr<ConsoleObject> ConsoleOf(HANDLE handle) { return posix::HandleAs<ConsoleObject>(handle); }

}  // namespace

// ---- Console input

HANDLE GetStdHandle(DWORD stdHandle) {
  int fd = stdHandle == STD_INPUT_HANDLE ? 0 : stdHandle == STD_OUTPUT_HANDLE ? 1 : stdHandle == STD_ERROR_HANDLE ? 2 : -1;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  static std::mutex lock;
  static HANDLE handles[3] = {};
  std::lock_guard guard(lock);
  if (handles[fd] == nullptr) {
    if (::fcntl(fd, F_GETFD) < 0) return nullptr;  // the process has no such stream
    handles[fd] = fd == 0 && ::isatty(fd) ? posix::InsertHandle(std::make_shared<ConsoleObject>(fd))
                                          : posix::InsertStreamHandle(fd);
  }
  return handles[fd];
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
  auto object = ConsoleOf(console);
  if (!object) return FALSE;
  if (mode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return object->GetMode(mode);
}

BOOL SetConsoleMode(HANDLE console, DWORD mode) {
  auto object = ConsoleOf(console);
  return object ? object->SetMode(mode) : FALSE;
}

BOOL FlushConsoleInputBuffer(HANDLE console) {
  auto object = ConsoleOf(console);
  if (!object) return FALSE;
  object->Flush();
  return TRUE;
}

BOOL GetNumberOfConsoleInputEvents(HANDLE console, LPDWORD numberOfEvents) {
  auto object = ConsoleOf(console);
  if (!object || numberOfEvents == nullptr) return FALSE;
  *numberOfEvents = object->Count();
  return TRUE;
}

BOOL PeekConsoleInputA(HANDLE console, PINPUT_RECORD buffer, DWORD length, LPDWORD eventsRead) {
  auto object = ConsoleOf(console);
  if (!object || eventsRead == nullptr || (buffer == nullptr && length > 0)) return FALSE;
  *eventsRead = object->Peek(buffer, length);
  return TRUE;
}

BOOL ReadConsoleInputA(HANDLE console, PINPUT_RECORD buffer, DWORD length, LPDWORD eventsRead) {
  auto object = ConsoleOf(console);
  if (!object || eventsRead == nullptr || (buffer == nullptr && length > 0)) return FALSE;
  *eventsRead = object->Take(buffer, length);
  return TRUE;
}

BOOL ReadConsoleA(HANDLE console, LPVOID buffer, DWORD charsToRead, LPDWORD charsRead, LPVOID) {
  auto object = ConsoleOf(console);
  if (!object || charsRead == nullptr || (buffer == nullptr && charsToRead > 0)) return FALSE;
  *charsRead = object->TakeCharacters(static_cast<char*>(buffer), charsToRead);
  return TRUE;
}

bool testing::InjectConsoleInput(const INPUT_RECORD* records, DWORD count) {
  auto object = posix::HandleAs<ConsoleObject>(GetStdHandle(STD_INPUT_HANDLE));
  if (!object) return false;
  object->Inject(records, count);
  return true;
}

}  // namespace win32
