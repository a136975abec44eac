#include "sync/control/PauseHold.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestTempDir.h"
#include "WaitUntil.h"
#include "engine/KVTBackupManager.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/AccountState.h"
#include "sync/control/SyncTimers.h"

namespace ulmora {
namespace {

class RecordingPort final : public PauseHoldPort {
 public:
  void dropQueuedDownloads() override { ++dropped; }
  void deleteHalfRestoredFiles() override { ++halfRestoredDeleted; }
  void listAgain() override { ++listings; }
  int dropped = 0;
  int halfRestoredDeleted = 0;
  int listings = 0;
};

class NoTicks final : public SyncTimersHost {
 public:
  void syncOperation() override {}
  void periodicListening() override {}
  void PushDummyNotification() override {}
};

struct Rig {
  testing::TestTempDir dir;
  ManualClock clock;
  RunLoop main{clock};
  RunLoop worker{clock};
  KVTBackupManager uploads{clock};
  KVTBackupManager downloads{clock};
  AccountState state;
  AccountSettings settings{AccountSettings::Files{}, nullptr, nullptr};
  NoTicks ticks;
  SyncTimers timers{main, ticks};
  RecordingPort port;
  PauseHold hold{PauseHold::Parts{uploads, downloads, main, worker, state, settings, timers, port}};

  Rig() {
    // An engine that never reports: a run of it lasts until it is stopped.
    dir.writeFile("engine.sh", "#!/bin/sh\nexec sleep 60\n");
    ::chmod(dir.sub("engine.sh").c_str(), 0700);
    fileutil::makeDirectories(dir.sub("root"));
    for (KVTBackupManager* m : {&uploads, &downloads}) {
      m->setExecutorPath(dir.sub("engine.sh"));
      m->setBackupSourceFolder(dir.sub("root"));
      m->setApplicationSupportFolder(dir.sub("app"));
      m->setRestore(m == &downloads);
      m->createTempFilePaths();
    }
    timers.schedulePeriodicTimer();
    timers.scheduleKeepAliveTimer();
  }
  void startDownload() {
    downloads.setFileFolderSetForOperation({"/b.txt"});
    downloads.startRestore();
  }
  std::string uploadThrottle() const { return fileutil::readFile(uploads.throttleFilePath()).value_or("(none)"); }
  bool listingFromZero() {
    MutexLock lock(state.listing.mutex);
    return state.listing.listingStartedfromZeroIndex;
  }
};

TEST(PauseHoldTest, APauseTickHoldsTheUploadAndStopsADownloadOnceOffTheMainLoop) {
  struct Case {
    const char* name;
    bool downloading;
  } cases[] = {{"nothing downloading", false}, {"a download running", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    if (c.downloading) {
      rig.startDownload();
      ASSERT_TRUE(rig.downloads.isRunning());
    }
    rig.hold.pauseSteps();
    EXPECT_EQ(rig.uploadThrottle(), "-1");
    EXPECT_TRUE(rig.hold.uploadHeld());
    EXPECT_FALSE(rig.timers.isPeriodicTimerValid());
    EXPECT_FALSE(rig.timers.isKeepAliveTimerValid());
    EXPECT_EQ(rig.hold.downloadStopUnderWay(), c.downloading);
    // Nothing of the stop on the main loop: the download still runs here.
    EXPECT_EQ(rig.downloads.isRunning(), c.downloading);
    EXPECT_EQ(rig.port.dropped, c.downloading ? 0 : 1);

    // Further ticks while the stop is under way start no second one.
    rig.hold.pauseSteps();
    rig.worker.runUntilIdle();
    // Its engines have ended; the run's thread finishes on its own.
    EXPECT_TRUE(testing::waitUntil([&] { return !rig.downloads.isRunning(); }, std::chrono::seconds(10)));
    rig.main.runUntilIdle();
    EXPECT_FALSE(rig.hold.downloadStopUnderWay());
    EXPECT_EQ(rig.port.dropped, c.downloading ? 1 : 2);
    // The stopped download's files are listed again after the pause.
    EXPECT_EQ(rig.port.listings, c.downloading ? 1 : 0);
    EXPECT_EQ(rig.listingFromZero(), c.downloading);
  }
}

TEST(PauseHoldTest, OnlyTheFirstOpenTickAfterAHoldRestoresTheThrottle) {
  Rig rig;
  EXPECT_FALSE(rig.hold.restoreThrottleAfterPause());  // never held
  EXPECT_EQ(rig.port.listings, 0);

  struct Step {
    const char* name;
    void (PauseHold::*before)();  // null: nothing
    bool restored;
  } steps[] = {
      {"after a pause tick", &PauseHold::pauseSteps, true},
      {"the next open tick", nullptr, false},
      {"after a hold by PauseSync", &PauseHold::holdUpload, true},
  };
  int listings = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    if (s.before != nullptr) (rig.hold.*s.before)();
    EXPECT_EQ(rig.hold.restoreThrottleAfterPause(), s.restored);
    if (s.restored) ++listings;
    EXPECT_EQ(rig.uploadThrottle(), rig.settings.bandwidthThrottle(true));
    EXPECT_FALSE(rig.hold.uploadHeld());
    EXPECT_EQ(rig.port.listings, listings);
  }
}

TEST(PauseHoldTest, AStoppedDownloadLeavesNoHalfReceivedFilesAndAStopAfterStopReportsNothing) {
  struct Case {
    const char* name;
    bool stoppedFirst;
  } cases[] = {{"running", false}, {"stopped before the worker reports", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.startDownload();
    rig.hold.stopDownload();
    rig.hold.stopUpload();
    EXPECT_TRUE(rig.hold.downloadStopUnderWay());
    if (c.stoppedFirst) rig.hold.stop();
    rig.worker.runUntilIdle();
    rig.main.runUntilIdle();
    EXPECT_EQ(rig.port.halfRestoredDeleted, c.stoppedFirst ? 0 : 1);
    EXPECT_EQ(rig.port.dropped, 0);
    if (!c.stoppedFirst) {
      EXPECT_TRUE(testing::waitUntil([&] { return !rig.downloads.isRunning(); }, std::chrono::seconds(10)));
      EXPECT_FALSE(rig.hold.downloadStopUnderWay());
    }
  }
}

}  // namespace
}  // namespace ulmora
