// Where one concern of the controller calls another: each test drives the
// facade and looks at what the other concern did.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "platform/FileUtil.h"
#include "sync/ServerRoadTestSupport.h"
#include "sync/SyncTestSupport.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::SyncFixture;
using Sent = std::vector<std::pair<int, std::string>>;

constexpr int kSelectiveSyncList = 133;

ServerRecord fileRecord(const std::string& fname, const std::string& fnameOld = "") {
  ServerRecord r;
  r.fname = fname;
  r.fnameOld = fnameOld;
  r.modTime = "2024-03-05 10:20:30";
  r.size = "10";
  r.refId = "R1";
  return r;
}

void leaveOut(MainSyncController& c, const PropertyList::Dict& folders) {
  const std::string list = c.applicationSupportObject().pathForApplicationFile(kSelectiveSyncList);
  ASSERT_TRUE(fileutil::makeDirectories(fileutil::parentPath(list)));
  ASSERT_TRUE(PropertyList(folders).writeFile(list));
  c.controlRoom().selective().initializeSelctiveSyncSet();
}

TEST(MainSyncControllerJoinsTest, ServerFilesInAFolderLeftOutOfTheSyncAreNotFetched) {
  struct Case {
    const char* fname;
    bool fetched;
  } cases[] = {
      {"/Out/a.txt", false},
      {"/Out/deep/b.txt", false},
      {"/Outside/c.txt", true},  // whole components only
      {"/In/d.txt", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fname);
    SyncFixture f;
    MainSyncController& c = f.make();
    leaveOut(c, {{"/Out", PropertyList("0")}, {"/In", PropertyList("1")}});
    c.serverRoad().validateFiles(fileRecord(k.fname), "4");
    EXPECT_EQ(f.queue->restoreFileCollection(), k.fetched ? 1u : 0u);
  }
}

TEST(MainSyncControllerJoinsTest, ADownloadBatchShowsSyncDownAsItStarts) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.downloadDispatcher().dispatch({{"/a.txt", "10"}, {"/b.txt", "20"}});
  // Whatever the engine does later, the batch was shown first.
  const Sent sent = f.owner.monitor->sent();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.front(), (std::pair<int, std::string>{500, "T1004"}));
}

TEST(MainSyncControllerJoinsTest, CancellingEveryOperationStopsTheRenameAndDeleteRun) {
  SyncFixture f;
  MainSyncController& c = f.make();
  WorkerRunningFlags& workers = c.accountState().push.workers;
  {
    MutexLock hold(workers.mutex);
    workers.ExcuteEventsCapturedrunning = true;
  }
  c.controlRoom().control().cancelAllSyncOperations();
  MutexLock hold(workers.mutex);
  EXPECT_FALSE(workers.ExcuteEventsCapturedrunning);
}

// A listing marker the cycle had read, whose listing had not begun when the
// pause came, is queued again so that the resume lists the server's changes.
TEST(MainSyncControllerJoinsTest, APauseKeepsTheListingThatWasAboutToStart) {
  struct Case {
    const char* name;
    bool markerRead;
    size_t markers;
  } cases[] = {{"marker read", true, 1}, {"nothing pending", false, 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SyncFixture f;
    MainSyncController& c = f.make();
    f.queue->setFolderPaths();
    {
      MutexLock hold(c.accountState().listing.mutex);
      c.accountState().listing.notificationfileRead = k.markerRead;
    }
    c.PauseSync();
    f.queue->runWriterPass();
    const PropertyList markers = f.queue->readFileFor("5");
    EXPECT_EQ(markers.asArray() != nullptr ? markers.asArray()->size() : 0u, k.markers);
  }
}

TEST(MainSyncControllerJoinsTest, ServerRenamesAndDeletionsAreReportedToTheStatusTracker) {
  struct Case {
    const char* name;
    bool network;
    size_t offlineCodes;  // "T1012" sent by the report
  } cases[] = {{"with the network", true, 0}, {"without it", false, 2}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SyncFixture f;
    MainSyncController& c = f.make(k.network);
    c.controlRoom().recent().storeRecentItem("/renamed.txt", 1);
    c.controlRoom().recent().storeRecentItem("/deleted.txt", 2);
    const size_t before = f.owner.monitor->sent().size();
    c.controlRoom().sendRecentItemsList();
    const Sent sent = f.owner.monitor->sent();
    const Sent report(sent.begin() + static_cast<std::ptrdiff_t>(before), sent.end());
    EXPECT_EQ(static_cast<size_t>(std::count(report.begin(), report.end(), std::pair<int, std::string>{500, "T1012"})),
              k.offlineCodes);
    EXPECT_EQ(report.size(), k.offlineCodes);
  }
}

TEST(MainSyncControllerJoinsTest, TheWeeklySweepRemovesOldCacheEntriesOnlyInsideTheRoot) {
  SyncFixture f;
  MainSyncController& c = f.make();
  const std::string cache = f.root + "/.UMSCache";
  ASSERT_TRUE(fileutil::makeDirectories(cache + "/2024-01-01/d"));
  ASSERT_TRUE(fileutil::writeFileAtomically(cache + "/2024-01-01/d/old.txt", "old"));
  ASSERT_TRUE(fileutil::makeDirectories(cache + "/ConflictData"));
  // A link in the cache to the user's other files: the link goes, never
  // what it points at.
  const std::string elsewhere = f.home.sub("elsewhere");
  ASSERT_TRUE(fileutil::makeDirectories(elsewhere));
  ASSERT_TRUE(fileutil::writeFileAtomically(elsewhere + "/keep.txt", "mine"));
  ASSERT_EQ(::symlink(elsewhere.c_str(), (cache + "/link").c_str()), 0);

  f.clock.setWallTime(Clock::WallTime(std::chrono::system_clock::now().time_since_epoch()) + 24h * 4);
  c.serverRoad().cacheSweep().deleteCachedFiles();
  EXPECT_FALSE(fileutil::exists(cache + "/2024-01-01"));
  EXPECT_TRUE(fileutil::isDirectory(cache + "/ConflictData"));
  EXPECT_FALSE(fileutil::exists(cache + "/link"));
  EXPECT_EQ(fileutil::readFile(elsewhere + "/keep.txt"), "mine");
}

TEST(MainSyncControllerJoinsTest, TheSweepNeverFollowsACacheFolderThatIsALink) {
  SyncFixture f;
  MainSyncController& c = f.make();
  const std::string elsewhere = f.home.sub("elsewhere");
  ASSERT_TRUE(fileutil::makeDirectories(elsewhere + "/2024-01-01"));
  ASSERT_TRUE(fileutil::writeFileAtomically(elsewhere + "/2024-01-01/keep.txt", "mine"));
  ASSERT_EQ(::symlink(elsewhere.c_str(), (f.root + "/.UMSCache").c_str()), 0);

  f.clock.setWallTime(Clock::WallTime(std::chrono::system_clock::now().time_since_epoch()) + 24h * 4);
  c.serverRoad().cacheSweep().deleteCachedFiles();
  EXPECT_EQ(fileutil::readFile(elsewhere + "/2024-01-01/keep.txt"), "mine");
}

}  // namespace
}  // namespace ulmora
