#include <gtest/gtest.h>

#include "engine/KVTBackupManager.h"
#include "ipc/IpcMessageTypes.h"
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
  f.advance(seconds(2));
  c.startSync();  // a second cycle would tick at 7 s, 12 s, ...
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
  EXPECT_EQ(fileutil::readFile(throttle), "250");
  // Restored once; a later change of the preferences waits for the next run.
  fileutil::writeFileAtomically(throttle, "x");
  f.advance(seconds(5));
  EXPECT_EQ(fileutil::readFile(throttle), "x");
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
