#pragma once

#include <chrono>
#include <string>
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

  // How long the caller really waits for `d` of this clock's time: a caller
  // that hands a wait to the kernel (poll) converts with this.
  virtual Duration toRealDuration(Duration d) const { return d; }

  // The clock of the process: the real clock, or, when the environment
  // variable ULMORA_TIME_SCALE holds a factor above 1 (test runs only), a
  // clock whose timers, delayed posts and sleeps run that many times faster.
  // Wall time is never scaled.
  static Clock& systemClock();
  // Always the unscaled clock: for time-outs that guard against a peer that
  // is slow in real time (sockets, child processes).
  static Clock& realClock();
  // The factor systemClock() runs at (1 when not scaled).
  static double timeScale();
  // The factor ULMORA_TIME_SCALE asks for: 1 when unset, empty, not a number
  // or not above 1; at most 1000.
  static double parseTimeScale(const char* text);
};

// The real clock: system_clock and steady_clock.
// With a scale above 1 its monotonic time runs `scale` times as fast as
// steady_clock from the moment of construction.
class SystemClock final : public Clock {
 public:
  explicit SystemClock(double scale = 1.0);
  WallTime wallNow() const override;
  TimePoint monotonicNow() const override;
  void sleepFor(Duration d) override;
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& pred) override;
  Duration toRealDuration(Duration d) const override;
  double scale() const { return scale_; }

 private:
  // The steady_clock instant at which a deadline of this clock falls.
  TimePoint toRealTime(TimePoint t) const;

  const double scale_;
  const TimePoint origin_;
};

// `when` in the machine's local time, as strftime writes `format` (at most
// 63 characters).
std::string formatLocalTime(Clock::WallTime when, const char* format);

}  // namespace ulmora
