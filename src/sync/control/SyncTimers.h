#pragma once

#include <memory>

#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"

namespace ulmora {

// What the account's timers start (main loop).
class SyncTimersHost {
 public:
  virtual ~SyncTimersHost() = default;
  // One tick of the sync cycle.
  virtual void syncOperation() = 0;
  // The periodic listening push.
  virtual void periodicListening() = 0;
  // The push keep-alive.
  virtual void PushDummyNotification() = 0;
};

// The account's three repeating timers: the 5-second cycle, the 15-minute
// periodic listening and the 10-minute push keep-alive. Pause, resume, unlink
// and the push messages start and end them one by one; scheduling a timer
// that runs keeps it on its schedule.
//
// Thread-safety: main loop only (checked), but stop(), which may also run
// from the destructor of the thread that built it.
class SyncTimers {
 public:
  static constexpr Clock::Duration kSyncOperationInterval = std::chrono::seconds(5);
  static constexpr Clock::Duration kPeriodicListeningInterval = std::chrono::seconds(900);
  static constexpr Clock::Duration kKeepAliveInterval = std::chrono::seconds(600);

  SyncTimers(RunLoop& mainLoop, SyncTimersHost& host);
  // stop().
  ~SyncTimers();
  SyncTimers(const SyncTimers&) = delete;
  SyncTimers& operator=(const SyncTimers&) = delete;

  void scheduleSyncOperationTimer();
  bool isSyncOperationTimerValid() const;
  void invalidateSyncOperationTimer();
  // The cycle's timer as the status texts describe it; nullptr when none.
  const RunLoopTimer* syncOperationTimer() const;

  void schedulePeriodicTimer();
  bool isPeriodicTimerValid() const;
  void invalidatePeriodicTimer();

  void scheduleKeepAliveTimer();
  bool isKeepAliveTimerValid() const;
  void invalidateKeepAliveTimer();

  // The periodic listening, then the cycle (the keep-alive is the push
  // messages' own).
  void createAllSyncTimers();
  void cancelAllSyncTimers();

  // Every timer ends, and none starts again. Idempotent.
  void stop();

 private:
  using TimerPtr = std::shared_ptr<RunLoopTimer>;
  static bool valid(const TimerPtr& timer) { return timer && timer->isValid(); }
  static void invalidate(TimerPtr& timer);
  void schedule(TimerPtr& timer, Clock::Duration interval, void (SyncTimersHost::*tick)());

  RunLoop& mainLoop_;
  SyncTimersHost& host_;
  bool stopped_ = false;
  TimerPtr syncOperationTimer_;
  TimerPtr PNSPeriodicTimer_;
  TimerPtr DummyPNSTimer_;
  // Last: a tick under way when stop() begins ends before it returns.
  WeakGuard guard_;
};

}  // namespace ulmora
