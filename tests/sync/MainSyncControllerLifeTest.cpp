#include <gtest/gtest.h>

#include <ctime>

#include "foundation/ScopedEnv.h"
#include "engine/KVTBackupManager.h"
#include "ipc/IpcMessageTypes.h"
#include "platform/UserDefaults.h"
#include "sync/files/CacheSweep.h"
#include "sync/SyncTestSupport.h"

namespace ulmora {
namespace {

using testing::SyncFixture;
using std::chrono::seconds;

TEST(MainSyncControllerLifeTest, DestroyedWithTimersMessagesRunsAndWorkInFlight) {
  struct Case {
    const char* name;
    bool shutDownFirst;
  } cases[] = {{"destroyed", false}, {"shut down, then destroyed", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SyncFixture f;
    MainSyncController& controller = f.make();
    controller.startSync();  // cycle and push timers; message 47 two seconds away
    ASSERT_TRUE(f.settle());
    f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser}, {"Pause", "1"}});
    // Runs whose engine cannot start end on their own threads, reporting
    // back into the controller while it goes away.
    controller.backupManager().setFileFolderSetForOperation({"/a.txt"});
    controller.backupManager().startBackup();
    controller.restoreManager().setFileFolderSetForOperation({"/b.txt"});
    controller.restoreManager().startRestore();
    controller.updateIconOverlay();   // a worker task
    f.reachability->set(false);       // a report on its way to the main loop
    if (c.shutDownFirst) {
      controller.shutdown();
      EXPECT_EQ(MainSyncController::sharedController(), nullptr);
    }
    f.controller.reset();
    EXPECT_EQ(MainSyncController::sharedController(), nullptr);
    // Nothing of it runs any more.
    f.advance(seconds(3));
    f.advance(seconds(900));
    EXPECT_EQ(f.owner.finder->types(), std::vector<int>{messagetype::kFinderSyncRoot});
  }
}

TEST(MainSyncControllerLifeTest, TheSharedInstanceIsTheLatestLiveController) {
  SyncFixture f;
  MainSyncController& first = f.make();
  EXPECT_EQ(MainSyncController::sharedController(), &first);
  {
    SyncContext ctx({f.me, "bob", f.root}, f.clock, f.loop, *f.queue, f.collections);
    ctx.enginePath = f.home.sub("no-engine/ulmora-kvt");
    ctx.makeReachability = [] { return std::make_unique<testing::FakeReachability>(true); };
    MainSyncController second(std::move(ctx));
    EXPECT_EQ(MainSyncController::sharedController(), &second);
  }
  // The one that went away is never handed out.
  EXPECT_EQ(MainSyncController::sharedController(), nullptr);
}

TEST(MainSyncControllerLifeTest, ReachabilityReportsReachTheNetworkFlagOnTheMainLoop) {
  SyncFixture f;
  MainSyncController& c = f.make(false);
  EXPECT_FALSE(c.isNWAvailable());
  f.reachability->set(true);
  EXPECT_FALSE(c.isNWAvailable());  // not before the main loop runs
  f.loop.runUntilIdle();
  EXPECT_TRUE(c.isNWAvailable());
  {
    MutexLock hold(c.accountState().control.shared.mutex);
    c.accountState().control.shared.refreshSS = false;
  }
  f.reachability->set(false);
  f.loop.runUntilIdle();
  EXPECT_FALSE(c.isNWAvailable());
  MutexLock hold(c.accountState().control.shared.mutex);
  EXPECT_TRUE(c.accountState().control.shared.refreshSS);
}

// ---------------------------------------------------------------- cache

class CacheTest : public ::testing::Test {
 protected:
  std::string entry(const std::string& name, bool folder) {
    const std::string path = fileutil::joinPath(cache, name);
    if (folder) {
      fileutil::makeDirectories(path + "/inner");
      fileutil::writeFileAtomically(path + "/inner/file", "x");
    } else {
      fileutil::makeDirectories(cache);
      fileutil::writeFileAtomically(path, "x");
    }
    return path;
  }
  // The sweep as the controller runs it: removals through the sync root's
  // guarded door.
  bool sweep(Clock::WallTime now) {
    return cachesweep::sweep(cache, now, [this](const std::string& path) { return files.removeFromCache(path); });
  }
  testing::TestTempDir dir;
  const std::string cache = dir.sub(".UMSCache");
  const SyncRootFiles files{dir.path()};
};

TEST_F(CacheTest, EntriesThreeOrMoreDaysOldGoExceptTheKeptNames) {
  struct Case {
    const char* name;
    int daysLater;
    bool removed;
  } cases[] = {
      {"2 days old", 2, false},
      {"3 days old", 3, true},
      {"10 days old", 10, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string day = entry("2026-01-01", true);
    const std::string file = entry("loose.txt", false);
    const std::string conflict = entry("ConflictData", true);
    const std::string ds = entry(".DS_Store", false);
    const auto now = std::chrono::system_clock::now() + std::chrono::hours(24 * c.daysLater) +
                     std::chrono::minutes(1);
    EXPECT_EQ(sweep(now), c.removed);
    EXPECT_EQ(fileutil::exists(day), !c.removed);
    EXPECT_EQ(fileutil::exists(file), !c.removed);
    EXPECT_TRUE(fileutil::exists(conflict));
    EXPECT_TRUE(fileutil::exists(ds));
    fileutil::removeAll(cache);
  }
}

TEST(CacheSweepTest, DayFolderNamesAndWholeDays) {
  EXPECT_TRUE(cachesweep::dateFromDayFolderName("2026-12-07"));
  for (const char* bad : {"2026-13-07", "2026-12-7", "x026-12-07", "2026-12-07x", "", "ConflictData"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(cachesweep::dateFromDayFolderName(bad));
  }
  const auto t = std::chrono::system_clock::now();
  EXPECT_EQ(cachesweep::wholeDaysBetween(t, t + std::chrono::hours(71)), 2);
  EXPECT_EQ(cachesweep::wholeDaysBetween(t, t + std::chrono::hours(72)), 3);
  EXPECT_FALSE(cachesweep::isSweepable("ConflictData"));
  EXPECT_FALSE(cachesweep::isSweepable(".DS_Store"));
  EXPECT_TRUE(cachesweep::isSweepable("2026-12-07"));
}

TEST(CacheSweepTest, WholeDaysFollowTheLocalCalendarAcrossDaylightSaving) {
  // Central European rules, spelled out so no zone database is needed:
  // clocks go forward on 2026-03-29 and back on 2026-10-25.
  testing::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  const auto local = [](int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
  };
  struct Case {
    const char* name;
    Clock::WallTime from;
    Clock::WallTime to;
    int64_t days;
  } cases[] = {
      {"noon to noon over the short day (71 hours)", local(3, 27, 12, 0), local(3, 30, 12, 0), 3},
      {"over the short day, a minute early", local(3, 27, 12, 0), local(3, 30, 11, 59), 2},
      {"noon to noon over the long day (73 hours)", local(10, 23, 12, 0), local(10, 26, 12, 0), 3},
      {"over the long day, half an hour early (72.5 hours)", local(10, 23, 12, 0),
       local(10, 26, 11, 30), 2},
      {"seven days over the short day", local(3, 25, 9, 0), local(4, 1, 9, 0), 7},
      {"late evening to early morning", local(6, 1, 23, 0), local(6, 2, 1, 0), 0},
      {"backwards", local(3, 30, 12, 0), local(3, 27, 12, 0), -3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cachesweep::wholeDaysBetween(c.from, c.to), c.days) << c.name;
  }
}

TEST(MainSyncControllerCacheTest, TheWeeklySweepRunsOnlyOnceItsDateIsRecorded) {
  struct Case {
    const char* name;
    std::optional<int> lastSweepDaysAgo;
    bool swept;
  } cases[] = {
      {"never recorded", std::nullopt, false},
      {"6 days ago", 6, false},
      {"7 days ago", 7, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SyncFixture f;
    // Ten days from now: what the cache holds today is old by then.
    const auto now = std::chrono::system_clock::now() + std::chrono::hours(24 * 10);
    f.clock.setWallTime(now);
    UserDefaults defaults(f.home.sub("defaults.plist"));
    if (c.lastSweepDaysAgo) {
      const auto last =
          now - std::chrono::hours(24 * *c.lastSweepDaysAgo) - std::chrono::minutes(1);
      defaults.setObject("CACHE_CLEARED_DATE",
                         PropertyList(PropertyList::Date{
                             std::chrono::duration<double>(last.time_since_epoch()).count()}));
    }
    const std::string old = f.root + "/.UMSCache/2026-01-01";
    f.home.writeRaw(old + "/a.txt", "a");
    SyncContext ctx({f.me, SyncFixture::kUser, f.root}, f.clock, f.loop, *f.queue, f.collections);
    ctx.enginePath = f.home.sub("no-engine/ulmora-kvt");
    ctx.defaults = &defaults;
    ctx.makeReachability = [] { return std::make_unique<testing::FakeReachability>(true); };
    MainSyncController controller(std::move(ctx));
    controller.checkCacheClearanceforSevenDays();
    EXPECT_EQ(fileutil::exists(old), !c.swept);
    const std::optional<PropertyList> recorded = defaults.objectForKey("CACHE_CLEARED_DATE");
    EXPECT_EQ(recorded.has_value(), c.lastSweepDaysAgo.has_value());
    if (c.swept) {
      ASSERT_TRUE(recorded && recorded->asDate());
      EXPECT_NEAR(recorded->asDate()->secondsSince1970,
                  std::chrono::duration<double>(now.time_since_epoch()).count(), 1.0);
    }
  }
}

}  // namespace
}  // namespace ulmora
