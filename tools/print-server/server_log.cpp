#include "server_log.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "LumarixTime.h"

namespace lumarix::printserver {
namespace {

constexpr std::size_t kMaxWaitingLines = 10000;

class TLogWriter {
 public:
  TLogWriter() : thread_(&TLogWriter::Write, this) {}
  // Writes what is still waiting before the process ends.
  ~TLogWriter() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ending_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  void Add(std::string line) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (lines_.size() >= kMaxWaitingLines) {
        ++dropped_;
        return;
      }
      lines_.push_back(std::move(line));
    }
    changed_.notify_one();
  }

 private:
  void Write() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      changed_.wait(hold, [&] { return ending_ || !lines_.empty(); });
      if (lines_.empty()) return;
      std::deque<std::string> lines = std::move(lines_);
      lines_.clear();
      const std::size_t dropped = std::exchange(dropped_, 0);
      hold.unlock();
      if (dropped) std::fprintf(stdout, "(%zu log lines dropped: the output did not keep up)\n", dropped);
      for (const std::string& line : lines) std::fwrite(line.data(), 1, line.size(), stdout);
      std::fflush(stdout);
      hold.lock();
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> lines_;
  std::size_t dropped_ = 0;
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace

void ServerLog(const std::string& line) {
  static TLogWriter writer;
  writer.Add(TimeToText(NowTime()) + " " + line + "\n");
}

}  // namespace lumarix::printserver
