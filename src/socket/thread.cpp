// The library thread and its hidden window, the dispatch of the window's messages, and the
// library's start-up and shutdown as a module.

#include <cstdio>

#include "LumarixUtil.h"
#include "socket/internal.h"

namespace lumarix {
namespace socklib {

std::atomic<HWND> SocketWindow{nullptr};
const TChannelWork kChannelWork{TryAccept, TrySend, TryReceive};
std::atomic<const TChannelWork*> ChannelWork{&kChannelWork};

namespace {

constexpr UINT kLastChannel = kChannelCount - 1;

struct LibraryState {
  HANDLE threadStarted = nullptr;
  HANDLE threadFinished = nullptr;
  // The thread's own handle: it is signalled only once the thread has really ended, after it
  // has left its loop, set thread-finished and had its window destroyed on the way out.
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  bool threadRunning = false;
  WSADATA wsaData{};
};
LibraryState library;

const TChannelWork& Work() { return *ChannelWork.load(std::memory_order_acquire); }

void LogStackPosition(const char* format) {
  volatile int local = 0;  // any local of the thread marks its stack position
  SOCKET_LOG(7, format, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&local)));
}

// An event under the channel's number may name another socket: one accepted on a listening
// channel reports under the listener's number until it is registered itself, and an event left
// over from a channel's earlier socket may arrive after the number was given to a new one.
bool IsEventOfChannel(std::int32_t ch, WPARAM wParam) {
  const TSocketDesc* desc = sockdata[ch];
  return desc && desc->sock == static_cast<SOCKET>(wParam);
}

void OnSocketEvent(std::int32_t ch, WPARAM wParam, LPARAM lParam) {
  IncRef(ch);
  SOCKET_LOG(4, "Identified message: socket event for channel %d", ch);
  if (!IsEventOfChannel(ch, wParam)) {
    SOCKET_LOG(4, "Socket event for channel %d ignored: socket %d is not the channel's", ch,
               static_cast<int>(wParam));
  } else {
    switch (WSAGETSELECTEVENT(lParam)) {
      case FD_READ: Work().TryReceive(ch); break;
      case FD_WRITE: Work().TrySend(ch); break;
      case FD_ACCEPT: Work().TryAccept(ch); break;
      case FD_CLOSE: ReceiveRestThenClose(ch); break;
      default: break;
    }
  }
  DecRef(ch);
}

void OnSocketAlive(std::int32_t ch) {
  SOCKET_LOG(4, "Identified message: socket alive event for channel %d", ch);
  IncRef(ch);
  Work().TryAccept(ch);
  Work().TrySend(ch);
  Work().TryReceive(ch);
  DecRef(ch);
}

void OnSocketSend(std::int32_t ch) {
  SOCKET_LOG(4, "Identified message: socket send event for channel %d", ch);
  IncRef(ch);
  Work().TrySend(ch);
  DecRef(ch);
}

void OnPacketsReceiveQuery() {
  SOCKET_LOG(4, "Identified message: packets receive query");
  for (std::int32_t ch = 0; ch < kChannelCount; ++ch) {
    IncRef(ch);
    if (alive[ch] && !mustdie[ch] && (sockdata[ch].load()->flags & sfRecvPaused)) Work().TryReceive(ch);
    DecRef(ch);
    if (ReceivedQueue.AboveWatermark()) break;
  }
}

void Dispatch(const MSG& msg) {
  const UINT number = msg.message;
  if (number >= kSocketEvent && number <= kSocketEvent + kLastChannel) {
    OnSocketEvent(static_cast<std::int32_t>(number - kSocketEvent), msg.wParam, msg.lParam);
  } else if (number >= kSocketAliveEvent && number <= kSocketAliveEvent + kLastChannel) {
    OnSocketAlive(static_cast<std::int32_t>(number - kSocketAliveEvent));
  } else if (number >= kSocketSendEvent && number <= kSocketSendEvent + kLastChannel) {
    OnSocketSend(static_cast<std::int32_t>(number - kSocketSendEvent));
  } else if (number == kPacketsReceiveQuery) {
    OnPacketsReceiveQuery();
  }
}

std::string MessageText(const MSG& msg) {
  char text[160];
  std::snprintf(text, sizeof text, "(hwnd=%d msg=%d wpar=%d lpar=%d time=%d ptx=%d pty=%d)",
                static_cast<int>(reinterpret_cast<std::intptr_t>(msg.hwnd)), static_cast<int>(msg.message),
                static_cast<int>(msg.wParam), static_cast<int>(msg.lParam), static_cast<int>(msg.time),
                static_cast<int>(msg.pt.x), static_cast<int>(msg.pt.y));
  return text;
}

DWORD WINAPI SocketMessageThread(LPVOID) {
  SOCKET_LOG(3, "Socket message thread is created");
  HWND window = CreateWindowExA(0, "STATIC", "Windows mu$t DIE!", WS_POPUP, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                GetDesktopWindow(), nullptr, GetModuleHandleA(nullptr), nullptr);
  if (!window) {
    SOCKET_LOG(1, "FATAL: unable to open fake socket window");
    AssertionFailure(kSocketWindowNotMade);
  }
  SocketWindow = window;
  SetEvent(library.threadStarted);
  SOCKET_LOG(6, "Socket fake window is created");
  for (;;) {
    MSG msg{};
    LogStackPosition("Before GetMessage esp=%.8x");
    const BOOL got = GetMessageA(&msg, window, 0, 0x7FFF);
    LogStackPosition("After GetMessage esp=%.8x");
    if (got == -1) {
      SOCKET_LOG(1, "FATAL: strange message type received");
      AssertionFailure(kStrangeMessage);
    }
    if (got == 0) break;
    SOCKET_LOG(5, "Received message: %s", MessageText(msg).c_str());
    Dispatch(msg);
  }
  SOCKET_LOG(3, "Socket message thread is terminated");
  SetEvent(library.threadFinished);
  return 0;
}

HANDLE NewEvent(bool manualReset) {
  HANDLE event = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
  if (IsBadHandle(event)) RunError(239);
  return event;
}

void StartWindowsSockets() {
  int error = WSAStartup(MAKEWORD(1, 1), &library.wsaData);
  if (error == WSAEINPROGRESS) {
    Sleep(200);
    error = WSAStartup(MAKEWORD(1, 1), &library.wsaData);
  }
  if (error != 0) {
    std::printf("Unable to initialize WINSOCK.DLL\n");
    RunError(239);
  }
}

void Startup() {
  library.threadFinished = NewEvent(true);
  ReceivedQueue.event = NewEvent(false);
  NoticeQueue.event = NewEvent(false);
  library.threadStarted = NewEvent(true);
  StartWindowsSockets();
  library.thread = CreateThread(nullptr, 0, SocketMessageThread, nullptr, 0, &library.threadId);
  if (!library.thread) RunError(239);
  WaitForSingleObject(library.threadStarted, 10000);
  library.threadRunning = true;
}

// Ends the library thread and waits up to 1000 ms for it to be gone, so that the process does
// not end while the thread is still leaving. A thread that takes longer is left behind.
void EndThread() {
  PostMessageA(SocketWindow, WM_QUIT, 0, 0);
  const DWORD result = WaitForSingleObject(library.thread, 1000);
  SOCKET_LOG(6, "Socket thread termination wait result: %d", static_cast<int>(result));
  CloseHandle(library.thread);
  library.thread = nullptr;
  library.threadRunning = false;
}

void Shutdown() {
  // An assertion failure or run-time error on the library thread ends the process from there,
  // while the main thread still runs: the thread must not wait for itself, and the queues'
  // events and records, the server file and the log file stay as the main thread uses them.
  // The process ends right after, with every thread.
  const bool onLibraryThread = library.threadRunning && GetCurrentThreadId() == library.threadId;
  if (library.threadRunning && !onLibraryThread) EndThread();
  if (WSACleanup() != 0 && WSAGetLastError() == WSAEINPROGRESS) WSACleanup();
  if (onLibraryThread) {
    SOCKET_LOG(1, "Socket library is terminated");
    return;
  }
  for (HANDLE* event : {&library.threadStarted, &NoticeQueue.event, &ReceivedQueue.event, &library.threadFinished}) {
    CloseHandle(*event);
    *event = nullptr;
  }
  SOCKET_LOG(1, "Socket library is terminated");
  DiscardQueuedMessages();
  ForgetServerFile();
  LogFileName = std::string();
  ResetLog();
}

}  // namespace

void PostToSocketWindow(UINT message) { PostMessageA(SocketWindow, message, 0, 0); }

}  // namespace socklib

const TModule LumarixSocketModule{socklib::Startup, socklib::Shutdown};

}  // namespace lumarix
