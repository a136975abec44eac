#include <gtest/gtest.h>

#include "engine/KVTBackupManager.h"
#include "ipc/IpcMessageTypes.h"
#include "platform/UserDefaults.h"
#include "sync/CacheSweep.h"
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
  c.accountState().control.refreshSS = false;
  f.reachability->set(false);
  f.loop.runUntilIdle();
  EXPECT_FALSE(c.isNWAvailable());
  EXPECT_TRUE(c.accountState().control.refreshSS);
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
  testing::TestTempDir dir;
  const std::string cache = dir.sub(".UMSCache");
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
    EXPECT_EQ(cachesweep::sweep(cache, now), c.removed);
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
