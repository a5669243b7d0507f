// The library log: one line per message to the log file (time stamp, thread id, text, CR LF)
// and, with LogEcho, to standard output; and the fixed error file for table faults.

#include <cstdio>
#include <mutex>

#include "LumarixTime.h"
#include "LumarixUtil.h"
#include "kept_alive.h"
#include "socket/internal.h"

namespace lumarix {

std::atomic<std::int32_t> LogLevel{0};
TLogText LogFileName;
std::atomic<bool> LogEcho{false};

TLogText& TLogText::operator=(std::string value) {
  std::lock_guard guard(lock_);
  value_ = std::move(value);
  return *this;
}

std::string TLogText::Get() const {
  std::lock_guard guard(lock_);
  return value_;
}

namespace socklib {
namespace {

// Both threads log; the lock keeps the reopen and the write of one line together.
struct OpenLog {
  std::mutex lock;
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string name;
};

OpenLog& Open() {
  static KeptAlive<OpenLog> log;  // logged to from exit paths
  return *log;
}

void CloseOpenLog(OpenLog& log) {
  if (!IsBadHandle(log.handle)) CloseHandle(log.handle);
  log.handle = INVALID_HANDLE_VALUE;
  log.name.clear();
}

std::string StampedLine(const std::string& text) {
  return TimeToText(NowTime()) + " [" + std::to_string(GetCurrentThreadId()) + "] " + text + "\r\n";
}

}  // namespace

void LogLine(const std::string& text) {
  if (LogLevel.load() <= 0) return;
  const bool echo = LogEcho.load();
  if (echo) std::printf("%s\n", text.c_str());
  const std::string fileName = LogFileName.Get();
  if (fileName.empty()) return;
  auto& log = Open();
  std::lock_guard guard(log.lock);
  if (fileName != log.name) {
    CloseOpenLog(log);
    log.name = fileName;
    log.handle = OpenForAppend(fileName, true);
  }
  if (IsBadHandle(log.handle)) return;  // an open that failed waits for another name
  if (!WriteText(StampedLine(text), log.handle) && echo) {
    std::printf("WARNING: unable to write log file %s\n", fileName.c_str());
  }
}

void LogFmt(const char* format, ...) {
  char buffer[1024];
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  if (static_cast<std::size_t>(length) < sizeof buffer) {
    LogLine(std::string(buffer, static_cast<std::size_t>(length)));
    return;
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  va_start(arguments, format);
  std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  text.pop_back();
  LogLine(text);
}

void ErrorFileLine(const char* text) { AppendToFile(text, kErrorFileName, true); }

void ResetLog() {
  auto& log = Open();
  std::lock_guard guard(log.lock);
  CloseOpenLog(log);
}

}  // namespace socklib
}  // namespace lumarix
