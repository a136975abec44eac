#include "sync/control/SyncTimers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OffLoopCalls.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using std::chrono::seconds;

class TicksStub final : public SyncTimersHost {
 public:
  void syncOperation() override { ticks.push_back("cycle"); }
  void periodicListening() override { ticks.push_back("periodic"); }
  void PushDummyNotification() override { ticks.push_back("keep-alive"); }
  std::vector<std::string> ticks;
};

struct Fixture {
  ManualClock clock;
  RunLoop loop{clock};
  TicksStub host;
  SyncTimers timers{loop, host};
  void advance(Clock::Duration d) {
    clock.advance(d);
    loop.runUntilIdle();
  }
  std::vector<std::string> takeTicks() { return std::exchange(host.ticks, {}); }
};

struct TimerCase {
  const char* tick;
  Clock::Duration interval;
  void (SyncTimers::*schedule)();
  bool (SyncTimers::*isValid)() const;
  void (SyncTimers::*invalidate)();
};

const TimerCase kTimers[] = {
    {"cycle", seconds(5), &SyncTimers::scheduleSyncOperationTimer, &SyncTimers::isSyncOperationTimerValid,
     &SyncTimers::invalidateSyncOperationTimer},
    {"periodic", seconds(900), &SyncTimers::schedulePeriodicTimer, &SyncTimers::isPeriodicTimerValid,
     &SyncTimers::invalidatePeriodicTimer},
    {"keep-alive", seconds(600), &SyncTimers::scheduleKeepAliveTimer, &SyncTimers::isKeepAliveTimerValid,
     &SyncTimers::invalidateKeepAliveTimer},
};

// Each timer repeats at its period and ticks only its own work; scheduling
// one that runs keeps it on its schedule instead of starting it over (a tick
// that asks again for the push timers must not delay them for ever), and an
// ended one ticks no more.
TEST(SyncTimersTest, EachTimerRepeatsOnItsScheduleUntilEnded) {
  for (const TimerCase& c : kTimers) {
    SCOPED_TRACE(c.tick);
    Fixture f;
    EXPECT_FALSE((f.timers.*c.isValid)());
    (f.timers.*c.schedule)();
    EXPECT_TRUE((f.timers.*c.isValid)());
    f.advance(c.interval / 2);
    (f.timers.*c.schedule)();
    f.advance(c.interval - c.interval / 2);
    EXPECT_EQ(f.takeTicks(), std::vector<std::string>{c.tick});
    f.advance(c.interval);
    EXPECT_EQ(f.takeTicks(), std::vector<std::string>{c.tick});
    (f.timers.*c.invalidate)();
    EXPECT_FALSE((f.timers.*c.isValid)());
    f.advance(c.interval * 3);
    EXPECT_TRUE(f.takeTicks().empty());
    // Scheduled again after its end, it starts a new period.
    (f.timers.*c.schedule)();
    f.advance(c.interval);
    EXPECT_EQ(f.takeTicks(), std::vector<std::string>{c.tick});
  }
}

// The cycle and the periodic listening are started and ended together; the
// keep-alive is left to the push messages.
TEST(SyncTimersTest, AllSyncTimersAreTheCycleAndThePeriodicListening) {
  Fixture f;
  f.timers.createAllSyncTimers();
  EXPECT_TRUE(f.timers.isSyncOperationTimerValid());
  EXPECT_TRUE(f.timers.isPeriodicTimerValid());
  EXPECT_FALSE(f.timers.isKeepAliveTimerValid());
  EXPECT_NE(f.timers.syncOperationTimer(), nullptr);
  f.timers.scheduleKeepAliveTimer();
  f.timers.cancelAllSyncTimers();
  EXPECT_FALSE(f.timers.isSyncOperationTimerValid());
  EXPECT_FALSE(f.timers.isPeriodicTimerValid());
  EXPECT_EQ(f.timers.syncOperationTimer(), nullptr);
  EXPECT_TRUE(f.timers.isKeepAliveTimerValid());
  f.advance(seconds(900));
  EXPECT_EQ(f.takeTicks(), std::vector<std::string>{"keep-alive"});
}

// After stop() no timer ticks, and none can be started again: the account
// is going away.
TEST(SyncTimersTest, StopEndsEveryTimerForGood) {
  Fixture f;
  for (const TimerCase& c : kTimers) (f.timers.*c.schedule)();
  f.timers.stop();
  for (const TimerCase& c : kTimers) {
    EXPECT_FALSE((f.timers.*c.isValid)()) << c.tick;
    (f.timers.*c.schedule)();
    EXPECT_FALSE((f.timers.*c.isValid)()) << c.tick;
  }
  f.timers.createAllSyncTimers();
  f.advance(seconds(3600));
  EXPECT_TRUE(f.takeTicks().empty());
}

#ifndef NDEBUG
TEST(SyncTimersDeathTest, TimersAreTheMainLoopsAlone) {
  Fixture f;
  std::vector<testing::OffLoopCall> calls;
  for (const TimerCase& c : kTimers) {
    calls.push_back({c.tick, [&f, c] { (f.timers.*c.schedule)(); }});
    calls.push_back({c.tick, [&f, c] { (void)(f.timers.*c.isValid)(); }});
    calls.push_back({c.tick, [&f, c] { (f.timers.*c.invalidate)(); }});
  }
  calls.push_back({"createAllSyncTimers", [&f] { f.timers.createAllSyncTimers(); }});
  calls.push_back({"cancelAllSyncTimers", [&f] { f.timers.cancelAllSyncTimers(); }});
  calls.push_back({"syncOperationTimer", [&f] { (void)f.timers.syncOperationTimer(); }});
  testing::expectEachStopsOffItsLoop(calls);
}
#endif

}  // namespace
}  // namespace ulmora
