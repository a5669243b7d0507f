// Waiting for an event in a test: a deadline far above what a passing run takes, even under a
// sanitizer or Wine, so that only a test that fails ever meets it. Never a fixed sleep.
#pragma once

#include <chrono>
#include <thread>

namespace lumarix::testing {

constexpr int kGenerousMs = 10000;

class Deadline {
 public:
  explicit Deadline(int milliseconds = kGenerousMs) : end_(Clock::now() + std::chrono::milliseconds(milliseconds)) {}

  bool Passed() const { return Clock::now() >= end_; }
  int MillisecondsLeft() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  std::chrono::steady_clock::time_point end() const { return end_; }

 private:
  using Clock = std::chrono::steady_clock;
  Clock::time_point end_;
};

// Polls `condition` until it holds; false when it still does not at the deadline.
template <typename Condition>
bool WaitUntil(Condition condition, int milliseconds = kGenerousMs) {
  const Deadline deadline(milliseconds);
  while (!condition()) {
    if (deadline.Passed()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace lumarix::testing
