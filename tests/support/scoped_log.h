// The socket library's log settings for one test, back to silent when it ends, so that no test
// leaves a level, an echo or a log file to the next.
#pragma once

#include <cstdint>
#include <string>

#include "LumarixSocket.h"
#include "socket/internal.h"

namespace lumarix::testing {

class ScopedLog {
 public:
  ScopedLog(std::int32_t level, bool echo, const std::string& file = "") {
    LogLevel = level;
    LogEcho = echo;
    LogFileName = file;
  }
  ~ScopedLog() {
    LogLevel = 0;
    LogEcho = false;
    LogFileName = std::string();
    socklib::ResetLog();
  }
  ScopedLog(const ScopedLog&) = delete;
  ScopedLog& operator=(const ScopedLog&) = delete;
};

}  // namespace lumarix::testing
