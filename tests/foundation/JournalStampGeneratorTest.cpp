#include "foundation/JournalStampGenerator.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <thread>
#include <vector>

#include "ScopedEnv.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::ScopedEnv;

Clock::WallTime utc(int64_t millisSince1970) {
  return Clock::WallTime(std::chrono::milliseconds(millisSince1970));
}

TEST(JournalStampGeneratorTest, FormatsLocalTimeToTheMillisecond) {
  struct Case {
    int64_t millis;
    const char* text;
  } cases[] = {
      {1577836800000, "2020-01-01 00-00-00-000"},
      {1709647629007, "2024-03-05 14-07-09-007"},
      {-1, "1969-12-31 23-59-59-999"},
  };
  for (const auto& c : cases) EXPECT_EQ(JournalStampGenerator::format(utc(c.millis)), c.text);

  ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(JournalStampGenerator::format(utc(1719835200123)), "2024-07-01 14-00-00-123");
}

TEST(JournalStampGeneratorTest, NamesFollowTheClock) {
  ManualClock clock;
  JournalStampGenerator generator(clock);
  EXPECT_EQ(generator.next(), "2020-01-01 00-00-00-000");
  clock.advance(1234ms);
  EXPECT_EQ(generator.next(), "2020-01-01 00-00-01-234");
  // Same width and shape for every name, so name order is time order.
  const std::string shape = "dddd-dd-dd dd-dd-dd-ddd";
  std::string name = generator.next();
  ASSERT_EQ(name.size(), shape.size());
  for (size_t i = 0; i < shape.size(); ++i) {
    EXPECT_EQ(shape[i] == 'd', std::isdigit(static_cast<unsigned char>(name[i])) != 0) << name;
  }
}

TEST(JournalStampGeneratorTest, FrozenClockStillGivesIncreasingNames) {
  ManualClock clock;
  JournalStampGenerator generator(clock);
  std::string previous = generator.next();
  for (int i = 0; i < 1500; ++i) {
    std::string name = generator.next();
    ASSERT_GT(name, previous);
    previous = name;
  }
  EXPECT_EQ(previous, "2020-01-01 00-00-01-500");
}

TEST(JournalStampGeneratorTest, ClockSteppingBackNeverRepeatsANameOrGoesBack) {
  ManualClock clock;
  JournalStampGenerator generator(clock);
  clock.advance(10s);
  std::string before = generator.next();
  clock.setWallTime(ManualClock::kDefaultWallStart - 1h);
  std::string after = generator.next();
  EXPECT_GT(after, before);
  EXPECT_GT(generator.next(), after);
  // Once the clock passes the last name again, names follow it.
  clock.setWallTime(ManualClock::kDefaultWallStart + 20s);
  EXPECT_EQ(generator.next(), "2020-01-01 00-00-20-000");
}

TEST(JournalStampGeneratorTest, EndOfDaylightSavingTimeDoesNotGoBack) {
  ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  // 2024-10-27 00:59:59.900 UTC is 02:59:59.900 summer time; 100 ms later
  // the local clock reads 02:00:00.000 again.
  ManualClock clock(utc(1729990799900));
  JournalStampGenerator generator(clock);
  std::string summer = generator.next();
  EXPECT_EQ(summer, "2024-10-27 02-59-59-900");
  clock.advance(100ms);
  EXPECT_GT(generator.next(), summer);
}

TEST(JournalStampGeneratorTest, ThreadsNeverShareAName) {
  ManualClock clock;
  JournalStampGenerator generator(clock);
  constexpr int kThreads = 8, kPerThread = 500;
  std::vector<std::vector<std::string>> names(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        names[t].push_back(generator.next());
        if (i % 100 == 0) clock.advance(1ms);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::string> all;
  for (const auto& list : names) {
    for (size_t i = 1; i < list.size(); ++i) EXPECT_GT(list[i], list[i - 1]);
    all.insert(list.begin(), list.end());
  }
  EXPECT_EQ(all.size(), size_t{kThreads * kPerThread});
}

}  // namespace
}  // namespace ulmora
