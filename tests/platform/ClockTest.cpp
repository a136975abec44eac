#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/Clock.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
constexpr auto kGenerous = std::chrono::seconds(10);  // real-time bound for "soon"

TEST(SystemClockTest, ReadsTheRealClocksAndTimesOutWaits) {
  Clock& clock = Clock::systemClock();
  EXPECT_LE(std::abs(std::chrono::system_clock::to_time_t(clock.wallNow()) - std::time(nullptr)), 1);

  std::mutex mu;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(mu);
  const auto start = clock.monotonicNow();
  EXPECT_TRUE(clock.waitUntil(lock, cv, Clock::TimePoint::max(), [] { return true; }));
  EXPECT_FALSE(clock.waitUntil(lock, cv, start + 20ms, [] { return false; }));
  EXPECT_TRUE(lock.owns_lock());
  EXPECT_GE(clock.monotonicNow() - start, 20ms);
}

struct StepCase {
  const char* name;
  Clock::Duration advanceBy;
  std::optional<Clock::WallTime> setWall;
  Clock::Duration wantWallOffset;  // from the start wall time
  Clock::Duration wantMonoOffset;  // from the origin
};

TEST(SystemClockTest, TimeScaleIsOffUnlessAFactorAboveOneIsGiven) {
  struct Case {
    const char* text;
    double scale;
  } const cases[] = {
      {nullptr, 1.0}, {"", 1.0},     {"abc", 1.0},   {"10x", 1.0},     {"0", 1.0},
      {"-5", 1.0},    {"1", 1.0},    {"0.5", 1.0},   {"nan", 1.0},     {"inf", 1.0},
      {"2", 2.0},     {"10", 10.0},  {"2.5", 2.5},   {"1000", 1000.0}, {"1e9", 1000.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Clock::parseTimeScale(c.text), c.scale) << (c.text ? c.text : "(unset)");
  }
}

TEST(SystemClockTest, ScaledClockShortensItsWaitsButNotTheWallTime) {
  SystemClock scaled(10.0);
  // Waits are divided and rounded up, so that no wait ends early.
  EXPECT_EQ(scaled.toRealDuration(std::chrono::seconds(2)), std::chrono::milliseconds(200));
  EXPECT_EQ(scaled.toRealDuration(std::chrono::nanoseconds(15)), std::chrono::nanoseconds(2));
  EXPECT_EQ(scaled.toRealDuration(Clock::Duration::zero()), Clock::Duration::zero());
  EXPECT_EQ(SystemClock().toRealDuration(std::chrono::seconds(2)), std::chrono::seconds(2));
  EXPECT_LE(std::abs(std::chrono::system_clock::to_time_t(scaled.wallNow()) - std::time(nullptr)), 1);

  // A deadline 50 s ahead on the scaled clock comes within real seconds.
  std::mutex mu;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(mu);
  const auto realStart = std::chrono::steady_clock::now();
  const auto start = scaled.monotonicNow();
  EXPECT_FALSE(scaled.waitUntil(lock, cv, start + std::chrono::milliseconds(500), [] { return false; }));
  EXPECT_GE(scaled.monotonicNow() - start, std::chrono::milliseconds(500));
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, kGenerous);
  EXPECT_TRUE(scaled.waitUntil(lock, cv, Clock::TimePoint::max(), [] { return true; }));
}

TEST(ManualClockTest, WallStepsEitherWayMonotonicOnlyForward) {
  const Clock::WallTime start = ManualClock::kDefaultWallStart;
  const StepCase cases[] = {
      {"advance moves both", 90s, std::nullopt, 90s, 90s},
      {"negative advance is ignored", -5s, std::nullopt, 0s, 0s},
      {"wall stepped back", 0s, start - 1h, -1h, 0s},
      {"wall stepped back then advanced", 10s, start - 1h, -1h + 10s, 10s},
      {"wall stepped forward", 0s, start + 24h, 24h, 0s},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock;
    const Clock::TimePoint origin = clock.monotonicNow();
    if (c.setWall) clock.setWallTime(*c.setWall);
    clock.advance(c.advanceBy);
    EXPECT_EQ(clock.wallNow() - start, c.wantWallOffset);
    EXPECT_EQ(clock.monotonicNow() - origin, c.wantMonoOffset);
  }
}

TEST(ManualClockTest, SleepForIsReleasedOnlyWhenAdvancedFarEnough) {
  ManualClock clock;
  const Clock::TimePoint origin = clock.monotonicNow();
  auto sleeper = std::async(std::launch::async, [&] {
    clock.sleepFor(10s);
    return clock.monotonicNow() - origin;
  });
  ASSERT_TRUE(clock.awaitBlockedThreads(1, kGenerous));
  clock.advance(6s);
  // Still asleep, and it has seen the 6 s step.
  ASSERT_TRUE(clock.awaitBlockedThreads(1, kGenerous));
  EXPECT_EQ(sleeper.wait_for(0s), std::future_status::timeout);
  clock.advance(4s);
  ASSERT_EQ(sleeper.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(sleeper.get(), 10s);
}

TEST(ManualClockTest, WaitUntilEndsOnDeadlineOrPredicate) {
  ManualClock clock;
  std::mutex mu;
  std::condition_variable cv;
  bool flag = false;
  const Clock::TimePoint deadline = clock.monotonicNow() + 5s;
  auto waitOnce = [&] {
    return std::async(std::launch::async, [&] {
      std::unique_lock<std::mutex> lock(mu);
      const bool result = clock.waitUntil(lock, cv, deadline, [&] { return flag; });
      return std::make_pair(result, lock.owns_lock());
    });
  };

  auto byPredicate = waitOnce();
  ASSERT_TRUE(clock.awaitBlockedThreads(1, kGenerous));
  {
    std::lock_guard<std::mutex> hold(mu);
    flag = true;
  }
  cv.notify_all();
  ASSERT_EQ(byPredicate.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(byPredicate.get(), std::make_pair(true, true));

  flag = false;
  auto byDeadline = waitOnce();
  ASSERT_TRUE(clock.awaitBlockedThreads(1, kGenerous));
  clock.advance(5s);
  ASSERT_EQ(byDeadline.wait_for(kGenerous), std::future_status::ready);
  EXPECT_EQ(byDeadline.get(), std::make_pair(false, true));
}

// An advance that lands while a waiter is between reading the time and
// blocking must still wake it; the waiter's mutex and cv die with its thread
// right after, so the clock must not touch them late either.
TEST(ManualClockTest, AdvanceRacingANewWaiterIsNeverLost) {
  ManualClock clock;
  for (int round = 0; round < 300; ++round) {
    const Clock::TimePoint deadline = clock.monotonicNow() + 1s;
    auto waiter = std::async(std::launch::async, [&clock, deadline] {
      std::mutex mu;
      std::condition_variable cv;
      std::unique_lock<std::mutex> lock(mu);
      // A slow predicate widens the gap between registering and reading the
      // time, where the step most often lands.
      return clock.waitUntil(lock, cv, deadline, [] {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return false;
      });
    });
    clock.advance(1s);
    ASSERT_EQ(waiter.wait_for(kGenerous), std::future_status::ready) << "round " << round;
    EXPECT_FALSE(waiter.get());
  }
}

TEST(ManualClockTest, AwaitBlockedThreadsTimesOutWhenNobodyWaits) {
  ManualClock clock;
  EXPECT_FALSE(clock.awaitBlockedThreads(1, 10ms));
  EXPECT_TRUE(clock.awaitBlockedThreads(0, 10ms));
}

}  // namespace
}  // namespace ulmora
