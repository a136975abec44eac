#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <utility>
#include <vector>

#include "engine/KVTProgressRecord.h"
#include "sync/SyncTestSupport.h"
#include "sync/status/UlmoraSyncStatus.h"

namespace ulmora {
namespace {

using testing::SyncFixture;
using Sent = std::vector<std::pair<int, std::string>>;

KVTProgressRecord uploadRecord(int64_t total, int64_t done) {
  KVTProgressRecord r;
  r.filename = "/a.txt";
  r.transferMode = KVTProgressRecord::kFullBackup;
  r.fileTransferedStatus = KVTProgressRecord::kDone;
  r.totalFileCount = total;
  r.backedUpFileCount = done;
  r.speed = "";
  return r;
}

std::string inProcess(MainSyncController& c) {
  auto plist = PropertyList::readFile(c.getSyncFilePath());
  return plist ? plist->stringFor("InProcess").value_or("<no key>") : "<no file>";
}

TEST(MainSyncControllerProgressTest, UploadBatchReachesTheMonitorAndEndsUpToDate) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.progress().BackupRestoreStarted(c.backupManager());
  c.progress().tracker().sendDataToMonitor(uploadRecord(3, 1), 1);
  EXPECT_EQ(inProcess(c), "1");
  c.progress().BackupRestoreFinised(c.backupManager());
  EXPECT_EQ(f.owner.monitor->sent(),
            (Sent{{500, "T1003"}, {500, "T1002||2"}, {500, "T1001"}, {500, "T1001"}}));
  EXPECT_EQ(inProcess(c), "0");
  EXPECT_FALSE(c.isbackupStarted());
}

TEST(MainSyncControllerProgressTest, ManagersAreToldApartByIdentity) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.progress().BackupRestoreStarted(c.restoreManager());
  EXPECT_TRUE(c.isrestoreStarted());
  EXPECT_FALSE(c.isbackupStarted());
  // A progress line of the upload is dropped: no upload batch was started.
  c.progress().tracker().sendDataToMonitor(uploadRecord(3, 1), 1);
  c.progress().BackupRestoreFinised(c.backupManager());
  EXPECT_TRUE(c.isrestoreStarted());
  EXPECT_EQ(f.owner.monitor->sent(), (Sent{{500, "T1004"}}));
  EXPECT_EQ(c.progress().status().currentStatus(), "Performing Sync Down...");
}

TEST(MainSyncControllerProgressTest, NetworkLossAndReturn) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.progress().status().setMonitorToolTip("Deleting file(s)...");
  f.reachability->set(false);
  f.loop.runUntilIdle();
  c.progress().status().setMonitorToolTip("Renaming file(s)...");
  f.reachability->set(true);
  f.loop.runUntilIdle();
  // The return sends the code of what is going on again (here the selection
  // being applied again, which the loss asked for), never a blanket "up to
  // date" while work is shown.
  const Sent sent = f.owner.monitor->sent();
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent[0], (std::pair<int, std::string>{500, "T1007"}));
  EXPECT_EQ(sent[1], (std::pair<int, std::string>{500, "T1012"}));
  EXPECT_EQ(std::count(sent.begin(), sent.end(), std::pair<int, std::string>{500, "T1001"}), 0);
  EXPECT_EQ(sent.back(), (std::pair<int, std::string>{
                             500, UlmoraSyncStatus::getCurrentTooltipID(c.progress().status().currentStatus())}));
}

TEST(MainSyncControllerProgressTest, QuotaAndNotificationsGoToTheMonitor) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.progress().status().setQuotaFull(true);
  c.progress().status().setMonitorToolTip("Performing Sync Up...");
  c.progress().status().showDesktopPushNotification("N1034||" + UlmoraSyncStatus::shortenedNotificationName(
                                                  std::string(40, 'x')) + "||added::/");
  c.progress().status().setQuotaFull(false);
  EXPECT_EQ(f.owner.monitor->sent(),
            (Sent{{500, "T1015"},
                  {501, "N1034||" + std::string(17, 'x') + "..." + std::string(18, 'x') +
                            "||added::/"},
                  {504, "T1003"}}));
}

}  // namespace
}  // namespace ulmora
