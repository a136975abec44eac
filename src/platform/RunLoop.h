#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/Clock.h"

namespace ulmora {

// A timer scheduled on a RunLoop (RunLoop::scheduleTimer). The loop holds it
// while it is scheduled; callers keep the returned shared_ptr to invalidate it.
//
// A repeating timer stays on its schedule: fire times are start + k * interval.
// When the loop falls behind by several periods (a long task, a big step of a
// ManualClock, a suspended machine) it fires once and skips the missed ones.
// A one-shot timer becomes invalid once it has fired.
//
// Thread-safety: invalidate() and isValid() may be called from any thread, also
// from inside the callback and after the loop is gone. Once invalidate() has
// returned the callback does not start again; if it is running on another
// thread, invalidate() waits for it to return (so do not invalidate while
// holding a lock the callback takes). The callback is released when the timer
// is invalidated, so what it captures is not kept alive.
class RunLoopTimer {
 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  using Callback = std::function<void(RunLoopTimer&)>;

  RunLoopTimer(Key, Clock::Duration interval, bool repeats, Callback callback);
  RunLoopTimer(const RunLoopTimer&) = delete;
  RunLoopTimer& operator=(const RunLoopTimer&) = delete;

  void invalidate();
  bool isValid() const;
  Clock::Duration interval() const { return interval_; }
  bool repeats() const { return repeats_; }

 private:
  friend class RunLoop;

  // Runs the callback unless invalidated; returns whether to schedule it again.
  bool fire();

  const Clock::Duration interval_;
  const bool repeats_;
  mutable std::mutex mu_;
  std::condition_variable idle_;
  bool valid_ = true;
  std::optional<std::thread::id> firingOn_;
  Callback callback_;
};

// A queue of tasks and timers run by one thread at a time, on the monotonic
// time of a Clock. Tasks run in the order of their due time, then of posting;
// a timer is ordered by its fire time among them.
//
// An exception thrown by a task or a timer callback is caught and traced; the
// loop goes on. Work still queued when the loop is destroyed is dropped
// (destroyed, not run); so is work posted through a Handle afterwards.
//
// On a ManualClock, delayed work and timers become due only through advance();
// run() and runFor() then wait for another thread to advance the clock, while
// a test on a single thread uses advance() followed by runUntilIdle().
//
// Thread-safety: post, postDelayed, scheduleTimer, stop and handle() may be
// called from any thread. run, runFor and runUntilIdle are called by one
// thread at a time (the loop's thread); a task may call them again on its own
// loop. Destroy a loop only when no thread is running it.
class RunLoop {
 public:
  using Task = std::function<void()>;
  class Handle;

  explicit RunLoop(Clock& clock = Clock::systemClock());
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  Clock& clock() const;

  void post(Task task);
  void postDelayed(Task task, Clock::Duration delay);
  // Fires first after `interval` (at least 1 ms: a zero period would spin).
  std::shared_ptr<RunLoopTimer> scheduleTimer(Clock::Duration interval, bool repeats,
                                              RunLoopTimer::Callback callback);

  // Runs work as it becomes due until stop().
  void run();
  // Like run() but also returns once `d` of the clock's time has passed; runs
  // no work due later than that.
  void runFor(Clock::Duration d);
  // Runs everything due now, including what that work posts for now, and
  // returns without waiting. With a ManualClock: advance(), then this.
  void runUntilIdle();
  // Makes the running run/runFor/runUntilIdle return after the task in
  // progress. When none is running, the next one returns at once: a stop sent
  // from another thread just before run() starts is not lost.
  void stop();

  // A copyable reference that may outlive the loop.
  Handle handle() const;

  // Whether the calling thread is the loop's own: the thread running it (or
  // given it with setCurrent), or, while no thread runs it, the thread that
  // made it or ran it last (the process's main thread for the default
  // main()). Work documented as "on the main loop" checks this
  // (ULMORA_DCHECK_ON_LOOP, platform/ThreadCheck.h). Any thread.
  bool isCurrent() const;

  // The loop of the calling thread: the one it is running or was given with
  // setCurrent(); else main() on the process's main thread; else a loop owned
  // by the thread, made on first use with Clock::systemClock().
  static RunLoop& current();
  // Gives the calling thread its current loop (nullptr undoes it). The loop
  // must outlive the setting.
  static void setCurrent(RunLoop* loop);

  // The main loop, run by the main thread. setMainForTesting replaces it for
  // the whole process (nullptr restores the default); callers must not keep a
  // reference across the replacement.
  static RunLoop& main();
  static void setMainForTesting(RunLoop* loop);

 private:
  struct Core;
  class ScopedRunner;
  // Runs due work until stop(), until `end` (if set) has passed, or, when
  // `waitForWork` is false, until nothing is due.
  void runUntil(std::optional<Clock::TimePoint> end, bool waitForWork);

  std::shared_ptr<Core> core_;
};

// Posts to a RunLoop that may already be gone; such posts are dropped and
// return false. Thread-safety: any thread.
class RunLoop::Handle {
 public:
  bool post(Task task) const;
  bool postDelayed(Task task, Clock::Duration delay) const;
  void stop() const;
  // RunLoop::isCurrent for the loop referred to; nullopt once it is gone.
  std::optional<bool> isCurrent() const;

 private:
  friend class RunLoop;
  explicit Handle(std::weak_ptr<Core> core) : core_(std::move(core)) {}
  std::weak_ptr<Core> core_;
};

}  // namespace ulmora
