// The push, rename/delete and folder-creation operations of the controller,
// end to end through its input queue with an engine that cannot start.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "foundation/JournalStampGenerator.h"
#include "journal/JournalFolder.h"
#include "journal/JournalFormat.h"
#include "journal/JournalWriter.h"
#include "sync/SyncTestSupport.h"

namespace ulmora {
namespace {

using testing::SyncFixture;

bool running(MainSyncController& c, bool WorkerRunningFlags::*flag) {
  WorkerRunningFlags& workers = c.accountState().push.workers;
  MutexLock hold(workers.mutex);
  return workers.*flag;
}

bool sent(const testing::RecordingMessenger& m, int type, const std::string& text = "") {
  for (const auto& [t, payload] : m.sent()) {
    if (t == type && (text.empty() || payload == text)) return true;
  }
  return false;
}

// Like any message it asks for a listing; the cycle's gate, with the login
// details gone, keeps that listing from running.
TEST(MainSyncControllerPushTest, AnAccountCancelledMessageTellsTheMonitorAndAsksForAListing) {
  SyncFixture f;
  MainSyncController& c = f.make();
  PropertyList message(PropertyList::Dict{{"id", PropertyList(1201)}, {"UID", PropertyList("web")}});
  c.pushConcern().handler().parseNotificationMessageData(message);
  EXPECT_TRUE(sent(*f.owner.monitor, 507, "The account has been cancelled"));
  EXPECT_FALSE(fileutil::exists(f.home.loginDetailsPath()));
  f.queue->setFolderPaths();
  f.queue->runWriterPass();
  const PropertyList markers = f.queue->readFileFor("5");
  ASSERT_NE(markers.asArray(), nullptr);
  EXPECT_EQ(markers.asArray()->size(), 1u);
  EXPECT_NE(c.shouldSync(), 4);
}

TEST(MainSyncControllerPushTest, AChangeMessageQueuesAListingMarker) {
  SyncFixture f;
  MainSyncController& c = f.make();
  f.queue->setFolderPaths();
  PropertyList message(PropertyList::Dict{{"id", PropertyList(1001)}, {"UID", PropertyList("other")}});
  c.pushConcern().handler().parseNotificationMessageData(message);
  f.queue->runWriterPass();
  const PropertyList markers = f.queue->readFileFor("5");
  ASSERT_NE(markers.asArray(), nullptr);
  EXPECT_EQ(markers.asArray()->size(), 1u);
}

TEST(MainSyncControllerPushTest, AJournalledRenameRunsAndLeavesTheWorkerIdleWithUploadsOn) {
  SyncFixture f;
  MainSyncController& c = f.make();
  f.queue->setFolderPaths();
  // Published as the queue's writer would (its own pass paces on the test clock).
  JournalWriter writer(JournalStampGenerator::shared(), Clock::systemClock());
  JournalFolder events(f.queue->getPathToDeleteFiles());
  ASSERT_TRUE(events.ensureExists());
  ASSERT_TRUE(writer.writeRenameList(events, {RenameEntry{"/old.txt", "/new.txt"}}).unwritten.empty());
  ASSERT_TRUE(writer.writeTextList(events, {"/gone.txt"}, journal::kDeleteSuffix).unwritten.empty());
  ASSERT_TRUE(f.queue->CheckIfAnyRenameDeleteOrCreateDirOccured());
  // The worker's body; the engine cannot start, so both runs fail. Each rename
  // batch is followed by its pause on the test clock, which this thread
  // moves on whenever the worker waits.
  std::atomic<bool> done{false};
  std::thread worker([&] {
    c.pushConcern().renameDelete().StartExcutingEventsCaptured();
    done = true;
  });
  while (!done) {
    if (f.clock.awaitBlockedThreads(1, std::chrono::milliseconds(20))) f.clock.advance(std::chrono::seconds(2));
  }
  worker.join();
  EXPECT_FALSE(f.queue->CheckIfAnyRenameDeleteOrCreateDirOccured());
  EXPECT_TRUE(sent(*f.owner.finder, 1));
  EXPECT_TRUE(f.queue->shouldReturnBackupEntries());
  EXPECT_FALSE(running(c, &WorkerRunningFlags::ExcuteEventsCapturedrunning));
  f.loop.runUntilIdle();
}

TEST(MainSyncControllerPushTest, AnEmptyFolderJournalStartsNoWorker) {
  SyncFixture f;
  MainSyncController& c = f.make();
  f.queue->setFolderPaths();
  c.CreateFolder();
  EXPECT_FALSE(running(c, &WorkerRunningFlags::createDirRunning));
}

}  // namespace
}  // namespace ulmora
