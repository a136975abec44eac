#include <algorithm>
#include <gtest/gtest.h>

#include "platform/FileUtil.h"
#include "sync/SyncTestSupport.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::SyncFixture;

bool refreshPending(MainSyncController& c) {
  AccountState::Control::Shared& shared = c.accountState().control.shared;
  MutexLock hold(shared.mutex);
  return shared.refreshSS;
}

TEST(MainSyncControllerControlTest, RecalculateIsAnsweredFromTheQuotaThread) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.RecalculateQuota();
  // The quota thread waits its 15 s on the clock, asks the (missing) engine,
  // answers 508 and parks again; the controller's worker thread parks too.
  ASSERT_TRUE(f.clock.awaitBlockedThreads(2, 10s));
  EXPECT_TRUE(f.owner.monitor->types().empty());
  f.clock.advance(15s);
  ASSERT_TRUE(f.clock.awaitBlockedThreads(2, 10s));
  f.loop.runUntilIdle();
  EXPECT_EQ(f.owner.monitor->types(), std::vector<int>{508});
}

TEST(MainSyncControllerControlTest, AMissingSyncFolderIsReportedOnceUntilItReturns) {
  SyncFixture f;
  MainSyncController& c = f.make();
  fileutil::removeAll(f.root);
  c.ifSyncFolderDoNotExist();
  c.ifSyncFolderDoNotExist();
  const auto folderReports = [&] {
    const auto types = f.owner.monitor->types();
    return std::count(types.begin(), types.end(), 512);
  };
  EXPECT_EQ(folderReports(), 1);
  EXPECT_FALSE(fileutil::exists(f.home.loginDetailsPath()));

  fileutil::makeDirectories(f.root);
  f.advance(5s);
  fileutil::removeAll(f.root);
  c.ifSyncFolderDoNotExist();
  EXPECT_EQ(folderReports(), 2);
}

TEST(MainSyncControllerControlTest, AFolderIncludedWhilePausedIsFetchedAfterTheResume) {
  SyncFixture f;
  const std::string list = f.home.sub(".config/ulmora/accounts/ann/SelectiveSync.plist");
  f.home.writePlist(list, PropertyList(PropertyList::Dict{{"/P", "0"}}));
  MainSyncController& c = f.make();
  ASSERT_TRUE(c.controlRoom().selective().checkForFileisUnderSSyncSet("/P/x"));

  f.writeLoginDetails(PropertyList::Dict{{"Ulmora username", "ann"}, {"Pause", "1"}});
  f.home.writePlist(list, PropertyList(PropertyList::Dict{{"/P", "1"}}));
  c.selectiveSyncModefied();
  EXPECT_TRUE(refreshPending(c));
  EXPECT_TRUE(c.controlRoom().selective().checkForFileisUnderSSyncSet("/P/x"));  // kept until it can be fetched

  f.writeLoginDetails(PropertyList::Dict{{"Ulmora username", "ann"}});
  c.ResumeSync();
  EXPECT_FALSE(refreshPending(c));
  EXPECT_FALSE(c.controlRoom().selective().checkForFileisUnderSSyncSet("/P/x"));
}

TEST(MainSyncControllerControlTest, IncludingAFolderMovesLocalContentAsideUnseenByTheCapture) {
  SyncFixture f;
  const std::string list = f.home.sub(".config/ulmora/accounts/ann/SelectiveSync.plist");
  f.home.writePlist(list, PropertyList(PropertyList::Dict{{"/P", "0"}}));
  ASSERT_TRUE(fileutil::makeDirectories(f.root + "/P"));
  ASSERT_TRUE(fileutil::writeFileAtomically(f.root + "/P/mine.txt", "local"));
  ASSERT_TRUE(fileutil::makeDirectories(f.root + "/P (Selective Sync Conflict)"));
  MainSyncController& c = f.make(true);
  ASSERT_TRUE(c.isNWAvailable());

  f.home.writePlist(list, PropertyList(PropertyList::Dict{{"/P", "1"}}));
  c.selectiveSyncModefied();
  const std::string aside = f.root + "/P (Selective Sync Conflict 1)";
  EXPECT_EQ(fileutil::readFile(aside + "/mine.txt"), "local");
  EXPECT_FALSE(fileutil::exists(f.root + "/P"));
  EXPECT_TRUE(f.collections.isExcludedByApplication(aside));
  EXPECT_TRUE(f.collections.isExcludedByApplication(f.root + "/P"));
  EXPECT_FALSE(c.controlRoom().selective().checkForFileisUnderSSyncSet("/P/x"));
  f.advance(2s);
  EXPECT_FALSE(f.collections.isExcludedByApplication(aside));
  EXPECT_FALSE(f.collections.isExcludedByApplication(f.root + "/P"));
}

TEST(MainSyncControllerControlTest, UnlinkStopsOnceAndResumeDoesNotRevive) {
  // An unlink that comes while the start still waits for the settings drops
  // the rest of that start.
  for (const bool startSettled : {true, false}) {
    SCOPED_TRACE(startSettled ? "after the start" : "while the start waits for the settings");
    SyncFixture f;
    MainSyncController& c = f.make();
    c.startSync();
    if (startSettled) {
      ASSERT_TRUE(f.settle());
    }
    c.stopSyncForUnlink(true);
    EXPECT_TRUE(c.accountState().cycle.mAccountLoggedOutUnlinked);
    c.stopSyncForUnlink(true);
    c.ResumeSync();
    ASSERT_TRUE(f.settle());
    f.advance(901s);
    EXPECT_TRUE(c.accountState().cycle.mAccountLoggedOutUnlinked);
    EXPECT_FALSE(c.accountState().push.enableListeningNotifications);
    EXPECT_EQ(f.owner.finder->types().size(), startSettled ? 2u : 0u);
  }
}

TEST(MainSyncControllerControlTest, FullListingResetsTheStoredIndex) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.startSync();
  ASSERT_TRUE(f.settle());
  const std::string index = f.home.sub(".local/share/ulmora/ann/Root/indexFile.txt");
  fileutil::writeFileAtomically(index, "77");
  c.startSyncListingAllFiles(0);
  EXPECT_EQ(fileutil::readFile(index), "0");
  EXPECT_TRUE(c.isListingGoingOn());
}

}  // namespace
}  // namespace ulmora
