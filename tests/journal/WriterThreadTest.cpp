#include <gtest/gtest.h>

#include "JournalTestSupport.h"

namespace ulmora::testing {
namespace {

using namespace std::chrono_literals;

class WriterThreadTest : public ::testing::Test {
 protected:
  QueueFixture<ManualClock> f_;
  UMSDBSyncInputManger& q_ = f_.queue();
};

TEST_F(WriterThreadTest, QueuedWorkReachesDiskWithinAPass) {
  q_.startDBSyncInput(false);
  EXPECT_TRUE(q_.isDBThreadRunning());
  q_.addBackupFiles(f_.full("/a.txt"));
  q_.addFileToUpdate({{"/dl", "ref"}});
  ASSERT_TRUE(f_.clock().awaitBlockedThreads(1, 5s));
  auto start = f_.clock().monotonicNow();
  ASSERT_TRUE(driveUntil(f_.clock(), [&] {
    return !f_.published(journal::kUploadFolder).empty() && !f_.batches().publishedRows().empty();
  }));
  // Three seconds of run loop come first.
  EXPECT_GE(f_.clock().monotonicNow() - start, UMSDBSyncInputManger::kRunLoopPhase);
  q_.stopDBSyncInputAndWait();
  EXPECT_FALSE(q_.isDBThreadRunning());
}

TEST_F(WriterThreadTest, StopWritesWhatWasQueued) {
  q_.startDBSyncInput(false);
  ASSERT_TRUE(f_.clock().awaitBlockedThreads(1, 5s));
  q_.addBackupFiles(f_.full("/late.txt"));
  q_.addFileToUpdate({{"/dl", "ref"}});
  q_.addNotificationFilesInfo();
  q_.stopDBSyncInput();
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return !q_.isDBThreadRunning(); }));
  q_.stopDBSyncInputAndWait();
  EXPECT_EQ(f_.published(journal::kUploadFolder).size(), 1u);
  EXPECT_EQ(f_.published(journal::kServerChangeFolder).size(), 1u);
  EXPECT_EQ(f_.batches().publishedRows().size(), 1u);
}

TEST_F(WriterThreadTest, WorkPostedToTheWriterRunsOnIt) {
  q_.startDBSyncInput(false);
  ASSERT_TRUE(f_.clock().awaitBlockedThreads(1, 5s));
  q_.queryRDDB();
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return f_.host().offlineInfoCalls == 1; }));
  q_.stopDBSyncInputAndWait();
  // Without a writer it runs at once, on the caller's thread.
  q_.queryRDDB();
  EXPECT_EQ(f_.host().offlineInfoCalls, 2);
}

TEST_F(WriterThreadTest, AStartWhileStoppingTakesTheThreadBack) {
  std::mutex mu;
  std::condition_variable cv;
  bool inCommit = false, release = false;
  f_.batches().onCommit = [&] {
    std::unique_lock<std::mutex> l(mu);
    inCommit = true;
    cv.notify_all();
    cv.wait(l, [&] { return release; });
  };
  q_.startDBSyncInput(false);
  ASSERT_TRUE(f_.clock().awaitBlockedThreads(1, 5s));
  q_.addFileToDelete("/x");
  // Drive into the pass, where the batch's commit holds the writer.
  auto committing = [&] {
    std::lock_guard<std::mutex> l(mu);
    return inCommit;
  };
  ASSERT_TRUE(driveUntil(f_.clock(), committing));
  q_.stopDBSyncInput();
  q_.startDBSyncInput(false);
  {
    std::lock_guard<std::mutex> l(f_.batches().mu);
    f_.batches().onCommit = nullptr;
  }
  {
    std::lock_guard<std::mutex> l(mu);
    release = true;
  }
  cv.notify_all();

  // The same thread keeps serving the queue after the stop it was told.
  q_.addFileToDelete("/y");
  ASSERT_TRUE(driveUntil(f_.clock(), [&] { return f_.batches().publishedRows().size() == 2; }));
  EXPECT_TRUE(q_.isDBThreadRunning());
  auto batches = f_.batches().snapshot();
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].thread, batches[1].thread);
  q_.stopDBSyncInputAndWait();
}

}  // namespace
}  // namespace ulmora::testing
