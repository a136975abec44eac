#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SyncFilesControllerTestSupport.h"

namespace ulmora::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::IsEmpty;

class SyncFilesControllerThreadTest : public ::testing::Test {
 protected:
  bool published(int index) { return !f_.published(index).empty(); }

  SfcFixture<ManualClock> f_;
  SyncFilesController& sfc_ = f_.sfc();
};

TEST(SyncFilesControllerSharedTest, TheSharedInstanceBelongsToNoAccountAndStaysTheSame) {
  SyncFilesController& shared = SyncFilesController::sharedController();
  EXPECT_EQ(&shared, &SyncFilesController::sharedController());
  SfcFixture<> account;
  EXPECT_NE(&shared, &account.sfc());
  EXPECT_EQ(shared.consoleUser(), "");
  EXPECT_EQ(shared.syncUser(), "");
  EXPECT_FALSE(shared.syncFCThread());
  // Without journal folders nothing is read from anywhere.
  EXPECT_TRUE(shared.readFileFor("1").asArray()->empty());
}

TEST_F(SyncFilesControllerThreadTest, StartKeepsEventsAndOutOfBoxEntriesOnly) {
  sfc_.addDeleteFiles(f_.full("/gone.txt"));
  sfc_.addOBBackupFiles("/ob/up.txt");
  sfc_.addBackupFiles(f_.makeFile("/up.txt"));
  sfc_.addRestoreFiles({{"/dl.txt", "NA"}});
  sfc_.addNotificationFilesInfo();
  sfc_.addDirectory(f_.full("/new-folder"));
  sfc_.stopSyncFilesOperationWithReset(true);
  EXPECT_TRUE(sfc_.syncFCThread());

  ASSERT_TRUE(driveUntil(f_.clock(), [&] {
    return published(journal::kEventFolder) && published(journal::kOBUploadFolder);
  }));
  for (int index : {journal::kUploadFolder, journal::kDownloadFolder,
                    journal::kServerChangeFolder, journal::kCreateFolderFolder})
    EXPECT_THAT(f_.published(index), IsEmpty()) << index;
}

TEST_F(SyncFilesControllerThreadTest, ARestartIsCarriedOutByTheSameWriterThread) {
  sfc_.stopSyncFilesOperationWithReset(true);
  sfc_.addDeleteFiles(f_.full("/first"));
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return published(journal::kEventFolder); }));

  sfc_.stopSyncFilesOperationWithReset(true);
  sfc_.stopSyncFilesOperationWithReset(true);  // while the first one is being carried out
  sfc_.addDeleteFiles(f_.full("/second"));
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return f_.published(journal::kEventFolder).size() == 2; }));
  EXPECT_TRUE(sfc_.syncFCThread());
  // The test's own thread and one writer: no second writer was ever made.
  EXPECT_EQ(f_.host().rootAskedOn().size(), 2u);
}

TEST_F(SyncFilesControllerThreadTest, AStopWithoutResetEndsTheWriterUntilTheNextReset) {
  sfc_.stopSyncFilesOperationWithReset(true);
  sfc_.stopSyncFilesOperationWithReset(false);
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return !sfc_.syncFCThread(); }));

  sfc_.addDeleteFiles(f_.full("/queued-while-stopped"));
  f_.clock().advance(10s);
  EXPECT_THAT(f_.published(journal::kEventFolder), IsEmpty());

  sfc_.stopSyncFilesOperationWithReset(true);
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return published(journal::kEventFolder); }));
}

TEST_F(SyncFilesControllerThreadTest, ClearSyncFilesWhileTheWriterRunsHoldsNewEntriesUntilTheFolders) {
  sfc_.stopSyncFilesOperationWithReset(true);
  sfc_.addBackupFiles(f_.makeFile("/dropped.txt"));
  sfc_.clearSyncFiles();
  sfc_.addDeleteFiles(f_.full("/gone.txt"));      // the event list and its folder stay
  sfc_.addBackupFiles(f_.makeFile("/waits.txt"));  // no upload folder until it is made again
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return published(journal::kEventFolder); }));
  f_.clock().advance(SyncFilesController::kTickInterval * 2);
  EXPECT_THAT(f_.published(journal::kUploadFolder), IsEmpty());

  sfc_.createSyncFilesDir();
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return published(journal::kUploadFolder); }));
  auto names = f_.published(journal::kUploadFolder);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(f_.lines(journal::kUploadFolder, names[0]), std::vector<std::string>{"/waits.txt"});
  EXPECT_TRUE(sfc_.syncFCThread());
}

}  // namespace
}  // namespace ulmora::testing
