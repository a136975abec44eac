#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ManualClock.h"
#include "platform/RunLoop.h"
#include "platform/Trace.h"
#include "platform/WeakGuard.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
constexpr auto kGenerous = std::chrono::seconds(10);  // real-time bound for "soon"

// Runs a loop's run() on its own thread; stops and joins on destruction.
class LoopThread {
 public:
  explicit LoopThread(RunLoop& loop) : loop_(loop), thread_([this] { loop_.run(); }) {}
  ~LoopThread() {
    loop_.stop();
    thread_.join();
  }

 private:
  RunLoop& loop_;
  std::thread thread_;
};

class RunLoopTest : public ::testing::Test {
 protected:
  // Records from any thread.
  void note(std::string what) {
    std::lock_guard<std::mutex> hold(mu_);
    log_.push_back(std::move(what));
  }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> hold(mu_);
    return log_;
  }
  RunLoop::Task noting(std::string what) {
    return [this, what] { note(what); };
  }

  ManualClock clock_;
  RunLoop loop_{clock_};

 private:
  std::mutex mu_;
  std::vector<std::string> log_;
};

struct Scheduled {
  const char* name;
  Clock::Duration delay;
  bool timer;  // a one-shot timer rather than a delayed post
};

struct OrderCase {
  const char* title;
  std::vector<Scheduled> work;
  std::vector<std::string> want;
};

TEST_F(RunLoopTest, OneBigStepRunsWorkInDeadlineThenPostingOrder) {
  const OrderCase cases[] = {
      {"delayed posts by deadline",
       {{"c", 3s, false}, {"a", 1s, false}, {"b", 2s, false}},
       {"a", "b", "c"}},
      {"equal deadlines keep posting order",
       {{"x", 2s, false}, {"y", 2s, true}, {"z", 2s, false}, {"now", 0s, false}},
       {"now", "x", "y", "z"}},
      {"timers and posts interleave",
       {{"t5", 5s, true}, {"p4", 4s, false}, {"t1", 1s, true}, {"p9", 9s, false}},
       {"t1", "p4", "t5", "p9"}},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(c.title);
    ManualClock clock;
    RunLoop loop(clock);
    std::vector<std::string> ran;
    std::vector<std::shared_ptr<RunLoopTimer>> timers;
    for (const Scheduled& s : c.work) {
      std::string name = s.name;
      if (s.timer) {
        timers.push_back(loop.scheduleTimer(s.delay, false, [&ran, name](RunLoopTimer&) {
          ran.push_back(name);
        }));
      } else {
        loop.postDelayed([&ran, name] { ran.push_back(name); }, s.delay);
      }
    }
    clock.advance(1h);
    loop.runUntilIdle();
    EXPECT_EQ(ran, c.want);
  }
}

TEST_F(RunLoopTest, NothingRunsBeforeItIsDue) {
  loop_.postDelayed(noting("later"), 5s);
  clock_.advance(4999ms);
  loop_.runUntilIdle();
  EXPECT_TRUE(log().empty());
  clock_.advance(1ms);
  loop_.runUntilIdle();
  EXPECT_EQ(log(), std::vector<std::string>{"later"});
}

TEST_F(RunLoopTest, RunUntilIdleAlsoRunsWhatTasksPostForNow) {
  loop_.post([this] {
    note("first");
    loop_.post([this] {
      note("second");
      loop_.postDelayed(noting("not yet"), 1s);
    });
  });
  loop_.runUntilIdle();
  EXPECT_EQ(log(), (std::vector<std::string>{"first", "second"}));
}

struct RepeatCase {
  const char* title;
  std::vector<Clock::Duration> steps;
  std::vector<int> wantFiredAfterEach;
};

TEST_F(RunLoopTest, RepeatingTimerFiresOncePerPeriodAndSkipsMissedOnes) {
  const RepeatCase cases[] = {
      {"one per period", {10s, 10s, 10s}, {1, 2, 3}},
      {"just short of a period", {9999ms, 1ms}, {0, 1}},
      // At 55 s the fire due at 30 s runs once; 40 s and 50 s are skipped and
      // the timer stays on its 10 s grid, so 60 s fires after only 5 s more.
      {"catching up keeps the schedule", {10s, 10s, 35s, 5s}, {1, 2, 3, 4}},
      {"several small steps", {4s, 4s, 4s, 4s, 4s}, {0, 0, 1, 1, 2}},
  };
  for (const RepeatCase& c : cases) {
    SCOPED_TRACE(c.title);
    ManualClock clock;
    RunLoop loop(clock);
    int fired = 0;
    auto timer = loop.scheduleTimer(10s, true, [&fired](RunLoopTimer&) { ++fired; });
    std::vector<int> seen;
    for (Clock::Duration step : c.steps) {
      clock.advance(step);
      loop.runUntilIdle();
      seen.push_back(fired);
    }
    EXPECT_EQ(seen, c.wantFiredAfterEach);
    EXPECT_TRUE(timer->isValid());
  }
}

TEST_F(RunLoopTest, OneShotTimerFiresOnceAndReleasesItsCallback) {
  auto token = std::make_shared<int>(0);
  auto timer = loop_.scheduleTimer(1s, false, [token](RunLoopTimer&) { ++*token; });
  EXPECT_TRUE(timer->isValid());
  for (int i = 0; i < 3; ++i) {
    clock_.advance(1s);
    loop_.runUntilIdle();
  }
  EXPECT_EQ(*token, 1);
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(token.use_count(), 1);
}

TEST_F(RunLoopTest, TimerInvalidatedInsideItsOwnCallbackStops) {
  int fired = 0;
  auto token = std::make_shared<int>(0);
  auto timer = loop_.scheduleTimer(1s, true, [&fired, token](RunLoopTimer& self) {
    if (++fired == 3) self.invalidate();
  });
  for (int i = 0; i < 6; ++i) {
    clock_.advance(1s);
    loop_.runUntilIdle();
  }
  EXPECT_EQ(fired, 3);
  EXPECT_FALSE(timer->isValid());
  EXPECT_EQ(token.use_count(), 1);  // the callback (and what it holds) is gone
}

TEST(RunLoopTimerTest, InvalidatedFromAnotherThreadNeverFiresAndOutlivesItsLoop) {
  ManualClock clock;
  int fired = 0;
  std::shared_ptr<RunLoopTimer> cancelled;
  std::shared_ptr<RunLoopTimer> orphaned;
  {
    RunLoop loop(clock);
    cancelled = loop.scheduleTimer(1s, true, [&fired](RunLoopTimer&) { ++fired; });
    orphaned = loop.scheduleTimer(10s, true, [&fired](RunLoopTimer&) { ++fired; });
    std::thread([&] { cancelled->invalidate(); }).join();
    clock.advance(5s);
    loop.runUntilIdle();
  }
  EXPECT_EQ(fired, 0);
  EXPECT_FALSE(cancelled->isValid());
  EXPECT_FALSE(orphaned->isValid());  // its loop is gone
  orphaned->invalidate();
}

TEST_F(RunLoopTest, InvalidateFromAnotherThreadWaitsForARunningCallback) {
  std::promise<void> started;
  std::atomic<bool> invalidateReturned{false};
  std::atomic<bool> sawReturnedWhileRunning{true};
  auto timer = loop_.scheduleTimer(1s, true, [&](RunLoopTimer& self) {
    started.set_value();
    // Wait until the other thread is inside invalidate(), then give a wrong
    // implementation the chance to return early.
    const auto until = std::chrono::steady_clock::now() + kGenerous;
    while (self.isValid() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    sawReturnedWhileRunning = invalidateReturned.load();
  });
  LoopThread thread(loop_);
  clock_.advance(1s);
  ASSERT_EQ(started.get_future().wait_for(kGenerous), std::future_status::ready);
  timer->invalidate();
  invalidateReturned = true;
  EXPECT_FALSE(sawReturnedWhileRunning.load());
}

TEST_F(RunLoopTest, PostFromAnotherThreadWakesABlockedLoop) {
  LoopThread thread(loop_);
  ASSERT_TRUE(clock_.awaitBlockedThreads(1, kGenerous));  // parked with nothing to do
  std::promise<std::thread::id> ranOn;
  std::thread poster([&] { loop_.post([&] { ranOn.set_value(std::this_thread::get_id()); }); });
  poster.join();
  auto result = ranOn.get_future();
  ASSERT_EQ(result.wait_for(kGenerous), std::future_status::ready);
  EXPECT_NE(result.get(), std::this_thread::get_id());
}

TEST(RunLoopSystemClockTest, DelayedPostRunsOnTheRealClock) {
  RunLoop loop;
  std::promise<void> done;
  const auto start = std::chrono::steady_clock::now();
  loop.postDelayed([&] { done.set_value(); }, 20ms);
  LoopThread thread(loop);
  ASSERT_EQ(done.get_future().wait_for(kGenerous), std::future_status::ready);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}

TEST_F(RunLoopTest, StopEndsRunAfterTheCurrentTaskAndIsNotLostBeforeRun) {
  loop_.post(noting("a"));
  loop_.post([this] { loop_.stop(); });
  loop_.post(noting("b"));
  loop_.run();
  EXPECT_EQ(log(), std::vector<std::string>{"a"});
  loop_.runUntilIdle();
  EXPECT_EQ(log(), (std::vector<std::string>{"a", "b"}));

  // A stop that arrives before run() starts still ends it.
  std::thread([this] { loop_.stop(); }).join();
  loop_.run();
}

TEST_F(RunLoopTest, StopFromAnotherThreadEndsABlockedRun) {
  auto running = std::async(std::launch::async, [this] { loop_.run(); });
  ASSERT_TRUE(clock_.awaitBlockedThreads(1, kGenerous));
  loop_.stop();
  EXPECT_EQ(running.wait_for(kGenerous), std::future_status::ready);
}

TEST_F(RunLoopTest, RunForEndsWhenTheClockPassesItsEnd) {
  int fired = 0;
  auto timer = loop_.scheduleTimer(3s, true, [&fired](RunLoopTimer&) { ++fired; });
  loop_.postDelayed(noting("after the end"), 11s);
  auto running = std::async(std::launch::async, [this] { loop_.runFor(10s); });
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(clock_.awaitBlockedThreads(1, kGenerous));
    EXPECT_EQ(running.wait_for(0s), std::future_status::timeout);
    clock_.advance(4s);
  }
  ASSERT_TRUE(clock_.awaitBlockedThreads(1, kGenerous));
  EXPECT_EQ(fired, 2);
  clock_.advance(4s);  // now 12 s: past the end
  ASSERT_EQ(running.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(fired, 3);  // 3, 6 and 9 s; the 12 s fire is beyond the end
  EXPECT_TRUE(log().empty());
}

TEST_F(RunLoopTest, ThrowingWorkIsTracedAndTheLoopGoesOn) {
  std::vector<std::string> traces;
  std::mutex traceMu;
  setTraceSink([&](std::string_view line) {
    std::lock_guard<std::mutex> hold(traceMu);
    traces.emplace_back(line);
  });
  int timerFires = 0;
  auto timer = loop_.scheduleTimer(1s, true, [&timerFires](RunLoopTimer&) {
    ++timerFires;
    throw std::logic_error("timer trouble");
  });
  loop_.post([] { throw std::runtime_error("task trouble"); });
  loop_.post([] { throw 42; });
  loop_.post(noting("still running"));
  loop_.runUntilIdle();
  for (int i = 0; i < 2; ++i) {
    clock_.advance(1s);
    loop_.runUntilIdle();
  }
  setTraceSink({});

  EXPECT_EQ(log(), std::vector<std::string>{"still running"});
  EXPECT_EQ(timerFires, 2);
  EXPECT_TRUE(timer->isValid());
  ASSERT_EQ(traces.size(), 4u);
  EXPECT_NE(traces[0].find("task trouble"), std::string::npos);
  EXPECT_NE(traces[2].find("timer trouble"), std::string::npos);
}

TEST(RunLoopLifetimeTest, WorkForAGoneLoopIsDroppedNotRun) {
  auto token = std::make_shared<int>(0);
  std::optional<RunLoop::Handle> handle;
  {
    ManualClock clock;
    RunLoop loop(clock);
    handle = loop.handle();
    loop.post([token] { ++*token; });  // still queued when the loop goes
    EXPECT_TRUE(handle->post([token] { ++*token; }));
  }
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_FALSE(handle->post([token] { ++*token; }));
  EXPECT_FALSE(handle->postDelayed([token] { ++*token; }, 1s));
  handle->stop();
  EXPECT_EQ(*token, 0);
  EXPECT_EQ(token.use_count(), 1);
}

TEST(RunLoopCurrentTest, EachThreadHasItsOwnLoopAndARunningLoopIsCurrent) {
  ManualClock clock;
  RunLoop mainLoop(clock);
  RunLoop::setMainForTesting(&mainLoop);
  EXPECT_EQ(&RunLoop::main(), &mainLoop);
  EXPECT_EQ(&RunLoop::current(), &mainLoop);  // this is the process's main thread

  RunLoop* first = nullptr;
  RunLoop* again = nullptr;
  bool usesSystemClock = false;
  std::thread([&] {
    first = &RunLoop::current();
    again = &RunLoop::current();
    usesSystemClock = &first->clock() == &Clock::systemClock();
  }).join();
  EXPECT_EQ(first, again);
  EXPECT_NE(first, &mainLoop);
  EXPECT_TRUE(usesSystemClock);  // made on demand

  RunLoop worker(clock);
  RunLoop* insideRun = nullptr;
  worker.post([&] { insideRun = &RunLoop::current(); });
  worker.runUntilIdle();
  EXPECT_EQ(insideRun, &worker);
  EXPECT_EQ(&RunLoop::current(), &mainLoop);

  RunLoop::setMainForTesting(nullptr);
  EXPECT_NE(&RunLoop::main(), &mainLoop);
}

TEST(RunLoopCurrentTest, ADestroyedMainOverrideIsForgotten) {
  {
    RunLoop replacement;
    RunLoop::setMainForTesting(&replacement);
  }
  RunLoop::main().post([] {});  // the default main loop again, not a dangling one
}

TEST_F(RunLoopTest, WeakGuardDropsTasksOnceItsOwnerIsGone) {
  auto guard = std::make_unique<WeakGuard>();
  loop_.post(guard->wrap([this] { note("owner alive"); }));
  loop_.runUntilIdle();
  loop_.post(guard->wrap([this] { note("owner gone"); }));
  guard.reset();
  loop_.runUntilIdle();
  EXPECT_EQ(log(), std::vector<std::string>{"owner alive"});
}

TEST_F(RunLoopTest, WeakGuardCanBeDestroyedFromItsOwnTask) {
  auto guard = std::make_unique<WeakGuard>();
  loop_.post(guard->wrap([&] {
    guard.reset();  // an owner deleting itself from its own task must not deadlock
    note("finished");
  }));
  loop_.runUntilIdle();
  EXPECT_EQ(log(), std::vector<std::string>{"finished"});
}

}  // namespace
}  // namespace ulmora
