#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

#include "platform/Clock.h"

namespace ulmora {

// A clock that moves only when told to, for tests.
//
// Wall time starts at `wallStart` and can be stepped either way with
// setWallTime(); monotonic time starts at an arbitrary origin and only ever
// moves forward, through advance() (which moves wall time by the same amount).
//
// advance() wakes every thread blocked in sleepFor() or waitUntil() on this
// clock, including every RunLoop built on it, so that each re-checks its
// deadline. For waitUntil() it takes the waiter's own mutex before notifying
// its condition variable, so a waiter that is about to block cannot miss the
// change.
//
// Thread-safety: all methods may be called from any thread. Do not call
// advance() while holding a mutex that a thread waiting on this clock uses.
class ManualClock final : public Clock {
 public:
  // 2020-01-01 00:00:00 UTC: a fixed date keeps test output stable.
  static constexpr WallTime kDefaultWallStart = WallTime(std::chrono::seconds(1577836800));

  explicit ManualClock(WallTime wallStart = kDefaultWallStart,
                       TimePoint monotonicOrigin = TimePoint(std::chrono::hours(1)));
  ~ManualClock() override;
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  WallTime wallNow() const override;
  TimePoint monotonicNow() const override;
  void sleepFor(Duration d) override;
  bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 TimePoint deadline, const std::function<bool()>& pred) override;

  // Moves both times forward by `d` (a negative step is ignored: monotonic
  // time never goes back) and wakes all waiters.
  void advance(Duration d);
  // Steps wall time only; monotonic time and waiters are untouched.
  void setWallTime(WallTime t);

  // Blocks, for at most `timeout` of real time, until at least `count` threads
  // are blocked on this clock and have seen its latest advance(). After an
  // advance() this tells a test that loops on other threads have finished the
  // work that became due and gone back to sleep. Wakes from other sources (a
  // post to a loop) are not visible to the clock; wait for those directly.
  // Returns false on time-out.
  bool awaitBlockedThreads(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  // A thread inside sleepFor() (mutex == nullptr) or waitUntil().
  struct Waiter {
    std::mutex* mutex = nullptr;
    std::condition_variable* cv = nullptr;
    // The advance() this waiter has observed, or kNotBlocked while it is not
    // (yet) parked.
    std::uint64_t seenEpoch;
    // advance() calls currently notifying this waiter outside mu_; the entry
    // (and the caller's mutex and cv) must outlive them.
    int pins = 0;
  };
  static constexpr std::uint64_t kNotBlocked = ~std::uint64_t{0};

  void markBlocked(Waiter& w);  // mu_ held
  std::size_t blockedCount() const;  // mu_ held

  mutable std::mutex mu_;
  // Signalled on every advance and every change of a waiter's state.
  mutable std::condition_variable changed_;
  WallTime wall_;
  TimePoint mono_;
  std::uint64_t epoch_ = 0;
  std::list<Waiter> waiters_;
};

}  // namespace ulmora
