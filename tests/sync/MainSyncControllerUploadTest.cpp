#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/KVTBackupManager.h"
#include "platform/FileUtil.h"
#include "sync/SyncTestSupport.h"

namespace ulmora {
namespace {

using testing::SyncFixture;

// A run ending reaches the upload road only from this account's own
// managers; another manager's (another account's) is ignored.
TEST(MainSyncControllerUploadTest, OnlyThisAccountsManagersEndItsRuns) {
  enum class Sender { kUpload, kDownload, kForeign };
  const struct {
    const char* name;
    Sender sender;
    bool uploadListKept, downloadListKept;
  } cases[] = {
      {"upload manager", Sender::kUpload, false, true},
      {"download manager", Sender::kDownload, true, false},
      {"another account's manager", Sender::kForeign, true, true},
  };
  for (const auto& c : cases) {
    SyncFixture f;
    MainSyncController& controller = f.make();
    KVTBackupManager foreign(f.clock);
    const std::string uploadList = controller.pathBackupFileEntry();
    const std::string downloadList = controller.applicationSupportObject().pathForApplicationFile(118);
    ASSERT_TRUE(fileutil::makeDirectories(fileutil::parentPath(uploadList)));
    ASSERT_TRUE(fileutil::writeFileAtomically(uploadList, "/a"));
    ASSERT_TRUE(fileutil::writeFileAtomically(downloadList, "/b"));
    KVTBackupManager& sender = c.sender == Sender::kUpload     ? controller.backupManager()
                               : c.sender == Sender::kDownload ? controller.restoreManager()
                                                               : foreign;
    controller.backupManager().delegate()->operationDidFinishSuccessfully(sender);
    EXPECT_EQ(fileutil::exists(uploadList), c.uploadListKept) << c.name;
    EXPECT_EQ(fileutil::exists(downloadList), c.downloadListKept) << c.name;
  }
}

TEST(MainSyncControllerUploadTest, OverQuotaLeavesTheMarkerOnlyForThisAccount) {
  for (bool own : {true, false}) {
    SyncFixture f;
    MainSyncController& controller = f.make();
    KVTBackupManager foreign(f.clock);
    controller.backupManager().delegate()->operationDidFailWithOverQuota(own ? controller.backupManager() : foreign);
    const std::string marker = controller.applicationSupportObject().pathForApplicationFile(124);
    EXPECT_EQ(fileutil::readFile(marker).value_or(""), own ? "QotaExceeded" : "") << own;
  }
}

// A rename held back while its file uploaded reaches the rename journal when
// the run fails before the file was done, and a new dispatch hands on what
// was held after the run's end instead of dropping it.
TEST(MainSyncControllerUploadTest, HeldRenamesReachTheJournalWhenTheRunFails) {
  for (bool failed : {true, false}) {
    SyncFixture f;
    MainSyncController& c = f.make();
    f.queue->setFolderPaths();
    KVTBackupManager& upload = c.backupManager();
    upload.setFileFolderSetForOperation({"/a"});
    upload.setRunningState(true);
    ASSERT_TRUE(c.checkRenamedFileisUnderBackup({"/a", "/b"}));
    if (failed) {
      upload.delegate()->operationDidFailWithError("umkvt error", upload);
    } else {
      upload.setRunningState(false);
      c.startBackup();
    }
    f.queue->runWriterPass();
    EXPECT_EQ(f.queue->CheckForRenameFilesPending(), (std::vector<RenameEntry>{{"/a", "/b"}})) << failed;
  }
}

TEST(MainSyncControllerUploadTest, PathHelpersUseTheAccountsRoot) {
  SyncFixture f;
  MainSyncController& c = f.make();
  EXPECT_EQ(c.CreateFullPathByAppendingSyncRoot("/a.txt"), f.root + "/a.txt");
  EXPECT_EQ(c.CreateFullPathByAppendingSyncRoot(f.root), f.root);
  EXPECT_EQ(c.CreateFullPathByAppendingSyncRoot(""), std::nullopt);
  EXPECT_EQ(c.createRelativePathToUlmoraSync(f.root + "/d/a.txt"), "/d/a.txt");
  EXPECT_EQ(c.createRelativePathToUlmoraSync(f.root), "/");
  // /F is gone locally: /F/x is under it, /Fx is not.
  EXPECT_TRUE(c.isInDeleteList("/F/x", {"/F"}));
  EXPECT_FALSE(c.isInDeleteList("/Fx", {"/F"}));
  ASSERT_TRUE(fileutil::makeDirectories(f.root + "/F"));
  EXPECT_FALSE(c.isInDeleteList("/F/x", {"/F"}));
}

}  // namespace
}  // namespace ulmora
