#include "sync/server/RecordApplier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "journal/SyncRecordBuilder.h"
#include "platform/ManualClock.h"
#include "sync/server/ServerRenameDecision.h"
#include "sync/ServerRoadFakes.h"
#include "sync/ServerRoadTestSupport.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::serverTime;
using testing::setModified;
using Lines = std::vector<std::string>;

constexpr const char* kTime = "2024-03-05 10:20:30";

struct ApplierFixture : testing::RoadWorld {
  testing::FakeSelective selective;
  testing::FakeRecent recent;
  testing::FakeSessionLog sessionLog;
  RecordChangeTracker recIds{tmp.sub("RecID")};
  std::vector<std::pair<std::function<void()>, Clock::Duration>> posted;
  int relists = 0;
  std::set<std::pair<std::string, std::string>> renamedHere;
  std::vector<std::string> serverFolders;
  RecordApplier applier{files,
                        cache,
                        {queue, filters, status, selective, recent, &sessionLog},
                        tally,
                        recIds,
                        {[this](std::function<void()> t, Clock::Duration d) { posted.emplace_back(t, d); },
                         [this](const ServerRecord& r) { serverFolders.push_back(r.fname); },
                         [this] { ++relists; },
                         [this](const std::string& o, const std::string& n) { return renamedHere.erase({o, n}) != 0; }}};

  std::string put(const std::string& rel, const std::string& text, std::chrono::nanoseconds offset = 0ns) {
    return RoadWorld::put(rel, text, serverTime(kTime, offset));
  }
  void validate(const ServerRecord& r, const std::string& op, RecordApplier::Flags flags = {}) {
    applier.validateFiles(r, op, flags);
  }
};

ServerRecord record(const std::string& fname, const std::string& fnameOld = "", const std::string& size = "10") {
  ServerRecord r;
  r.fname = fname;
  r.fnameOld = fnameOld;
  r.modTime = kTime;
  r.size = size;
  r.refId = "R1";
  return r;
}

TEST(RecordApplierTest, NewerServerCopyNeverOverwritesALocalEdit) {
  struct Case {
    const char* name;
    std::string backup;  // the row's status; "" for no row
    bool reinitialise;
    bool blockConflictFolder;
    std::optional<std::string> conflictCopy;  // what ConflictData holds afterwards
    bool downloaded;
    std::chrono::seconds recordedAt = -60s;  // the date the row recorded
  } cases[] = {
      {"in sync", "1", false, false, std::nullopt, true},
      {"edited, not uploaded", "0", false, false, "local edit", true},
      {"unknown to the database", "", false, false, "local edit", true},
      {"reinitialising", "1", true, false, "local edit", true},
      {"no conflict copy possible", "0", false, true, std::nullopt, false},
      // The row still says "in sync": the edit came after the last upload.
      {"edited after the last sync", "1", false, false, "local edit", true, -600s},
      {"edited after the last sync, no conflict copy possible", "1", false, true, std::nullopt, false, -600s},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/d/a.txt", "local edit", -60s);
    if (!c.backup.empty()) {
      f.status.rows["/d/a.txt"].backup = c.backup;
      f.status.rows["/d/a.txt"].recorded = RecordedFileFacts{syncrecord::dateText(serverTime(kTime, c.recordedAt)), "10"};
    }
    if (c.blockConflictFolder) f.put("/.UMSCache/ConflictData", "a file in the way");
    f.validate(record("/d/a.txt"), "4", {c.reinitialise, false, false});
    EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/d/a.txt"), c.conflictCopy) << c.name;
    // The watcher must not see the conflict copy as the user deleting the file.
    if (c.conflictCopy) {
      EXPECT_EQ(f.filters.excluded.count(f.root + "/d/a.txt"), 1u) << c.name;
      ASSERT_EQ(f.posted.size(), 1u) << c.name;
      f.posted[0].first();
      EXPECT_TRUE(f.filters.excluded.empty()) << c.name;
    }
    Lines expected;
    if (c.downloaded) expected = {"update /d/a.txt=R1", "restore /d/a.txt=10"};
    EXPECT_EQ(f.queue.log, expected) << c.name;
    if (!c.downloaded) {
      EXPECT_EQ(f.read("/d/a.txt"), "local edit") << c.name;
    }
    if (!c.conflictCopy && c.downloaded) {
      EXPECT_EQ(f.read("/d/a.txt"), "local edit") << c.name << " (the engine replaces it)";
    }
  }
}

// The server refused this computer's upload: another computer's version is
// there, one this computer never saw. That version is fetched; what is here
// is kept as a conflict copy first, never written over.
TEST(RecordApplierTest, ARefusedUploadIsKeptAsAConflictCopyAndTheServersVersionFetched) {
  const struct {
    const char* name;
    const char* path;
    bool localFile;
    bool blockConflictFolder;
    std::optional<std::string> conflictCopy;
    Lines queued;
  } cases[] = {
      {"local edit set aside", "/d/a.txt", true, false, "local edit", {"restore /d/a.txt=0"}},
      {"gone here meanwhile", "/d/a.txt", false, false, std::nullopt, {"restore /d/a.txt=0"}},
      {"no conflict copy possible: nothing fetched", "/d/a.txt", true, true, std::nullopt, {}},
      {"path of the cache", "/.UMSCache/x", true, false, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    if (c.localFile) f.put(c.path, "local edit", -60s);
    if (c.blockConflictFolder) f.put("/.UMSCache/ConflictData", "a file in the way");
    f.applier.keepRefusedUpload(c.path);
    EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData" + c.path), c.conflictCopy) << c.name;
    EXPECT_EQ(f.queue.log, c.queued) << c.name;
    // The download's mark keeps the edit's pending upload from following it.
    const bool marked = std::find(f.filters.log.begin(), f.filters.log.end(), std::string("avoidBackup ") + c.path) !=
                        f.filters.log.end();
    EXPECT_EQ(marked, !c.queued.empty()) << c.name;
    if (c.localFile && !c.conflictCopy) {
      EXPECT_EQ(f.read(c.path), "local edit") << c.name;
    }
  }
}

TEST(RecordApplierTest, QueueKeysTakeTheCanonicalForm) {
  ApplierFixture f;
  f.validate(record("d//a.txt"), "4");
  EXPECT_EQ(f.queue.log, (Lines{"update /d/a.txt=R1", "restore /d/a.txt=10"}));
}

TEST(RecordApplierTest, SecondConflictOfOnePathGetsAFreshName) {
  ApplierFixture f;
  f.status.rows["/a.txt"].backup = "0";
  f.put("/a.txt", "edit one", -60s);
  f.validate(record("/a.txt"), "4");
  f.put("/a.txt", "edit two", -60s);
  f.validate(record("/a.txt"), "4");
  EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/a.txt"), "edit one");
  EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/a (2).txt"), "edit two");
}

// Two computers wrote the file within one second: the server holds the
// other's copy with the same time. The copy here lost, whether or not its
// upload got there first; it is kept as a conflict copy, and the session log
// says where.
TEST(RecordApplierTest, TheLosingEditOfTheSameSecondIsKeptAndNamed) {
  const struct {
    const char* name;
    std::string backup;  // the row's status; "" for no row
    const char* serverSize;
    bool kept;
  } cases[] = {
      {"uploaded here, then replaced on the server", "1", "12", true},
      {"not uploaded yet", "0", "12", true},
      {"no row", "", "12", true},
      {"same size: taken as the server's copy", "1", "10", false},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/d/a.txt", "local edit", 300ms);
    if (!c.backup.empty()) {
      f.status.rows["/d/a.txt"].backup = c.backup;
      f.status.rows["/d/a.txt"].recorded =
          RecordedFileFacts{syncrecord::dateText(serverTime(kTime, 300ms)), "10"};
    }
    f.validate(record("/d/a.txt", "", c.serverSize), "4");
    EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/d/a.txt").has_value(), c.kept) << c.name;
    Lines logged;
    if (c.kept) logged = {"kept /d/a.txt as /.UMSCache/ConflictData/d/a.txt"};
    EXPECT_EQ(f.sessionLog.lines, logged) << c.name;
  }
  // A second conflict copy of the path is named as it was made.
  ApplierFixture f;
  f.status.rows["/a.txt"].backup = "0";
  f.put("/.UMSCache/ConflictData/a.txt", "earlier");
  f.put("/a.txt", "edit", -60s);
  f.validate(record("/a.txt"), "4");
  EXPECT_EQ(f.sessionLog.lines, Lines{"kept /a.txt as /.UMSCache/ConflictData/a (2).txt"});
}

// The other computer edited the file and moved it; this one edited it in the
// same second. Moved to the new name, the copy here would be taken for the
// server's file and never be sent nor replaced: it is kept as a conflict
// copy, and the server's file is fetched at the new name.
TEST(RecordApplierTest, AMoveOfAnotherEditOfTheSameSecondKeepsTheEditHere) {
  const struct {
    const char* name;
    std::string backup;  // the row's status; "" for no row
    const char* serverSize;
    std::optional<std::string> conflictCopy;
    Lines queued;
  } cases[] = {
      {"edited here since its sync", "1", "12", "local edit",
       {"dbdelete /old/a.txt", "update /new/a.txt=R1", "restore /new/a.txt=12"}},
      {"not uploaded yet", "0", "12", "local edit",
       {"dbdelete /old/a.txt", "update /new/a.txt=R1", "restore /new/a.txt=12"}},
      {"no row", "", "12", "local edit", {"dbdelete /old/a.txt", "update /new/a.txt=R1", "restore /new/a.txt=12"}},
      {"same size: the server's file, moved", "1", "10", std::nullopt, {"dbrename /old/a.txt->/new/a.txt"}},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/old/a.txt", "local edit", 300ms);
    if (!c.backup.empty()) {
      f.status.rows["/old/a.txt"].backup = c.backup;
      f.status.rows["/old/a.txt"].recorded = RecordedFileFacts{syncrecord::dateText(serverTime(kTime, -60s)), "9"};
    }
    f.validate(record("/new/a.txt", "/old/a.txt", c.serverSize), "3");
    EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/old/a.txt"), c.conflictCopy) << c.name;
    EXPECT_EQ(f.queue.log, c.queued) << c.name;
    EXPECT_EQ(fileutil::readFile(f.root + "/new/a.txt").has_value(), !c.conflictCopy) << c.name;
  }
}

// The server moved the item into a folder this computer does not sync. What
// the server has of it may go to the day's cache, which is swept; what only
// this computer holds is kept as a conflict copy. Its former path is not
// uploaded again.
TEST(RecordApplierTest, AMoveIntoADeselectedFolderKeepsWhatTheServerLacks) {
  struct Case {
    const char* name;
    std::string fname, fnameOld;
    std::function<void(ApplierFixture&)> setUp;
    Lines conflictCopies, dayCached, stillHere;
  };
  const RecordedFileFacts synced{syncrecord::dateText(serverTime(kTime)), "1"};
  auto row = [&](ApplierFixture& f, const std::string& p) {
    f.status.rows[p].recorded = synced;
  };
  const std::vector<Case> cases = {
      {"file as the server has it", "/hidden/a.txt", "/old/a.txt",
       [&](auto& f) {
         f.put("/old/a.txt", "a");
         row(f, "/old/a.txt");
       },
       {}, {"/old/a.txt"}, {}},
      {"file edited an hour after its sync", "/hidden/a.txt", "/old/a.txt",
       [&](auto& f) {
         f.put("/old/a.txt", "an edit", 1h);
         row(f, "/old/a.txt");
       },
       {"/old/a.txt"}, {}, {}},
      {"file never uploaded", "/hidden/a.txt", "/old/a.txt", [](auto& f) { f.put("/old/a.txt", "a"); },
       {"/old/a.txt"}, {}, {}},
      {"both names here, the former edited", "/hidden/a.txt", "/old/a.txt",
       [&](auto& f) {
         f.put("/hidden/a.txt", "a");
         f.put("/old/a.txt", "an edit", 1h);
         row(f, "/old/a.txt");
       },
       {"/old/a.txt"}, {}, {"/hidden/a.txt"}},
      {"folder holding a file never uploaded", "/hidden/F/", "/F/",
       [&](auto& f) {
         f.put("/F/synced.txt", "s");
         row(f, "/F/synced.txt");
         f.put("/F/sub/new.txt", "n");
       },
       {"/F/sub/new.txt"}, {"/F/synced.txt"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ApplierFixture f;
    f.selective.deselected = {"/hidden/"};
    c.setUp(f);
    f.validate(record(c.fname, c.fnameOld, "1"), "3");
    for (const auto& p : c.conflictCopies) {
      EXPECT_TRUE(fileutil::exists(f.root + "/.UMSCache/ConflictData" + p)) << p;
      EXPECT_FALSE(fileutil::exists(f.root + "/.UMSCache/2020-01-01" + p)) << p;
    }
    for (const auto& p : c.dayCached) EXPECT_TRUE(fileutil::exists(f.root + "/.UMSCache/2020-01-01" + p)) << p;
    for (const auto& p : c.stillHere) EXPECT_TRUE(fileutil::exists(f.root + p)) << p;
    EXPECT_FALSE(fileutil::exists(f.root + c.fnameOld));
    Lines named;
    for (const auto& p : c.conflictCopies) named.push_back("kept " + p + " as /.UMSCache/ConflictData" + p);
    EXPECT_EQ(f.sessionLog.lines, named);
    // The former name's row goes; nothing is uploaded under it again.
    const std::string key = c.fnameOld;
    EXPECT_NE(std::find(f.queue.log.begin(), f.queue.log.end(), "dbdelete " + key), f.queue.log.end());
    for (const auto& line : f.queue.log) EXPECT_EQ(line.rfind("upload ", 0), std::string::npos) << line;
  }
}

// Another computer put another server file at the path within the second
// of the copy here, at its size: only the reference id tells them apart.
// The copy here is kept and named, the server's copy is fetched; a record of
// the row's own file changes only the row.
TEST(RecordApplierTest, AnotherServerFileOfTheSameSecondAndSizeIsFetched) {
  const struct {
    const char* rowRefId;
    bool kept;
  } cases[] = {{"R0", true}, {"R1", false}};
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/d/a.txt", "local copy", 300ms);
    auto& row = f.status.rows["/d/a.txt"];
    row.refId = c.rowRefId;
    row.recorded = RecordedFileFacts{syncrecord::dateText(serverTime(kTime, 300ms)), "10"};
    f.validate(record("/d/a.txt"), "4");
    EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/d/a.txt").has_value(), c.kept) << c.rowRefId;
    Lines logged, queued{"refid /d/a.txt=R1"};
    if (c.kept) {
      logged = {"kept /d/a.txt as /.UMSCache/ConflictData/d/a.txt"};
      queued = {"update /d/a.txt=R1", "restore /d/a.txt=10"};
    }
    EXPECT_EQ(f.sessionLog.lines, logged) << c.rowRefId;
    EXPECT_EQ(f.queue.log, queued) << c.rowRefId;
  }
}

TEST(RecordApplierTest, UnsafeServerPathsAreDroppedBeforeAnyFileOperation) {
  struct Case {
    std::string op, fname, fnameOld;
  } cases[] = {
      {"4", "", ""},
      {"4", "/", ""},
      {"4", "/../escape.txt", ""},
      {"4", "/d/../../escape.txt", ""},
      {"4", "/./a.txt", ""},
      {"4", std::string("/a\0b", 4), ""},
      {"2", "/.UMSCache/2020-01-01/a.txt", ""},
      {"2", "/..", ""},
      {"3", "/a.txt", "/../outside.txt"},
      {"3", "/../a.txt", "/a.txt"},
      {"3", "/.UMSCache/x", "/a.txt"},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/a.txt", "keep", -60s);
    f.put("/.UMSCache/2020-01-01/a.txt", "cached");
    f.validate(record(c.fname, c.fnameOld), c.op);
    EXPECT_TRUE(f.queue.log.empty()) << c.op << " " << c.fname;
    EXPECT_TRUE(f.filters.log.empty()) << c.op << " " << c.fname;
    EXPECT_EQ(f.read("/a.txt"), "keep");
    EXPECT_EQ(f.read("/.UMSCache/2020-01-01/a.txt"), "cached");
  }
}

TEST(RecordApplierTest, ServerDeletionMovesTheFileToTheCache) {
  ApplierFixture f;
  f.put("/d/a.txt", "content", -60s);
  f.status.rows["/d/a.txt"] = {"1", "1", "R1"};
  auto r = record("/d/a.txt");
  r.rcId = "C1";
  f.validate(r, "2");
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/d/a.txt"), "content");
  EXPECT_FALSE(fileutil::exists(f.root + "/d/a.txt"));
  EXPECT_EQ(f.queue.log, Lines{"dbdelete /d/a.txt"});
  EXPECT_EQ(f.filters.log, Lines{"autoDelete /d/a.txt"});
  EXPECT_EQ(f.recent.items, Lines{f.root + "/d/a.txt - Auto Deleted"});
  EXPECT_EQ(f.tally.snapshot().deleted, 1);
  EXPECT_EQ(f.recIds.current(), "C1");
}

TEST(RecordApplierTest, NamesWithQuotesAreLookedUpAsTheyAre) {
  ApplierFixture f;
  f.put("/it's.txt", "content");
  f.status.rows["/it's.txt"] = {"1", "1", "R1"};
  f.validate(record("/it's.txt"), "2");
  EXPECT_EQ(f.status.asked, Lines{"/it's.txt"});
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/it's.txt"), "content");
}

TEST(RecordApplierTest, FileAndItsFolderDeletedTogetherAndRepeated) {
  ApplierFixture f;
  f.put("/d/a.txt", "content");
  f.status.rows["/d/a.txt"] = {"1", "1", ""};
  for (int i = 0; i < 2; ++i) {
    f.validate(record("/d/a.txt"), "2");
    f.validate(record("/d/"), "2");
  }
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/d/a.txt"), "content");
  EXPECT_TRUE(fileutil::isDirectory(f.root + "/d"));  // the listing's folder lists remove it
  EXPECT_EQ(f.queue.log, (Lines{"dbdelete /d/a.txt", "dbdelete /d/a.txt"}));
  EXPECT_EQ(f.tally.snapshot().deleted, 1);
}

TEST(RecordApplierTest, DeletedFolderIsNeverMovedWhole) {
  ApplierFixture f;
  f.put("/d/a.txt", "content");
  f.status.rows["/d"] = {"1", "1", ""};
  f.validate(record("/d"), "2");
  f.validate(record("/d/"), "2");
  f.validate(record("/d/"), "4");
  EXPECT_EQ(f.read("/d/a.txt"), "content");
  EXPECT_TRUE(f.queue.log.empty());
}

TEST(RecordApplierTest, DeletionFollowsTheFileUnderItsOtherName) {
  ApplierFixture f;
  f.put("/e/other.txt", "content");
  fileutil::makeDirectories(f.root + "/d");
  f.status.rows["/e/other.txt"] = {"1", "1", "R1"};
  f.queue.refIdPaths["R1"] = "/e/other.txt";
  f.validate(record("/d/a.txt"), "2", {false, false, true});
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/d/a.txt"), "content");
  EXPECT_FALSE(fileutil::exists(f.root + "/e"));  // emptied, removed
  EXPECT_EQ(f.queue.log, (Lines{"dbdelete /e/other.txt", "dbdelete /d/a.txt", "dbdelete /e"}));
  EXPECT_EQ(f.filters.log, (Lines{"avoidRename /e/other.txt->/d/a.txt", "autoDelete /e/other.txt"}));
}

// A file uploaded here and then carried off by a folder the server moved is
// the server's copy under its new local name: it moves back into place with
// its row rather than arriving a second time.
TEST(RecordApplierTest, ChangeFollowsTheFileUnderItsOtherName) {
  struct Case {
    const char* name;
    std::string text;
    bool moved;
  } cases[] = {
      {"the server's copy", "0123456789", true},
      {"another copy", "edited", false},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/e/a.txt", c.text);
    f.status.rows["/e/a.txt"] = {"1", "1", "R1"};
    f.queue.refIdPaths["R1"] = "/e/a.txt";
    f.validate(record("/d/a.txt"), "4", {false, false, true});
    if (c.moved) {
      EXPECT_EQ(f.read("/d/a.txt"), c.text) << c.name;
      EXPECT_FALSE(fileutil::exists(f.root + "/e")) << c.name;  // emptied, removed
      EXPECT_EQ(f.queue.log, (Lines{"dbrename /e/a.txt->/d/a.txt", "dbdelete /e"})) << c.name;
    } else {
      EXPECT_EQ(f.read("/e/a.txt"), c.text) << c.name;
      EXPECT_EQ(f.queue.log, (Lines{"update /d/a.txt=R1", "restore /d/a.txt=10"})) << c.name;
    }
  }
}

TEST(RecordApplierTest, DeletionUnderAnotherNameMakesNoFolderToLeaveEmpty) {
  ApplierFixture f;
  f.put("/e/other.txt", "content");
  f.put("/e/keep.txt", "k");
  f.status.rows["/e/other.txt"] = {"1", "1", "R1"};
  f.queue.refIdPaths["R1"] = "/e/other.txt";
  f.validate(record("/gone/a.txt"), "2", {false, false, true});
  EXPECT_FALSE(fileutil::exists(f.root + "/gone"));
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/e/other.txt"), "content");
  EXPECT_EQ(f.read("/e/keep.txt"), "k");
}

TEST(RecordApplierTest, RenameLiftsItsExclusionsOnTheMainLoopTwoSecondsLater) {
  ApplierFixture f;
  f.put("/old/a.txt", "content");
  f.validate(record("/new/a.txt", "/old/a.txt", "7"), "3");
  EXPECT_EQ(f.read("/new/a.txt"), "content");
  EXPECT_EQ(f.queue.log, Lines{"dbrename /old/a.txt->/new/a.txt"});
  EXPECT_EQ(f.tally.snapshot().renamed, 1);
  EXPECT_EQ(f.filters.excluded.size(), 2u);
  ASSERT_EQ(f.posted.size(), 1u);
  EXPECT_EQ(f.posted[0].second, 2s);
  f.posted[0].first();
  EXPECT_TRUE(f.filters.excluded.empty());
}

// A user renames a folder and deletes it at once: the listing brings the
// rename back while the delete is on its way. Fetched again, the files would
// put the folder back and its delete would never be sent.
TEST(RecordApplierTest, TheEchoOfARenameMadeHereDoesNotFetchWhatWasRemovedSince) {
  ApplierFixture f;
  f.renamedHere = {{"/Album/one.txt", "/Photos/one.txt"}, {"/Album/", "/Photos/"}};
  f.validate(record("/Photos/one.txt", "/Album/one.txt"), "3");
  f.validate(record("/Photos/", "/Album/"), "3");
  // Only the rows left under the former name go.
  EXPECT_EQ(f.queue.log, Lines{"dbdelete /Album"});
  f.queue.log.clear();
  EXPECT_TRUE(f.serverFolders.empty());
  EXPECT_FALSE(fileutil::exists(f.root + "/Photos"));
  // A rename made elsewhere is fetched as before.
  f.validate(record("/Photos/two.txt", "/Album/two.txt"), "3");
  EXPECT_FALSE(f.queue.log.empty());
  // An echo that finds the item here is taken all the same.
  f.renamedHere = {{"/Album/three.txt", "/Photos/three.txt"}};
  f.put("/Photos/three.txt", "three");
  f.validate(record("/Photos/three.txt", "/Album/three.txt"), "3");
  EXPECT_TRUE(f.renamedHere.empty());
}

// A file edited and renamed here before its edit was sent: the server moved
// the version before the edit, and the listing brings the rename back (again,
// when its index is held for downloads). The edit goes up at the new name,
// never set aside with that older version fetched over it; a rename made
// elsewhere onto a new file here is judged as before.
TEST(RecordApplierTest, AnEditRenamedHereGoesUpWhenTheRenameComesBack) {
  struct Case {
    const char* name;
    bool echo;           // the rename's echo, not yet taken
    bool keptForNewName;  // a version is kept for the new name (the rename was made here)
    bool uploaded;
  } cases[] = {
      {"the echo", true, true, true},
      {"the echo again, already taken", false, true, true},
      {"a rename made elsewhere", false, false, false},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/Docs/new.txt", "edited here", 60s);
    if (c.echo) f.renamedHere = {{"/Docs/old.txt", "/Docs/new.txt"}};
    if (c.keptForNewName) f.filters.renamedHereTo = {"/Docs/new.txt"};
    f.validate(record("/Docs/new.txt", "/Docs/old.txt"), "3");
    const Lines upload{"backup /Docs/new.txt", "upload " + f.root + "/Docs/new.txt", "dbdelete /Docs/old.txt"};
    EXPECT_EQ(f.queue.log == upload, c.uploaded) << c.name;
    // Elsewhere: a new file here the server lacks, kept as a conflict copy.
    EXPECT_EQ(fileutil::readFile(f.root + (c.uploaded ? "" : "/.UMSCache/ConflictData") + "/Docs/new.txt"),
              "edited here")
        << c.name;
  }
}

TEST(RecordApplierTest, CaseOnlyRenameRenamesTheFile) {
  ApplierFixture f;
  f.put("/Report.txt", "content");
  f.validate(record("/report.txt", "/Report.txt", "7"), "3");
  EXPECT_EQ(fileutil::listDirectory(f.root), Lines{"report.txt"});
  EXPECT_EQ(f.queue.log, Lines{"dbrename /Report.txt->/report.txt"});
}

TEST(RecordApplierTest, FailedLocalRenameIsFetchedInsteadOfRecorded) {
  ApplierFixture f;
  f.put("/old/a.txt", "content");
  f.put("/new", "a file where the folder should be");
  f.validate(record("/new/a.txt", "/old/a.txt", "7"), "3");
  EXPECT_EQ(f.read("/old/a.txt"), "content");
  EXPECT_EQ(f.queue.log, (Lines{"update /new/a.txt=R1", "restore /new/a.txt=7"}));
  EXPECT_EQ(f.tally.snapshot().renamed, 0);
  EXPECT_TRUE(f.recent.items.empty());
}

TEST(RecordApplierTest, RenameOfAFolderIntoItselfIsRefused) {
  ApplierFixture f;
  f.put("/d/a.txt", "content");
  f.validate(record("/d/sub/", "/d/"), "3");
  EXPECT_EQ(f.read("/d/a.txt"), "content");
  EXPECT_TRUE(f.queue.log.empty());
}

// Rows follow the files of a folder the server moved; a file made here and
// not yet recorded (its upload under the old name now finds nothing) is
// uploaded under the new name, since the capture is kept from the move, and
// so is a file edited here since its last sync, whose row follows it. The
// folder rows follow too: what is left under the former name goes after the
// file renames, and the folders at the new name are recorded.
TEST(RecordApplierTest, FolderRenameRenamesItsFilesInTheDatabase) {
  struct Case {
    const char* name;
    std::string row;  // of /old/sub/b.txt; "" for none
    bool uploaded;
    std::chrono::seconds recordedAt = 0s;  // the date the row recorded; 0: none
    bool renamed = !uploaded;
  } cases[] = {
      {"recorded", "1", false},
      {"recorded, upload pending", "0", false},
      {"never recorded", "", true},
      {"recorded as it is", "1", false, -60s},
      {"edited since its sync", "1", true, -600s, true},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/old/a.txt", "a");
    f.put("/old/sub/b.txt", "b", -60s);
    f.put("/old/.DS_Store", "x");
    f.status.rows["/old/a.txt"] = {"1", "1", "R1"};
    if (!c.row.empty()) f.status.rows["/old/sub/b.txt"] = {c.row, "1", ""};
    if (c.recordedAt != 0s)
      f.status.rows["/old/sub/b.txt"].recorded = RecordedFileFacts{syncrecord::dateText(serverTime(kTime, c.recordedAt)), "1"};
    f.filters.excludedNames = {".DS_Store"};
    f.validate(record("/new/", "/old/"), "3");
    EXPECT_EQ(f.read("/new/sub/b.txt"), "b") << c.name;
    Lines expected{"dbrename /old/a.txt->/new/a.txt"};
    if (c.renamed) expected.push_back("dbrename /old/sub/b.txt->/new/sub/b.txt");
    if (c.uploaded) expected.insert(expected.end(), {"backup /new/sub/b.txt", "upload " + f.root + "/new/sub/b.txt"});
    expected.insert(expected.end(), {"dbdelete /old", "update /new=Backup", "update /new/sub=Backup"});
    EXPECT_EQ(f.queue.log, expected) << c.name;
    EXPECT_EQ(f.filters.log, Lines{"avoidRename /old->/new"}) << c.name;
  }
}

// A folder renamed by one listing and a file inside it deleted by the next,
// pushed a second later: the file's row still stands under the former folder
// (rows move through the input queue a moment later). Taken for a file never
// uploaded, it would be kept and uploaded again, undoing the delete.
TEST(RecordApplierTest, ADeleteInsideAFolderRenamedByTheListingBeforeFindsItsRow) {
  ApplierFixture f;
  f.put("/old/sub/c.txt", "c", -60s);
  f.status.rows["/old/sub/c.txt"] = {"1", "1", "R1"};
  f.applier.listingDidStart();
  f.validate(record("/new/", "/old/"), "3");
  f.applier.listingDidStart();
  f.validate(record("/new/sub/c.txt"), "2");
  EXPECT_EQ(f.read("/.UMSCache/2020-01-01/new/sub/c.txt"), "c");
  EXPECT_FALSE(fileutil::exists(f.root + "/new/sub/c.txt"));
  for (const std::string& line : f.queue.log) EXPECT_NE(line.rfind("backup ", 0), 0u) << line;
  // Once the rows have had time to move, the former name is no longer asked.
  for (auto& [task, delay] : f.posted)
    if (delay == RecordApplier::kRowsMoveWithin) task();
  f.status.asked.clear();
  f.put("/new/sub/d.txt", "d", -60s);
  f.validate(record("/new/sub/d.txt"), "2");
  for (const std::string& key : f.status.asked) EXPECT_EQ(key.rfind("/old", 0), std::string::npos) << key;
}

// A folder moved here (the listing brings back the move made here): its rows
// leave the former name, or a later start would take the folders for ones the
// user removed, and delete what the server holds under that name by then.
TEST(RecordApplierTest, FolderMovedHereTakesItsRowsAlong) {
  ApplierFixture f;
  f.put("/new/sub/b.txt", "b");
  f.status.rows["/old"] = {"1", "1", "NA"};
  f.status.rows["/old/sub"] = {"1", "1", "NA"};
  f.validate(record("/new/", "/old/"), "3");
  EXPECT_EQ(f.queue.log, (Lines{"dbdelete /old", "update /new=Backup", "update /new/sub=Backup"}));
  EXPECT_EQ(f.read("/new/sub/b.txt"), "b");
}

// One listing holds a folder's rename and, after it, the renames of items
// inside it, each with the path it had when the listing began.
TEST(RecordApplierTest, RenamesInsideAFolderRenamedEarlierInTheListingFollowIt) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> records;  // new, former
    bool newListingBeforeLast;
    Lines present, absent;
    bool fetched;  // the last record became a download
  };
  const std::vector<Case> cases = {
      {"a file renamed after its folder",
       {{"/G/", "/F/"}, {"/G/sub/", "/F/sub/"}, {"/G/sub/c.txt", "/F/sub/c.txt"}, {"/G/b.txt", "/F/a.txt"}},
       false, {"/G/b.txt", "/G/sub/c.txt"}, {"/G/a.txt", "/F"}, false},
      {"a folder renamed after the folder around it",
       {{"/Outer/G/", "/F/"}, {"/Outer/G/sub2/", "/F/sub/"}},
       false, {"/Outer/G/a.txt", "/Outer/G/sub2/c.txt"}, {"/Outer/G/sub", "/F"}, false},
      {"two folder renames in a row",
       {{"/G/", "/F/"}, {"/G/sub2/", "/F/sub/"}, {"/G/sub2/d.txt", "/F/sub/c.txt"}},
       false, {"/G/sub2/d.txt", "/G/a.txt"}, {"/G/sub2/c.txt", "/G/sub"}, false},
      // Renames of two different folders above the file, in the order made.
      {"two folders above it renamed in turn",
       {{"/a/c/", "/a/b/"}, {"/x/", "/a/"}, {"/x/c/g.txt", "/a/b/f.txt"}},
       false, {"/x/c/g.txt"}, {"/x/c/f.txt", "/x/b", "/a"}, false},
      // Another listing's former paths already name the folder's new place.
      {"not carried into the next listing",
       {{"/G/", "/F/"}, {"/G/b.txt", "/F/a.txt"}},
       true, {"/G/a.txt"}, {"/G/b.txt"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ApplierFixture f;
    f.put("/F/a.txt", "a");
    f.put("/F/sub/c.txt", "c");
    f.put("/Outer/keep.txt", "k");
    f.put("/a/b/f.txt", "f");
    f.applier.listingDidStart();
    for (std::size_t i = 0; i < c.records.size(); ++i) {
      if (c.newListingBeforeLast && i + 1 == c.records.size()) f.applier.listingDidStart();
      // Every file here holds one byte: the moves carry no write.
      f.validate(record(c.records[i].first, c.records[i].second, "1"), "3");
    }
    for (const std::string& p : c.present) EXPECT_TRUE(fileutil::exists(f.root + p)) << p;
    for (const std::string& p : c.absent) EXPECT_FALSE(fileutil::exists(f.root + p)) << p;
    const std::string& last = c.records.back().first;
    const bool restored = std::find(f.queue.log.begin(), f.queue.log.end(), "restore " + last + "=1") !=
                          f.queue.log.end();
    EXPECT_EQ(restored, c.fetched);
  }
}

// A folder moved here, and a file in it renamed on the server just before the
// move got there: the listing names the file by its path in the former
// folder. It is renamed where the move took it, never fetched beside the copy
// the move carried.
TEST(RecordApplierTest, ARenameInsideAFolderMovedHereFollowsTheMove) {
  ApplierFixture f;
  f.put("/G/a.txt", "a");
  f.applier.listingDidStart();
  f.validate(record("/G/", "/F/"), "3");
  f.validate(record("/G/b.txt", "/F/a.txt", "1"), "3");
  EXPECT_EQ(f.read("/G/b.txt"), "a");
  EXPECT_FALSE(fileutil::exists(f.root + "/G/a.txt"));
  for (const std::string& line : f.queue.log) EXPECT_EQ(line.rfind("restore ", 0), std::string::npos) << line;
}

// Another computer moved "/F" to "/G" just before this computer's upload of
// a file in it reached the server, which made "/F" again for it. The listing
// moves the folder here, then brings the upload: the file goes up at its new
// place and leaves the former one on the server, and "/F" is deleted there
// rather than made here again. A file another computer put under "/F" makes
// it a folder of its own again, left alone; a file edited here since its
// upload is not the one the server holds, which is fetched.
TEST(RecordApplierTest, AnUploadThatMadeAMovedFolderAgainFollowsTheMove) {
  struct Case {
    const char* name;
    std::chrono::nanoseconds edited;          // of the file here, after its upload
    std::vector<std::string> othersUnderOld;  // files another computer put under "/F"
    bool follows, cleared;
  };
  const std::vector<Case> cases = {
      {"only the upload came", 0ns, {}, true, true},
      {"edited here since", 5s, {}, false, false},
      {"another computer's file came too", 0ns, {"/F/b.txt"}, true, false},
      {"another computer's file in a folder below", 0ns, {"/F/sub/b.txt"}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ApplierFixture f;
    f.put("/F/a.txt", "0123456789", c.edited);
    f.status.rows["/F/a.txt"] = {"1", "1", "R1"};
    f.applier.listingDidStart();
    f.validate(record("/G/", "/F/"), "3");
    for (const std::string& other : c.othersUnderOld) f.validate(record(other), "4");
    f.validate(record("/F/a.txt"), "4");
    // What the folder's move queued is checked elsewhere.
    f.queue.log.erase(f.queue.log.begin(), std::find(f.queue.log.begin(), f.queue.log.end(), "dbdelete /F") + 1);
    std::erase_if(f.queue.log, [](const std::string& line) { return line.rfind("update ", 0) == 0; });
    Lines expected;
    for (const std::string& other : c.othersUnderOld) expected.push_back("restore " + other + "=10");
    if (c.follows) {
      expected.insert(expected.end(), {"dbdelete /F/a.txt", "serverdelete /F/a.txt", "backup /G/a.txt",
                                       "upload " + f.root + "/G/a.txt"});
    } else {
      expected.push_back("restore /F/a.txt=10");
    }
    EXPECT_EQ(f.queue.log, expected);
    EXPECT_TRUE(fileutil::exists(f.root + "/G/a.txt"));
    EXPECT_EQ(f.applier.takeFormerFoldersToClear(), c.cleared ? Lines{"/F"} : Lines{});
    EXPECT_TRUE(f.applier.takeFormerFoldersToClear().empty()) << "given once";
    EXPECT_EQ(f.applier.clearedOnServer("/F/"), c.cleared);
    EXPECT_EQ(f.applier.clearedOnServer("/F/sub/"), c.cleared);
    EXPECT_FALSE(f.applier.clearedOnServer("/Fx/"));
    EXPECT_FALSE(f.applier.clearedOnServer("/G/"));
    // The next listing starts afresh.
    f.applier.listingDidStart();
    EXPECT_FALSE(f.applier.clearedOnServer("/F/"));
  }
}

// The rows of a folder renamed here move a moment later, through the queue:
// until then a change to a file inside it must not look like a local edit.
TEST(RecordApplierTest, ChangesInsideAFolderRenamedEarlierInTheListingFindTheirRows) {
  struct Case {
    const char* name;
    std::string op;
    bool rowUnderNewName;  // the queue has already moved it
    bool cached, conflictCopy, downloaded;
  };
  const std::vector<Case> cases = {
      {"deleted on the server", "2", false, true, false, false},
      {"deleted, the row moved already", "2", true, true, false, false},
      {"changed on the server", "4", false, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ApplierFixture f;
    f.put("/F/sub/c.txt", "in sync", -60s);
    f.status.rows[c.rowUnderNewName ? "/G/sub/c.txt" : "/F/sub/c.txt"] = {"1", "1", "R1"};
    f.applier.listingDidStart();
    f.validate(record("/G/", "/F/"), "3");
    f.validate(record("/G/sub/c.txt"), c.op);
    EXPECT_EQ(fileutil::exists(f.root + "/.UMSCache/2020-01-01/G/sub/c.txt"), c.cached);
    EXPECT_EQ(fileutil::exists(f.root + "/.UMSCache/ConflictData/G/sub/c.txt"), c.conflictCopy);
    const bool restored = std::find(f.queue.log.begin(), f.queue.log.end(), "restore /G/sub/c.txt=10") !=
                          f.queue.log.end();
    EXPECT_EQ(restored, c.downloaded);
  }
}

// A server move may carry a write of the same second as the file here; the
// sizes then tell the two copies apart.
TEST(RecordApplierTest, MoveCarryingAWriteOfTheSameSecondNeverTakesTheLocalFileAsTheServers) {
  const std::string syncedDate = syncrecord::dateText(serverTime(kTime, -60s));
  struct Case {
    const char* name;
    std::string serverSize;
    std::optional<RecordedFileFacts> recorded;
    bool conflictCopy, downloaded;
  };
  const std::vector<Case> cases = {
      {"edited here since the last sync", "10", RecordedFileFacts{syncedDate, "4"}, true, true},
      {"the last synced copy here", "10", RecordedFileFacts{syncrecord::dateText(serverTime(kTime)), "13"},
       false, true},
      {"a plain move", "13", RecordedFileFacts{syncedDate, "4"}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ApplierFixture f;
    f.put("/F/c.txt", "edited here!!");
    f.status.rows["/F/c.txt"] = {"1", "1", "R1", c.recorded};
    f.applier.listingDidStart();
    f.validate(record("/G/", "/F/"), "3");
    f.validate(record("/G/c.txt", "/F/c.txt", c.serverSize), "3");
    EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/G/c.txt").has_value(), c.conflictCopy);
    const bool restored = std::find(f.queue.log.begin(), f.queue.log.end(),
                                    "restore /G/c.txt=" + c.serverSize) != f.queue.log.end();
    EXPECT_EQ(restored, c.downloaded);
    if (!c.conflictCopy) {
      EXPECT_EQ(f.read("/G/c.txt"), "edited here!!");
    }
  }
}

// Both names are here when the server renames a file onto a name this
// computer also wrote. Both copies stay when both may hold the user's work; a
// former name unchanged since its sync is only the old name of the renamed
// file (the server's copy may have changed since), and goes to the cache.
TEST(RecordApplierTest, RenameOntoAnExistingNameKeepsBothFilesUnlessTheOldIsUnchangedSinceItsSync) {
  struct Case {
    const char* name;
    std::string oldText;
    std::chrono::seconds oldAge;  // of the file, against the server's time
    std::string oldBackup;        // the former name's row; "" for no row
    std::chrono::seconds rowAge;  // the date the row recorded
    bool oldCached;
    bool editedRightAfterDownload = false;
  } cases[] = {
      {"as synced", "0123456789", 0s, "1", 0s, true},
      {"as synced, server edited it since", "0123456789", -30s, "1", -30s, true},
      {"edited since its sync", "0123456789", 5s, "1", 0s, false},
      {"another size than recorded", "old", 0s, "1", 0s, false},
      {"edited, not uploaded", "0123456789", 0s, "0", 0s, false},
      {"unknown to the database", "0123456789", 0s, "", 0s, false},
      // The row was written from the edit made a moment after the download.
      {"edited right after its download", "0123456789", 0s, "1", 0s, false, true},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/old.txt", c.oldText, c.oldAge);
    f.put("/new.txt", "new", 9s);
    f.status.rows["/new.txt"] = {"1", "1", ""};
    if (!c.oldBackup.empty()) {
      auto& row = f.status.rows["/old.txt"];
      row.backup = c.oldBackup;
      row.recorded = RecordedFileFacts{syncrecord::dateText(serverTime(kTime, c.rowAge)), "10"};
    }
    if (c.editedRightAfterDownload) f.filters.changedSinceDownload.insert("/old.txt");
    f.validate(record("/new.txt", "/old.txt"), "3");
    EXPECT_EQ(f.read("/new.txt"), "new") << c.name;
    if (c.oldCached) {
      EXPECT_EQ(f.read("/old.txt"), std::nullopt) << c.name;
      EXPECT_EQ(f.read("/.UMSCache/2020-01-01/old.txt"), c.oldText) << c.name;
      ASSERT_FALSE(f.queue.log.empty()) << c.name;
      EXPECT_EQ(f.queue.log.front(), "dbdelete /old.txt") << c.name;
    } else {
      EXPECT_EQ(f.read("/old.txt"), c.oldText) << c.name;
    }
  }
}

TEST(RecordApplierTest, FileKnownUnderAThirdNameMovesThenDownloadsWithoutOverwriting) {
  struct Case {
    const char* name;
    bool newNameTaken;
    std::optional<std::string> atNewName;
    std::optional<std::string> conflictCopy;
    std::chrono::seconds localAge;  // of the copy under the third name, against the server's time
    std::optional<std::string> leftAtThirdName;
  } cases[] = {
      {"moved into place", false, "uploaded", std::nullopt, -30s, std::nullopt},
      {"new name taken meanwhile", true, "user's", "user's", -30s, "uploaded"},
      // Changed after its upload, before the database heard of it.
      {"edited since the upload", false, std::nullopt, std::nullopt, 30s, "uploaded"},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/x/third.txt", "uploaded", c.localAge);
    f.status.rows["/x/third.txt"] = {"1", "1", "R1"};
    f.queue.refIdPaths["R1"] = "/x/third.txt";
    RecordApplier::Flags flags{false, false, true};
    auto facts = f.applier.gather(record("/new.txt", "/old.txt"), "3", flags);
    ASSERT_TRUE(facts) << c.name;
    if (c.newNameTaken) f.put("/new.txt", "user's");
    f.applier.apply(*facts, decideServerRename(*facts));
    if (!c.conflictCopy) {
      EXPECT_EQ(f.read("/new.txt"), c.atNewName) << c.name;
    }
    EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/new.txt"), c.conflictCopy) << c.name;
    EXPECT_EQ(f.read("/x/third.txt"), c.leftAtThirdName) << c.name;
    EXPECT_EQ(f.queue.log.back(), "restore /new.txt=10") << c.name;
    const bool moved = !c.leftAtThirdName.has_value();
    EXPECT_EQ(std::count(f.queue.log.begin(), f.queue.log.end(), "dbdelete /x/third.txt"), moved ? 1 : 0)
        << c.name;
  }
}

TEST(RecordApplierTest, ServerRenameMovesOnlyACopyTheServerHas) {
  struct Case {
    const char* name;
    std::string backup;
    std::chrono::seconds localAge;  // against the server's time
    std::optional<std::string> atOldName, atNewName;
  } cases[] = {
      {"server changed it", "1", -30s, std::nullopt, "as uploaded"},
      {"not uploaded", "0", -30s, "as uploaded", std::nullopt},
      // The capture has the change but the row still says uploaded: the
      // download over the moved copy would write over the change.
      {"edited since the upload", "1", 30s, "as uploaded", std::nullopt},
  };
  for (const auto& c : cases) {
    ApplierFixture f;
    f.put("/d/notes.txt", "as uploaded", c.localAge);
    f.status.rows["/d/notes.txt"].backup = c.backup;
    f.validate(record("/d/x.bin", "/d/notes.txt"), "3");
    EXPECT_EQ(f.read("/d/notes.txt"), c.atOldName) << c.name;
    EXPECT_EQ(f.read("/d/x.bin"), c.atNewName) << c.name;
    EXPECT_EQ(f.queue.log.back(), "restore /d/x.bin=10") << c.name;
    // A moved copy leaves no row behind under its former name.
    const bool moved = !c.atOldName.has_value();
    EXPECT_EQ(std::count(f.queue.log.begin(), f.queue.log.end(), "dbdelete /d/notes.txt"), moved ? 1 : 0)
        << c.name;
  }
}

TEST(RecordApplierTest, AbsurdSizesAreNotDownloaded) {
  for (const char* size : {"", "-1", "12abc", "99999999999999999999"}) {
    ApplierFixture f;
    f.validate(record("/a.txt", "", size), "4");
    EXPECT_TRUE(f.queue.log.empty()) << size;
  }
}

TEST(RecordApplierTest, RecordChangeIdAsksForOneRelisting) {
  ApplierFixture f;
  struct Step {
    std::string rcId;
    int relists;
  } steps[] = {{"", 0}, {"C1", 0}, {"C1", 0}, {"", 0}, {"C2", 1}, {"C2", 1}, {"C3", 2}};
  for (const auto& s : steps) {
    auto r = record("/new.txt");
    r.rcId = s.rcId;
    f.validate(r, "4");
    EXPECT_EQ(f.relists, s.relists) << s.rcId;
  }
  EXPECT_EQ(fileutil::readFile(f.tmp.sub("RecID")), "C3");
  EXPECT_EQ(RecordChangeTracker(f.tmp.sub("RecID")).current(), "C3");
}

TEST(RecordApplierTest, EmptyFolderWalkStopsAtTheRootAndAtContent) {
  ApplierFixture f;
  fileutil::makeDirectories(f.root + "/x/y/z");
  f.put("/x/keep.txt", "k");
  f.applier.checkforEmptyFolder("/x/y/z");
  EXPECT_FALSE(fileutil::exists(f.root + "/x/y"));
  EXPECT_TRUE(fileutil::exists(f.root + "/x/keep.txt"));
  fileutil::removeAll(f.root + "/x/keep.txt");
  f.applier.checkforEmptyFolder("/x");
  EXPECT_FALSE(fileutil::exists(f.root + "/x"));
  EXPECT_TRUE(fileutil::isDirectory(f.root));
}

}  // namespace
}  // namespace ulmora
