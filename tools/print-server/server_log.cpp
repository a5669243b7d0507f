#include "server_log.h"

#include <cstdio>
#include <mutex>

#include "LumarixTime.h"

namespace lumarix::printserver {

void ServerLog(const std::string& line) {
  static std::mutex lock;
  const std::string stamped = TimeToText(NowTime()) + " " + line + "\n";
  std::lock_guard<std::mutex> hold(lock);
  std::fwrite(stamped.data(), 1, stamped.size(), stdout);
  std::fflush(stdout);
}

}  // namespace lumarix::printserver
