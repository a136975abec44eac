#include <gtest/gtest.h>

#include <filesystem>

#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"
#include "sync/ServerRoadTestSupport.h"
#include "sync/SyncTestSupport.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::SyncFixture;

constexpr const char* kTime = "2024-03-05 10:20:30";

// Whether some file below `folder` holds `text`.
bool someFileHolds(const std::string& folder, const std::string& text) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    auto contents = fileutil::readFile(entry.path().string());
    if (contents && contents->find(text) != std::string::npos) return true;
  }
  return false;
}

ServerRecord record(const std::string& fname, const std::string& fnameOld = "", const std::string& size = "10") {
  ServerRecord r;
  r.fname = fname;
  r.fnameOld = fnameOld;
  r.modTime = kTime;
  r.size = size;
  r.refId = "R1";
  return r;
}

TEST(MainSyncControllerListingTest, RecordsReachTheInputQueueOnlyWithSafePaths) {
  SyncFixture f;
  MainSyncController& c = f.make();
  c.serverRoad().validateFiles(record("/../escape.txt"), "4");
  c.serverRoad().validateFiles(record("/.UMSCache/2024-01-01/a.txt"), "4");
  EXPECT_EQ(f.queue->restoreFileCollection(), 0u);
  c.serverRoad().validateFiles(record("/new.txt"), "4");
  EXPECT_EQ(f.queue->restoreFileCollection(), 1u);
}

TEST(MainSyncControllerListingTest, ServerRenameLiftsItsExclusionsOnTheMainLoop) {
  SyncFixture f;
  MainSyncController& c = f.make();
  std::string old = f.root + "/old.txt";
  fileutil::writeFileAtomically(old, "content");
  testing::setModified(old, testing::serverTime(kTime));
  c.serverRoad().validateFiles(record("/new.txt", "/old.txt", "7"), "3");
  EXPECT_EQ(fileutil::readFile(f.root + "/new.txt"), "content");
  EXPECT_TRUE(f.collections.isExcludedByApplication(f.root + "/new.txt"));
  f.advance(1999ms);
  EXPECT_TRUE(f.collections.isExcludedByApplication(f.root + "/new.txt"));
  f.advance(1ms);
  EXPECT_FALSE(f.collections.isExcludedByApplication(f.root + "/new.txt"));
  EXPECT_FALSE(f.collections.isExcludedByApplication(old));
  QLBackupProgressLogger::progressLogger().flushAll();
  EXPECT_TRUE(someFileHolds(f.home.sub(""), "Renamed item /old.txt to /new.txt"));
}

TEST(MainSyncControllerListingTest, IndexIsWrittenOnTheMainLoopWhenNothingIsPending) {
  SyncFixture f;
  MainSyncController& c = f.make();
  std::string indexFile =
      fileutil::joinPath(c.applicationSupportObject().pathForApplicationFile(50), "indexFile.txt");
  c.serverRoad().listing().changeListingStarting(false);
  c.serverRoad().listingDidReceiveData(41);  // nothing found: nothing written
  c.serverRoad().listingGotEventsOccurred();
  c.serverRoad().listingDidReceiveData(42);
  EXPECT_FALSE(fileutil::exists(indexFile));
  f.advance(0ms);
  EXPECT_EQ(fileutil::readFile(indexFile), "42");

  c.serverRoad().validateFiles(record("/pending.txt"), "4");
  c.serverRoad().listingDidReceiveData(50);
  f.advance(0ms);
  EXPECT_EQ(fileutil::readFile(indexFile), "42");
}

TEST(MainSyncControllerListingTest, ClearingDownloadEntriesEmptiesTheAccountsJournal) {
  SyncFixture f;
  MainSyncController& c = f.make();
  std::string journal = c.applicationSupportObject().pathForApplicationFile(105);
  ASSERT_FALSE(journal.empty());
  fileutil::makeDirectories(journal);
  fileutil::writeFileAtomically(fileutil::joinPath(journal, "list.plist"), "x");
  c.downloadDispatcher().ClearRestoreRelatedFileEntries();
  EXPECT_EQ(fileutil::listDirectory(journal), std::vector<std::string>{});
}

// A listing record that moves a file the running download fetches stops that
// download, and the listing is run again instead of moving its index past a
// change the download would miss; other records leave the download alone.
TEST(MainSyncControllerListingTest, ARecordMovingAFileBeingFetchedStopsTheDownloadAndListsAgain) {
  struct Case {
    const char* name;
    ServerRecord record;
    const char* operation;
    bool downloadRunning;
    bool stops;
  } cases[] = {
      {"renamed away from the fetched file", record("/docs/b.txt", "/docs/a.txt"), "3", true, true},
      {"renamed, no download running", record("/docs/b.txt", "/docs/a.txt"), "3", false, false},
      {"renamed from a file not fetched", record("/docs/b.txt", "/docs/c.txt"), "3", true, false},
      {"the fetched file itself changed", record("/docs/a.txt"), "4", true, false},
      {"a deletion", record("/docs/a.txt"), "2", true, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SyncFixture f;
    MainSyncController& c = f.make();
    KVTBackupManager& download = c.restoreManager();
    download.setFileFolderSetForOperation({"/docs/a.txt"});
    download.setRunningState(k.downloadRunning);
    c.serverRoad().listing().changeListingStarting(false);
    c.serverRoad().listingGotEventsOccurred();
    c.serverRoad().validateFiles(k.record, k.operation);
    {
      MutexLock hold(c.accountState().listing.mutex);
      EXPECT_EQ(c.accountState().listing.isRestoreCanceldDuringListing, k.stops);
    }
    EXPECT_EQ(download.backupOrRestorFailCount(), k.stops ? 1 : 0);

    download.setRunningState(false);
    c.serverRoad().listingDidReceiveData(42);
    f.advance(0ms);
    std::string held;
    {
      MutexLock hold(c.accountState().listing.mutex);
      held = c.accountState().listing.mPreviousIndexStr;
    }
    const std::string indexFile =
        fileutil::joinPath(c.applicationSupportObject().pathForApplicationFile(50), "indexFile.txt");
    const bool indexMoved = held == "42" || fileutil::readFile(indexFile) == std::optional<std::string>("42");
    EXPECT_EQ(indexMoved, !k.stops);
  }
}

}  // namespace
}  // namespace ulmora
