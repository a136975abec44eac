#include "sync/files/CacheSweeper.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "OffLoopCalls.h"
#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "platform/UserDefaults.h"
#include "sync/files/SyncRootFiles.h"

namespace ulmora {
namespace {

using std::chrono::hours;

double seconds1970(Clock::WallTime t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

struct Fixture {
  testing::TestTempDir dir;
  const std::string root = dir.sub("Sync");
  const std::string old = root + "/.UMSCache/2026-01-01/a.txt";
  ManualClock clock;
  RunLoop loop{clock};
  UserDefaults defaults{dir.sub("defaults.plist")};
  SyncRootFiles files{root};
  CacheSweeper sweeper{files, defaults, clock, loop};
  // Ten days from now: what the cache holds today is old by then.
  const Clock::WallTime now = std::chrono::system_clock::now() + hours(24 * 10);

  Fixture() {
    dir.writeFile("Sync/.UMSCache/2026-01-01/a.txt", "a");
    clock.setWallTime(now);
  }
  void storeDate(Clock::WallTime t) {
    defaults.setObject(CacheSweeper::kCacheClearedDateKey, PropertyList(PropertyList::Date{seconds1970(t)}));
  }
  std::optional<double> storedDate() const {
    const std::optional<PropertyList> d = defaults.objectForKey(CacheSweeper::kCacheClearedDateKey);
    if (!d || d->asDate() == nullptr) return std::nullopt;
    return d->asDate()->secondsSince1970;
  }
};

// The weekly check sweeps only a week or more (whole days) after the last
// sweep, and then records the sweep; without a recorded sweep, or with
// something else under the key, it waits for the first sweep to record one.
TEST(CacheSweeperTest, TheWeeklyCheckSweepsAWeekAfterTheLastSweep) {
  const struct {
    const char* name;
    std::optional<int> lastSweepDaysAgo;
    bool swept;
  } cases[] = {
      {"never swept", std::nullopt, false},
      {"six days ago", 6, false},
      {"seven days ago", 7, true},
      {"thirty days ago", 30, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    std::optional<double> before;
    if (c.lastSweepDaysAgo) {
      f.storeDate(f.now - hours(24 * *c.lastSweepDaysAgo) - std::chrono::minutes(1));
      before = f.storedDate();
    }
    f.sweeper.checkCacheClearanceforSevenDays();
    EXPECT_EQ(fileutil::exists(f.old), !c.swept);
    if (c.swept) {
      ASSERT_TRUE(f.storedDate());
      EXPECT_NEAR(*f.storedDate(), seconds1970(f.now), 1.0);
    } else {
      EXPECT_EQ(f.storedDate(), before);
    }
  }
  Fixture f;
  f.defaults.setObject(CacheSweeper::kCacheClearedDateKey, PropertyList("last week"));
  f.sweeper.checkCacheClearanceforSevenDays();
  EXPECT_TRUE(fileutil::exists(f.old));
}

// A sweep asked for directly records itself when it removed something, or
// when no sweep was ever recorded (the weekly check starts from it); a sweep
// that removed nothing keeps the recorded date.
TEST(CacheSweeperTest, ADirectSweepRecordsItselfWhenItCounts) {
  const struct {
    const char* name;
    bool oldEntry;
    bool dateStored;
    bool dateNow;
  } cases[] = {
      {"removed something", true, true, true},
      {"nothing to remove, never recorded", false, false, true},
      {"nothing to remove, recorded", false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    if (!c.oldEntry) {
      ASSERT_TRUE(fileutil::removeAll(f.root + "/.UMSCache/2026-01-01"));
    }
    const Clock::WallTime earlier = f.now - hours(24);
    if (c.dateStored) f.storeDate(earlier);
    f.sweeper.deleteCachedFiles();
    EXPECT_FALSE(fileutil::exists(f.old));
    ASSERT_TRUE(f.storedDate());
    EXPECT_NEAR(*f.storedDate(), seconds1970(c.dateNow ? f.now : earlier), 1.0);
  }
}

#ifndef NDEBUG
TEST(CacheSweeperDeathTest, TheSweepIsTheMainLoopsAlone) {
  Fixture f;
  testing::expectEachStopsOffItsLoop({
      {"checkCacheClearanceforSevenDays", [&f] { f.sweeper.checkCacheClearanceforSevenDays(); }},
      {"deleteCachedFiles", [&f] { f.sweeper.deleteCachedFiles(); }},
  });
}
#endif

}  // namespace
}  // namespace ulmora
