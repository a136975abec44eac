#include "sync/server/ListingOutcome.h"

#include <gtest/gtest.h>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "sync/ServerRoadFakes.h"

namespace ulmora {
namespace {

using Lines = std::vector<std::string>;

class FakeOutcomeHost : public ListingOutcomeHost {
 public:
  Lines log;
  bool downloadRunning = false;
  void showDesktopPushNotification(const std::string& c) override { log.push_back(c); }
  void sendRecentItemsList(const std::vector<std::string>& r) override {
    log.push_back("recent " + std::to_string(r.size()));
  }
  void deleteCachedFiles() override { log.push_back("sweep"); }
  void removePNSRelatedToolTips() override { log.push_back("untip push"); }
  void removeItemFromToolTipFor(const std::string& c) override { log.push_back("untip " + c); }
  bool isDownloadRunning() override { return downloadRunning; }
  void WritingCreateDirCollection(const std::string& p) override { log.push_back("mkdir on server " + p); }
};

TEST(ListingOutcomeTest, ShortensLongNames) {
  std::string n38(38, 'a'), n39 = std::string(17, 'h') + "MIDDLE" + std::string(16, 't');
  n39.resize(39, 'z');
  EXPECT_EQ(ListingOutcome::shortened(n38), n38);
  EXPECT_EQ(ListingOutcome::shortened(n39), n39.substr(0, 17) + "..." + n39.substr(21));
  EXPECT_EQ(ListingOutcome::shortened(n39).size(), 38u);
  // Characters, not bytes: 39 two-byte letters.
  std::string wide;
  for (int i = 0; i < 39; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(ListingOutcome::shortened(wide), wide.substr(0, 34) + "..." + wide.substr(42));
}

TEST(ListingOutcomeTest, ChoosesOneChangeSummary) {
  SyncRootPath root("/h/Sync");
  auto snap = [](int d, int r, int u) {
    ListingTally::Snapshot s;
    s.deleted = d;
    s.renamed = r;
    s.updatedFromCache = u;
    s.lastDeleted = "/h/Sync/docs/gone.txt";
    s.lastRename = ListingTally::Rename{"/h/Sync/docs/old.txt", "/h/Sync/docs/new.txt"};
    s.filesUpdatedFromCache = {"/h/Sync/docs/back.txt"};
    return s;
  };
  auto moved = [&] {
    auto s = snap(0, 1, 0);
    s.lastRename = ListingTally::Rename{"/h/Sync/a/f.txt", "/h/Sync/a/b/f.txt"};
    return s;
  };
  auto emptyDelete = [&] {
    auto s = snap(1, 0, 0);
    s.lastDeleted.clear();
    return s;
  };
  struct Case {
    const char* name;
    ListingTally::Snapshot snapshot;
    bool folder;
    std::optional<std::string> expected;
  } cases[] = {
      {"nothing", snap(0, 0, 0), false, std::nullopt},
      {"many of each", snap(3, 2, 1), false, "N1024||3||3"},
      {"deletes and updates", snap(2, 0, 2), false, "N1024||2||2"},
      {"only deletes", snap(4, 0, 0), false, "N1006||4"},
      {"deletes and one update", snap(2, 0, 1), false, "N1031||back.txt::/docs/back.txt"},
      {"deletes and one rename", snap(2, 1, 0), false, "N1033||old.txt||renamed||new.txt"},
      {"one delete wins", snap(1, 5, 5), false, "N1025||gone.txt"},
      {"one delete, name unknown", emptyDelete(), false, std::nullopt},
      {"renames and updates", snap(0, 1, 2), false, "N1005||3"},
      {"three updates", snap(0, 0, 3), false, "N1005||3"},
      {"one rename", snap(0, 1, 1), false, "N1033||old.txt||renamed||new.txt"},
      {"folder renamed in place", snap(0, 1, 0), true, "N1032||old.txt||renamed||new.txt"},
      {"file moved", moved(), false, "N1033||f.txt||moved||b"},
      {"one update", snap(0, 0, 1), false, "N1031||back.txt::/docs/back.txt"},
      {"negative counts", snap(-1, -3, 0), false, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ListingOutcome::changeSummary(c.snapshot, root, c.folder), c.expected) << c.name;
}

struct OutcomeFixture {
  testing::TestTempDir tmp;
  std::string root = tmp.sub("Sync");
  SyncRootFiles files{root};
  FakeOutcomeHost host;
  testing::FakeQueue queue;
  testing::FakeFilters filters;
  testing::FakeSelective selective;
  ListingTally tally;
  ListingOutcome outcome{files, {host, queue, filters, selective}, tally};
  OutcomeFixture() { fileutil::makeDirectories(root); }
};

ServerRecord folderRecord(const std::string& fname, const std::string& old = "") {
  ServerRecord r;
  r.fname = fname;
  r.fnameOld = old;
  return r;
}

TEST(ListingOutcomeTest, ReconcilesFoldersWithoutLosingFiles) {
  OutcomeFixture f;
  fileutil::makeDirectories(f.root + "/gone/empty/deeper");
  f.tmp.writeFile("Sync/gone/.DS_Store", "");
  f.tmp.writeFile("Sync/kept/file.txt", "k");
  fileutil::makeDirectories(f.root + "/renamedAway");
  fileutil::makeDirectories(f.root + "/hidden/old");
  fileutil::makeDirectories(f.root + "/Out of Box/m/old");
  fileutil::makeDirectories(f.root + "/fromRename");
  f.tally.addFolderToDelete("/fromRename/");
  f.selective.deselected = {"/hidden/"};
  f.filters.emptyFolders = {"/kept/", "/emptyLocal/"};
  fileutil::makeDirectories(f.root + "/emptyLocal");

  ListingOutcome::Folders folders;
  folders.deleted = {folderRecord("/gone/"), folderRecord("/kept/"), folderRecord("/", ""),
                     folderRecord("/x/", "/renamedAway/"), folderRecord("/hidden/old/"),
                     folderRecord("/Out of Box/m/old/"), folderRecord("/../"), folderRecord("/.UMSCache/")};
  folders.live = {folderRecord("/new/sub/"), folderRecord("/kept/"), folderRecord("/hidden/n/"),
                  folderRecord("/Out of Box/m/n/")};
  f.outcome.manageFoldersReceivedFromServer(folders);

  EXPECT_FALSE(fileutil::exists(f.root + "/gone"));
  EXPECT_FALSE(fileutil::exists(f.root + "/renamedAway"));
  EXPECT_FALSE(fileutil::exists(f.root + "/fromRename"));
  EXPECT_EQ(fileutil::readFile(f.root + "/kept/file.txt"), "k");
  EXPECT_TRUE(fileutil::isDirectory(f.root));
  EXPECT_TRUE(fileutil::isDirectory(f.root + "/hidden/old"));
  EXPECT_TRUE(fileutil::isDirectory(f.root + "/Out of Box/m/old"));
  EXPECT_TRUE(fileutil::isDirectory(f.root + "/new/sub"));
  EXPECT_FALSE(fileutil::exists(f.root + "/hidden/n"));
  EXPECT_FALSE(fileutil::exists(f.root + "/Out of Box/m/n"));
  EXPECT_EQ(f.host.log, (Lines{"N1034||sub||added::/new/sub", "mkdir on server /emptyLocal/"}));
  EXPECT_EQ(f.filters.emptyFolders, Lines{"/kept/"});
  EXPECT_EQ(f.filters.foldersFromRestore.size(), 4u);
  // Rows of the folders this computer has: a start tells one removed while
  // the agent was down only by its row, and must never act on the row of a
  // folder the server removed.
  EXPECT_EQ(f.queue.log, (Lines{"dbdelete /gone", "dbdelete /x", "dbdelete /renamedAway", "dbdelete /fromRename",
                                "update /new/sub=Backup", "update /kept=Backup"}));
}

// A server folder this computer recorded in sync and no longer has was
// removed here (perhaps while the agent was down): it is not made again,
// which would undo the delete on its way to the server.
TEST(ListingOutcomeTest, AFolderRemovedHereIsNotMadeAgain) {
  OutcomeFixture f;
  testing::FakeStatus status;
  status.rows["/removed"] = {};
  ListingOutcome outcome{f.files, {f.host, f.queue, f.filters, f.selective, &status}, f.tally};
  ListingOutcome::Folders folders;
  folders.live = {folderRecord("/removed/"), folderRecord("/new/")};
  outcome.manageFoldersReceivedFromServer(folders);
  EXPECT_FALSE(fileutil::exists(f.root + "/removed"));
  EXPECT_TRUE(fileutil::isDirectory(f.root + "/new"));
}

TEST(ListingOutcomeTest, EndOfListingReportsAndSweeps) {
  OutcomeFixture f;
  f.tally.countDeletion(f.root + "/a.txt");
  f.tally.markCacheFileMoved();
  f.tally.countRestoreFromCache(f.root + "/b.txt");
  f.outcome.listingDataProcessedComplete({});
  EXPECT_EQ(f.host.log, (Lines{"N1025||a.txt", "recent 1", "sweep", "untip push", "untip Syncing Down"}));
  f.host.log.clear();
  ListingOutcome::Folders noData;
  noData.retryForNoData = true;
  f.host.downloadRunning = true;
  f.outcome.listingDataProcessedComplete(noData);
  EXPECT_EQ(f.host.log, (Lines{"recent 0"}));
}

}  // namespace
}  // namespace ulmora
