#include <gtest/gtest.h>

#include "engine/KVTBackupManager.h"
#include "foundation/StringExtensions.h"
#include "ipc/IpcMessageTypes.h"
#include "service/SynListingController.h"
#include "sync/SyncTestSupport.h"

namespace ulmora {
namespace {

using testing::SyncFixture;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::vector<int> kRootOnce = {messagetype::kFinderSyncRoot};
const std::vector<int> kRootTwice = {messagetype::kFinderSyncRoot,
                                     messagetype::kFinderSyncRootAgain};

TEST(MainSyncControllerStartTest, TellsTheFileManagerTheRootTwiceTwoSecondsApart) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.startSync();
  ASSERT_TRUE(f.settle());
  EXPECT_EQ(f.owner.finder->types(), kRootOnce);
  f.advance(milliseconds(1999));
  EXPECT_EQ(f.owner.finder->types(), kRootOnce);
  f.advance(milliseconds(1));
  const std::vector<std::pair<int, std::string>> expected = {
      {messagetype::kFinderSyncRoot, f.root}, {messagetype::kFinderSyncRootAgain, f.root}};
  EXPECT_EQ(f.owner.finder->sent(), expected);
  // A full listing is asked for and the pending uploads are queried.
  EXPECT_EQ(f.owner.queries(), std::vector<int>{1});
}

TEST(MainSyncControllerStartTest, TheFirstListingDecidesWhetherTheJournalsAreKept) {
  struct Case {
    const char* name;
    bool reinitialise;
    bool indexFile;
    bool journalsKept;
    std::vector<int> queries;
  } cases[] = {
      {"resumes from the stored index", false, true, true, {1}},
      {"lists from zero", false, false, false, {1}},
      {"reinitialising: the walk and its listing decide", true, true, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SyncFixture f;
    const std::string account = f.home.accountFolder(SyncFixture::kUser);
    const std::string pending = account + "/Journal/Backup/2026-01-01 00-00-00-000";
    f.home.writeRaw(pending, "/a.txt\n");
    if (c.indexFile) f.home.writeRaw(account + "/Root/indexFile.txt", "42");
    MainSyncController& controller = f.make();
    controller.setReinitializeState(c.reinitialise);
    controller.startSync();
    // Settled before startSync returns; the rest waits for the settings.
    EXPECT_EQ(fileutil::exists(pending), c.journalsKept);
    ASSERT_TRUE(f.settle());
    EXPECT_EQ(f.owner.queries(), c.queries);
    EXPECT_TRUE(f.queue->isDBThreadRunning());
  }
}

TEST(MainSyncControllerStartTest, AStartRefusedByAClosedGateIsFinishedByTheFirstOpenTick) {
  struct Case {
    const char* name;
    const char* flag;
    bool finishedWhenOpen;
  } cases[] = {
      {"paused", "Pause", true},
      {"folder moving", "Move in progress", true},
      {"unlinked: the next start command decides", "Unlink status", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SyncFixture f;
    f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser}, {c.flag, "1"}});
    MainSyncController& controller = f.make();
    controller.startSync();
    f.advance(seconds(5));
    f.advance(seconds(5));
    EXPECT_TRUE(f.owner.finder->types().empty());
    EXPECT_TRUE(f.owner.queries().empty());

    f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser}, {c.flag, "0"}});
    f.advance(seconds(5));
    ASSERT_TRUE(f.settle());
    f.advance(seconds(2));
    EXPECT_EQ(f.owner.finder->types(), c.finishedWhenOpen ? kRootTwice : std::vector<int>{});
    EXPECT_EQ(f.owner.queries(), c.finishedWhenOpen ? std::vector<int>{1} : std::vector<int>{});
    // Once only.
    f.advance(seconds(5));
    f.advance(seconds(5));
    EXPECT_EQ(f.owner.finder->types(), c.finishedWhenOpen ? kRootTwice : std::vector<int>{});
  }
}

TEST(MainSyncControllerStartTest, ARepeatedStartSchedulesNoSecondCycle) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.startSync();
  ASSERT_TRUE(f.settle());
  f.advance(seconds(2));
  c.startSync();  // a second cycle would tick at 7 s, 12 s, ...
  ASSERT_TRUE(f.settle());
  c.backupManager().createTempFilePaths();
  const std::string throttle = c.backupManager().throttleFilePath();
  // Each tick at the pause writes the held throttle.
  f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser}, {"Pause", "1"}});
  f.advance(seconds(3));
  EXPECT_EQ(fileutil::readFile(throttle), "-1");
  fileutil::writeFileAtomically(throttle, "x");
  f.advance(seconds(4));
  EXPECT_EQ(fileutil::readFile(throttle), "x");
  f.advance(seconds(1));
  EXPECT_EQ(fileutil::readFile(throttle), "-1");
}

TEST(MainSyncControllerStartTest, APauseHoldsTheTransferAndTheFirstOpenTickRestoresItsThrottle) {
  SyncFixture f;
  f.home.writePlist(f.home.sub(".config/ulmora/DaemonPreferences.plist"),
                    PropertyList(PropertyList::Dict{{"BandwidthThrottleKey", 250}}));
  MainSyncController& c = f.make();
  c.startSync();
  ASSERT_TRUE(f.settle());
  c.backupManager().createTempFilePaths();
  const std::string throttle = c.backupManager().throttleFilePath();
  fileutil::writeFileAtomically(throttle, "250");

  f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser}, {"Pause", "1"}});
  f.advance(seconds(5));
  EXPECT_EQ(fileutil::readFile(throttle), "-1");
  f.advance(seconds(5));
  EXPECT_EQ(fileutil::readFile(throttle), "-1");

  f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser}, {"Pause", "0"}});
  f.advance(seconds(5));
  EXPECT_EQ(fileutil::readFile(throttle), "256000");  // 250 KB/s as the engine's bytes per second
  // Restored once; a later change of the preferences waits for the next run.
  fileutil::writeFileAtomically(throttle, "x");
  f.advance(seconds(5));
  EXPECT_EQ(fileutil::readFile(throttle), "x");
}

TEST(MainSyncControllerStartTest, APauseStopsADownloadOffTheMainLoopAndListsAgainLater) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.startSync();
  ASSERT_TRUE(f.settle());
  f.advance(seconds(2));
  // A download that waits (a repeated set) until it is stopped.
  c.restoreManager().setSameRestoreSetRepeated(true);
  c.restoreManager().setFileFolderSetForOperation({"/b.txt"});
  c.restoreManager().startRestore();
  ASSERT_TRUE(c.restoreManager().isRunning());
  (void)f.queue->readFileFor("5");  // the start's own listing request is not this test's

  f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser}, {"Pause", "1"}});
  f.advance(seconds(3));  // the tick returns while the download is being stopped
  ASSERT_TRUE(f.pumpUntil([&] { return !c.restoreManager().isRunning(); }));
  f.queue->runWriterPass();  // after any pass of the writer thread in progress
  const PropertyList markers = f.queue->readFileFor("5");
  ASSERT_NE(markers.asArray(), nullptr);
  EXPECT_EQ(markers.asArray()->size(), 1u);
}

// The engine that encodes the account's secrets hangs until released (or
// killed). Meanwhile the main loop serves and nothing that would run the
// engine with the old secrets starts; a shutdown does not wait for it.
TEST(MainSyncControllerStartTest, AHungEncodingHoldsNoLoopAndStartsNoRunBeforeIt) {
  for (const bool released : {true, false}) {
    SCOPED_TRACE(released ? "released" : "shut down while it hangs");
    SyncFixture f;
    const std::string release = f.home.sub("release");
    f.enginePath = f.home.sub("hung-engine");
    f.home.writeRaw(f.enginePath,
                    "#!/bin/sh\n"
                    "while [ ! -e '" + release + "' ]; do sleep 0.02; done\n"
                    "printf 'ENCODED\\tenc-%s\\n' \"$RSYNC_PASSWORD\"\n");
    ASSERT_TRUE(fileutil::setMode(f.enginePath, 0700));
    f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser},
                         {"UlmoraSync username", "ann-engine"},
                         {"Ulmora privateKey", encryptedString("key")}});
    MainSyncController& c = f.make();
    c.createAllSyncTimers();  // ticks that would start the upload
    c.startSync();
    EXPECT_TRUE(c.settingsEncodingPending());
    // After the start's clearing of the journals.
    f.home.writeRaw(f.home.accountFolder(SyncFixture::kUser) + "/Journal/Backup/2026-01-01 00-00-00-000",
                    "/a.txt\n");
    fileutil::writeFileAtomically(f.root + "/a.txt", "a");
    bool served = false;
    f.loop.post([&served] { served = true; });
    f.loop.runUntilIdle();
    EXPECT_TRUE(served);
    c.startSyncListingAllFiles(0);
    f.advance(seconds(5));
    f.advance(seconds(5));
    EXPECT_TRUE(c.settingsEncodingPending());
    EXPECT_FALSE(c.isListingGoingOn());
    EXPECT_FALSE(c.changeListing().isRunning());
    EXPECT_FALSE(c.backupManager().isRunning());
    EXPECT_TRUE(f.owner.finder->types().empty());
    EXPECT_TRUE(f.owner.queries().empty());
    EXPECT_EQ(c.accountSettings().values().gEPPassword, "");

    if (!released) {
      const auto before = std::chrono::steady_clock::now();
      f.controller.reset();
      EXPECT_LT(std::chrono::steady_clock::now() - before, seconds(5));
      continue;
    }
    f.home.writeRaw(release, "");
    ASSERT_TRUE(f.settle());
    EXPECT_EQ(c.accountSettings().values().gEPPassword, "enc-key");
    EXPECT_EQ(f.owner.finder->types(), kRootOnce);
    EXPECT_EQ(f.owner.queries(), std::vector<int>{1});
    EXPECT_TRUE(c.isListingGoingOn());
  }
}

TEST(MainSyncControllerStartTest, CancelledTimersStopTheCycleUntilCreatedAgain) {
  SyncFixture f;
  f.writeLoginDetails({{"Ulmora username", SyncFixture::kUser}, {"Pause", "1"}});
  MainSyncController& c = f.make();
  c.createAllSyncTimers();
  c.backupManager().createTempFilePaths();
  const std::string throttle = c.backupManager().throttleFilePath();
  fileutil::writeFileAtomically(throttle, "x");
  c.cancelAllSyncTimers();
  f.advance(seconds(20));
  EXPECT_EQ(fileutil::readFile(throttle), "x");
  c.createAllSyncTimers();
  f.advance(seconds(5));
  EXPECT_EQ(fileutil::readFile(throttle), "-1");
}

}  // namespace
}  // namespace ulmora
