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

TEST(WriterThreadStopTest, StopPassesUntilNothingIsLeftWithinItsLimit) {
  struct Case {
    const char* name;
    int failingCommits;  // more than the old five final passes
    bool rootKnown;
    bool passMakesWork;  // the first commit queues one more update
    std::size_t rows;    // published once the thread has ended
  };
  for (const Case& c : {Case{"plain", 0, true, false, 3},
                        Case{"batches fail at first", 7, true, false, 3},
                        Case{"a pass queues more", 0, true, true, 4},
                        Case{"no sync root", 0, false, false, 0}}) {
    SCOPED_TRACE(c.name);
    QueueFixture<ManualClock> f;
    UMSDBSyncInputManger& q = f.queue();
    f.makeFile("/late.txt");
    f.batches().failCommit = c.failingCommits;
    std::atomic<bool> added{false};
    if (c.passMakesWork) {
      f.batches().onCommit = [&] {
        if (!added.exchange(true)) q.addFileToUpdate({{"/more", "ref"}});
      };
    }
    if (!c.rootKnown) f.host().setRoot("");
    q.startDBSyncInput(false);
    ASSERT_TRUE(f.clock().awaitBlockedThreads(1, 5s));
    q.addBackupFiles(f.full("/late.txt"));
    q.addDeleteFiles(f.full("/gone.txt"));
    q.addFileToUpdate({{"/dl", "ref"}});
    q.addFileToDelete("/gone.txt");
    q.addFileToRename({"/r1", "/r2"});
    q.addNotificationFilesInfo();
    auto stoppedAt = f.clock().monotonicNow();
    q.stopDBSyncInput();
    ASSERT_TRUE(driveUntil(f.clock(), [&] { return !q.isDBThreadRunning(); }));
    q.stopDBSyncInputAndWait();
    EXPECT_EQ(f.batches().publishedRows().size(), c.rows);
    EXPECT_EQ(f.published(journal::kServerChangeFolder).size(), 1u);
    EXPECT_EQ(f.published(journal::kUploadFolder).size(), c.rootKnown ? 1u : 0u);
    EXPECT_EQ(q.CheckForDeleteFiles().size(), c.rootKnown ? 1u : 0u);
    if (!c.rootKnown) {
      EXPECT_GE(f.clock().monotonicNow() - stoppedAt, 10s);
    }
  }
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
