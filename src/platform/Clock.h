#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace ulmora {

// Every read of the time and every sleep in the agent goes through a Clock, so
// that tests can drive time by hand (ManualClock) and never really wait.
//
// Wall time is for dates and file times; monotonic time is for timers,
// time-outs and pacing.
//
// Thread-safety: all methods may be called from any thread.
class Clock {
 public:
  using WallTime = std::chrono::system_clock::time_point;
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;

  virtual ~Clock() = default;

  virtual WallTime wallNow() const = 0;
  virtual TimePoint monotonicNow() const = 0;

  // Blocks the calling thread for `d` of this clock's monotonic time.
  virtual void sleepFor(Duration d) = 0;

  // Waits on `cv` (with `lock` held on entry and on return) until `pred()`
  // holds or this clock's monotonic time reaches `deadline`. Returns pred().
  // A ManualClock wakes such waiters whenever it is advanced. Wakers must
  // notify `cv` after changing what `pred` reads under the same mutex.
  virtual bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         TimePoint deadline, const std::function<bool()>& pred) = 0;

  // The real clock of the process.
  static Clock& systemClock();
};

// The real clock: system_clock and steady_clock.
class SystemClock final : public Clock {
 public:
  WallTime wallNow() const override;
  TimePoint monotonicNow() const override;
  void sleepFor(Duration d) override;
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& pred) override;
};

}  // namespace ulmora
