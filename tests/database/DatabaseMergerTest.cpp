// What a merged batch does to the main database, in which order batches
// apply, and what happens to batches that are unfinished, unreadable or
// merged twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "DatabaseTestSupport.h"
#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"
#include "platform/FileUtil.h"

namespace ulmora::testing {
namespace {

using filestate::Column;

std::optional<std::string> column(const DatabaseFixture& db, const std::string& path, Column c) {
  auto row = db.row(path);
  if (!row) return std::nullopt;
  return (*row)[c - 1];
}

std::vector<std::string> paths(const DatabaseFixture& db, const std::string& table = "FILE_TABLE") {
  std::vector<std::string> result;
  for (const auto& [path, values] : db.rows(table)) result.push_back(path);
  return result;
}

// ------------------------------------------------------------ row kinds

TEST(DatabaseMergerRowsTest, UpdateKeepsNotAvailableColumns) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) {
    w.insert(fileRecord("/a", "0", "1", "", "10"));
  });
  // A listing stores the id; then the upload finishes with "NA" for it.
  db.writeAndMerge([](DataBaseWrapper& w) {
    w.update({"/a", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1", "1", "0", "ref-1"});
  });
  db.writeAndMerge([](DataBaseWrapper& w) {
    w.update({"/a", "2021-02-02", "12", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "NA"});
  });
  EXPECT_EQ(column(db, "/a", filestate::kRefId), "ref-1");
  EXPECT_EQ(column(db, "/a", filestate::kFileSize), "12");
  EXPECT_EQ(column(db, "/a", filestate::kFileLmd), "2021-02-02");
  EXPECT_EQ(column(db, "/a", filestate::kRestoreStatus), "1");
}

TEST(DatabaseMergerRowsTest, UpdateOfMissingRowAddsItAsGiven) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) {
    w.update({"/dl", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1", "1", "0", "ref-dl"});
  });
  EXPECT_EQ(column(db, "/dl", filestate::kRefId), "ref-dl");
  EXPECT_EQ(column(db, "/dl", filestate::kFileSize), "NA");
  EXPECT_EQ(column(db, "/dl", filestate::kRestoreStatus), "0");
}

TEST(DatabaseMergerRowsTest, InsertReplacesTheWholeRow) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) { w.insert(fileRecord("/a", "1", "1", "ref-1")); });
  db.writeAndMerge([](DataBaseWrapper& w) { w.insert(fileRecord("/a", "0", "1", "", "99")); });
  EXPECT_EQ(column(db, "/a", filestate::kRefId), "");
  EXPECT_EQ(column(db, "/a", filestate::kBackupStatus), "0");
  EXPECT_EQ(column(db, "/a", filestate::kFileSize), "99");
  EXPECT_EQ(db.rows().size(), 1u);
}

struct TreeCase {
  const char* name;
  std::function<void(DataBaseWrapper&)> change;
  std::vector<std::string> expected;
};

class DatabaseMergerTreeTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(DatabaseMergerTreeTest, ChangesFollowWholePathComponents) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) {
    for (const char* p : {"/a", "/a/b", "/a/b/c.txt", "/a/b/d/e.txt", "/a/bc", "/a/bc/f.txt",
                          "/a/b.txt", "/a/b%/g", "/a/b_/h", "/x/y", "/\xc3\xa9/\xc3\xa9.txt"})
      w.insert(fileRecord(p, "1", "1", std::string("ref") + p));
  });
  db.writeAndMerge(GetParam().change);
  EXPECT_EQ(paths(db), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, DatabaseMergerTreeTest,
    ::testing::Values(
        TreeCase{"DeleteFolder",
                 [](DataBaseWrapper& w) { w.deleteRecord("/a/b"); },
                 {"/a", "/a/b%/g", "/a/b.txt", "/a/b_/h", "/a/bc", "/a/bc/f.txt", "/x/y",
                  "/\xc3\xa9/\xc3\xa9.txt"}},
        TreeCase{"DeleteFile",
                 [](DataBaseWrapper& w) { w.deleteRecord("/a/b/c.txt"); },
                 {"/a", "/a/b", "/a/b%/g", "/a/b.txt", "/a/b/d/e.txt", "/a/b_/h", "/a/bc",
                  "/a/bc/f.txt", "/x/y", "/\xc3\xa9/\xc3\xa9.txt"}},
        TreeCase{"DeleteWithTrailingSlash",
                 [](DataBaseWrapper& w) { w.deleteRecord("/a/bc/"); },
                 {"/a", "/a/b", "/a/b%/g", "/a/b.txt", "/a/b/c.txt", "/a/b/d/e.txt", "/a/b_/h",
                  "/a/bc", "/x/y", "/\xc3\xa9/\xc3\xa9.txt"}},
        TreeCase{"RenameFolderMovesRowsBelow",
                 [](DataBaseWrapper& w) { w.rename(renameRecord("/a/b", "/z", "1")); },
                 {"/a", "/a/b%/g", "/a/b.txt", "/a/b_/h", "/a/bc", "/a/bc/f.txt", "/x/y", "/z",
                  "/z/c.txt", "/z/d/e.txt", "/\xc3\xa9/\xc3\xa9.txt"}},
        TreeCase{"RenameNonAsciiFolderByBytes",
                 [](DataBaseWrapper& w) { w.rename(renameRecord("/\xc3\xa9", "/ab", "1")); },
                 {"/a", "/a/b", "/a/b%/g", "/a/b.txt", "/a/b/c.txt", "/a/b/d/e.txt", "/a/b_/h",
                  "/a/bc", "/a/bc/f.txt", "/ab/\xc3\xa9.txt", "/x/y"}},
        // The write-behind may call a folder a file; its rows must move anyway.
        TreeCase{"RenameFolderFlaggedAsFile",
                 [](DataBaseWrapper& w) { w.rename(renameRecord("/x", "/w", "0")); },
                 {"/a", "/a/b", "/a/b%/g", "/a/b.txt", "/a/b/c.txt", "/a/b/d/e.txt", "/a/b_/h",
                  "/a/bc", "/a/bc/f.txt", "/w/y", "/\xc3\xa9/\xc3\xa9.txt"}},
        TreeCase{"RenameOverRecordedFolderReplacesIt",
                 [](DataBaseWrapper& w) { w.rename(renameRecord("/x", "/a/bc", "1")); },
                 {"/a", "/a/b", "/a/b%/g", "/a/b.txt", "/a/b/c.txt", "/a/b/d/e.txt", "/a/b_/h",
                  "/a/bc", "/a/bc/y", "/\xc3\xa9/\xc3\xa9.txt"}},
        // The old "/a" went first; its subfolder's tree takes its place.
        TreeCase{"RenameOntoItsOwnAncestorKeepsTheMovedTree",
                 [](DataBaseWrapper& w) { w.rename(renameRecord("/a/b", "/a", "1")); },
                 {"/a", "/a/c.txt", "/a/d/e.txt", "/x/y", "/\xc3\xa9/\xc3\xa9.txt"}},
        TreeCase{"RenameOfAFileOntoItsFolder",
                 [](DataBaseWrapper& w) { w.rename(renameRecord("/x/y", "/x", "0")); },
                 {"/a", "/a/b", "/a/b%/g", "/a/b.txt", "/a/b/c.txt", "/a/b/d/e.txt", "/a/b_/h",
                  "/a/bc", "/a/bc/f.txt", "/x", "/\xc3\xa9/\xc3\xa9.txt"}},
        TreeCase{"RenameIntoItselfIsSkipped",
                 [](DataBaseWrapper& w) { w.rename(renameRecord("/a", "/a/b/q", "1")); },
                 {"/a", "/a/b", "/a/b%/g", "/a/b.txt", "/a/b/c.txt", "/a/b/d/e.txt", "/a/b_/h",
                  "/a/bc", "/a/bc/f.txt", "/x/y", "/\xc3\xa9/\xc3\xa9.txt"}},
        TreeCase{"RenameOfUnknownPathChangesNothing",
                 [](DataBaseWrapper& w) { w.rename(renameRecord("/nothing", "/x", "1")); },
                 {"/a", "/a/b", "/a/b%/g", "/a/b.txt", "/a/b/c.txt", "/a/b/d/e.txt", "/a/b_/h",
                  "/a/bc", "/a/bc/f.txt", "/x/y", "/\xc3\xa9/\xc3\xa9.txt"}}),
    [](const ::testing::TestParamInfo<TreeCase>& info) { return info.param.name; });

TEST(DatabaseMergerRowsTest, RenameKeepsTheRowAndAppliesItsStatus) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) {
    w.insert(fileRecord("/old.txt", "0", "0", "ref-7", "42"));
    w.insert(fileRecord("/new.txt", "1", "1", "ref-other"));
  });
  db.writeAndMerge([](DataBaseWrapper& w) { w.rename(renameRecord("/old.txt", "/new.txt")); });
  EXPECT_EQ(paths(db), std::vector<std::string>{"/new.txt"});
  EXPECT_EQ(column(db, "/new.txt", filestate::kRefId), "ref-7");
  EXPECT_EQ(column(db, "/new.txt", filestate::kFileSize), "42");
  EXPECT_EQ(column(db, "/new.txt", filestate::kFileLmd), "2020-01-01 00:00:00 +0000");
  EXPECT_EQ(column(db, "/new.txt", filestate::kBackupStatus), "1");
  EXPECT_EQ(db.reader().queryFilePathforRefID("ref-7", db.folder(), db.user()), "/new.txt");
}

TEST(DatabaseMergerRowsTest, OutOfBoxRowsGoToTheirOwnTable) {
  DatabaseFixture db;
  db.writeAndMerge(
      [](DataBaseWrapper& w) {
        w.insertOBRecord(outOfBoxRecord("/Out of Box/m/f/a", "0"));
        w.insertOBRecord(outOfBoxRecord("/Out of Box/m/f/b", "0"));
        w.updateOBRecord({"/Out of Box/m/f/a", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1",
                          "1", "0"});
        w.deleteOBRecord("/Out of Box/m/f/b");
      },
      /*outOfBox=*/true);
  auto ob = db.rows("OB_FILE_TABLE");
  ASSERT_EQ(ob.size(), 1u);
  EXPECT_EQ(ob.begin()->first, "/Out of Box/m/f/a");
  EXPECT_EQ(ob.begin()->second[filestate::kBackupStatus - 1], "1");
  EXPECT_EQ(ob.begin()->second[filestate::kFileSize - 1], "10");
  EXPECT_TRUE(db.rows().empty());
}

// ------------------------------------------------------------ batches

TEST(DatabaseMergerBatchTest, BatchesApplyInPublishOrder) {
  struct Case {
    const char* name;
    std::function<void(DataBaseWrapper&)> first, second;
    bool present;
  } cases[] = {
      {"insert then delete", [](DataBaseWrapper& w) { w.insert(fileRecord("/f")); },
       [](DataBaseWrapper& w) { w.deleteRecord("/f"); }, false},
      {"delete then insert", [](DataBaseWrapper& w) { w.deleteRecord("/f"); },
       [](DataBaseWrapper& w) { w.insert(fileRecord("/f")); }, true},
      {"insert then rename away", [](DataBaseWrapper& w) { w.insert(fileRecord("/f")); },
       [](DataBaseWrapper& w) { w.rename(renameRecord("/f", "/g")); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DatabaseFixture db;
    db.writeBatch(c.first);
    db.writeBatch(c.second);
    MergeReport report = db.merger().mergePending();
    EXPECT_EQ(report.merged, 2);
    EXPECT_EQ(db.row("/f").has_value(), c.present);
    EXPECT_TRUE(db.batchFiles().empty());
  }
}

TEST(DatabaseMergerBatchTest, RowsWithinABatchApplyInOrder) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) {
    w.insert(fileRecord("/f", "0"));
    w.update(fileRecord("/f", "1", "1", "ref-f"));
    w.rename(renameRecord("/f", "/g"));
    w.insert(fileRecord("/f", "0", "1", ""));
  });
  EXPECT_EQ(column(db, "/g", filestate::kRefId), "ref-f");
  EXPECT_EQ(column(db, "/f", filestate::kBackupStatus), "0");
}

TEST(DatabaseMergerBatchTest, MergingTheSameBatchAgainChangesNothing) {
  DatabaseFixture db;
  db.writeBatch([](DataBaseWrapper& w) {
    w.insert(fileRecord("/a", "0"));
    w.rename(renameRecord("/a", "/b"));
    w.insert(fileRecord("/a", "0"));
  });
  std::vector<std::string> files = db.batchFiles();
  ASSERT_EQ(files.size(), 1u);
  std::string batch = fileutil::joinPath(db.batchFolder(), files[0]);
  std::optional<std::string> copy = fileutil::readFile(batch);
  ASSERT_TRUE(copy.has_value());

  ASSERT_EQ(db.merger().mergePending().merged, 1);
  db.writeAndMerge([](DataBaseWrapper& w) { w.update(fileRecord("/b", "1", "1", "ref-b")); });
  auto before = db.rows();

  // As if the agent had stopped between the commit and the removal.
  ASSERT_TRUE(fileutil::writeFileAtomically(batch, *copy));
  MergeReport again = db.merger().mergePending();
  EXPECT_EQ(again.merged, 1);
  EXPECT_EQ(db.rows(), before);
  EXPECT_TRUE(db.batchFiles().empty());
}

TEST(DatabaseMergerBatchTest, UnfinishedBatchIsNeverMerged) {
  DatabaseFixture db;
  DataBaseWrapper writer;
  ASSERT_TRUE(writer.initializewithDatabase(db.folder(), db.user()));
  writer.beginTransaction();
  writer.insert(fileRecord("/unfinished"));
  writer.commitTransaction();
  // A finished batch published meanwhile merges; the open one does not.
  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/finished")); });
  EXPECT_EQ(db.merger().mergePending().merged, 1);
  EXPECT_TRUE(db.row("/finished").has_value());
  EXPECT_FALSE(db.row("/unfinished").has_value());

  // A copy of a complete batch left under its in-progress name (a crash
  // before publishing) is not merged either.
  std::string progress = fileutil::joinPath(db.batchFolder(), db.batchFiles()[0]);
  std::string leftover = db.batchFolder() + "/2019-01-01 00-00-00-000.db.progress";
  ASSERT_TRUE(fileutil::writeFileAtomically(leftover, *fileutil::readFile(progress)));
  writer.unInitializeDatabase();
  EXPECT_EQ(db.merger().mergePending().merged, 1);
  EXPECT_TRUE(db.row("/unfinished").has_value());
  EXPECT_EQ(db.batchFiles(), std::vector<std::string>{"2019-01-01 00-00-00-000.db.progress"});
}

TEST(DatabaseMergerBatchTest, AbandonedBatchLeavesNothingToMerge) {
  DatabaseFixture db;
  {
    DataBaseWrapper writer;
    ASSERT_TRUE(writer.initializewithDatabase(db.folder(), db.user()));
    writer.beginTransaction();
    writer.insert(fileRecord("/retried-later"));
    writer.abandonBatch();
    // Nothing is open any more: the destructor has nothing to publish.
    EXPECT_FALSE(writer.insert(fileRecord("/late")));
  }
  EXPECT_TRUE(db.batchFiles().empty());
  EXPECT_EQ(db.merger().mergePending().merged, 0);
  EXPECT_FALSE(db.row("/retried-later").has_value());
}

TEST(DatabaseMergerBatchTest, UnreadableBatchIsSetAsideAndTheNextStillMerges) {
  struct Case {
    const char* name;
    std::string contents;
  } cases[] = {
      {"not a database", std::string(4096, '\x01')},
      {"empty file", ""},
      {"truncated database", "SQLite format 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DatabaseFixture db;
    db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/first")); });
    fileutil::writeFileAtomically(db.batchFolder() + "/2000-01-01 00-00-00-000.db", c.contents);
    db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/last")); });

    MergeReport report = db.merger().mergePending();
    EXPECT_EQ(report.merged, 2);
    EXPECT_EQ(report.setAside, 1);
    EXPECT_TRUE(db.row("/first") && db.row("/last"));
    EXPECT_EQ(db.batchFiles(),
              std::vector<std::string>{"2000-01-01 00-00-00-000.db.unreadable"});
    EXPECT_EQ(fileutil::readFile(db.batchFolder() + "/2000-01-01 00-00-00-000.db.unreadable"),
              c.contents);
    EXPECT_EQ(db.merger().mergePending().setAside, 0) << "set aside once, then left alone";
  }
}

TEST(DatabaseMergerBatchTest, BatchWithUnknownOperationIsSetAsideWhole) {
  DatabaseFixture db;
  db.writeBatch([](DataBaseWrapper& w) {
    w.insert(fileRecord("/a"));
    w.insert(fileRecord("/b"));
  });
  std::string path = fileutil::joinPath(db.batchFolder(), db.batchFiles()[0]);
  {
    auto batch = SqliteConnection::open(path, SqliteConnection::OpenMode::kReadWrite);
    ASSERT_TRUE(batch->exec("UPDATE PENDING_OPERATIONS SET OPERATION = 'MERGE' WHERE rowid = 2"));
  }
  MergeReport report = db.merger().mergePending();
  EXPECT_EQ(report.setAside, 1);
  EXPECT_TRUE(db.rows().empty()) << "half a batch must not be applied";
}

// ------------------------------------------------------------ runs of rows

// Consecutive inserts (or updates) of a batch are applied together; the
// result must be that of applying them one after the other.
struct RunCase {
  const char* name;
  std::function<void(DataBaseWrapper&)> rows;
  // path -> FILE_SIZE, BACKUP_STATUS, REF_ID
  std::map<std::string, std::vector<std::optional<std::string>>> expected;
};

class DatabaseMergerRunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(DatabaseMergerRunTest, RowsOfARunApplyInOrder) {
  DatabaseFixture db;
  db.writeAndMerge(GetParam().rows);
  std::map<std::string, std::vector<std::optional<std::string>>> actual;
  for (const auto& [path, values] : db.rows())
    actual[path] = {values[filestate::kFileSize - 1], values[filestate::kBackupStatus - 1],
                    values[filestate::kRefId - 1]};
  EXPECT_EQ(actual, GetParam().expected);
  EXPECT_TRUE(db.batchFiles().empty());
}

Record update(const std::string& path, const std::string& size, const std::string& backup,
              const std::string& refId) {
  return {path, "NA", size, "NA", "NA", "NA", "NA", "NA", backup, "1", "1", refId};
}

INSTANTIATE_TEST_SUITE_P(
    Runs, DatabaseMergerRunTest,
    ::testing::Values(
        RunCase{"LaterUpdateKeepsWhatNotAvailableLeaves",
                [](DataBaseWrapper& w) {
                  w.update(update("/f", "1", "1", "ref-1"));
                  w.update(update("/f", "NA", "0", "NA"));
                },
                {{"/f", {"1", "0", "ref-1"}}}},
        RunCase{"LaterInsertReplacesTheEarlierWhole",
                [](DataBaseWrapper& w) {
                  w.insert(fileRecord("/f", "1", "1", "ref-1", "5"));
                  w.insert(fileRecord("/f", "0", "1", "", "7"));
                },
                {{"/f", {"7", "0", ""}}}},
        RunCase{"UpdateRunSeesTheInsertRunBeforeIt",
                [](DataBaseWrapper& w) {
                  w.insert(fileRecord("/f", "0", "1", "", "5"));
                  w.insert(fileRecord("/g", "0", "1", "", "6"));
                  w.update(update("/f", "NA", "1", "ref-f"));
                  w.update(update("/h", "NA", "1", "ref-h"));
                },
                {{"/f", {"5", "1", "ref-f"}}, {"/g", {"6", "0", ""}}, {"/h", {"NA", "1", "ref-h"}}}},
        RunCase{"DeleteBetweenRunsRemovesOnlyWhatCameBefore",
                [](DataBaseWrapper& w) {
                  w.insert(fileRecord("/a", "1", "1", "ref-a"));
                  w.insert(fileRecord("/a/x", "1", "1", "ref-x"));
                  w.deleteRecord("/a");
                  w.insert(fileRecord("/a/y", "1", "1", "ref-y"));
                },
                {{"/a/y", {"10", "1", "ref-y"}}}},
        RunCase{"RenameBetweenRunsMovesOnlyWhatCameBefore",
                [](DataBaseWrapper& w) {
                  w.update(update("/a", "3", "1", "ref-a"));
                  w.rename(renameRecord("/a", "/b"));
                  w.update(update("/a", "4", "0", "ref-new"));
                },
                {{"/a", {"4", "0", "ref-new"}}, {"/b", {"3", "1", "ref-a"}}}}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return info.param.name; });

// Batches written by other versions may hold what this writer refuses: a row
// without a path is skipped, a missing value is stored as missing.
TEST(DatabaseMergerBatchTest, RowsWithoutAPathOrValueInsideARun) {
  for (const char* op : {"INSERT", "UPDATE"}) {
    SCOPED_TRACE(op);
    DatabaseFixture db;
    db.writeBatch([](DataBaseWrapper& w) {
      for (const char* p : {"/a", "/b", "/c"}) w.insert(fileRecord(p, "1", "1", "ref"));
    });
    std::string path = fileutil::joinPath(db.batchFolder(), db.batchFiles()[0]);
    {
      auto batch = SqliteConnection::open(path, SqliteConnection::OpenMode::kReadWrite);
      auto set = batch->prepare("UPDATE PENDING_OPERATIONS SET OPERATION = ?1");
      ASSERT_TRUE(set && set->bindText(1, op) && set->run());
      ASSERT_TRUE(batch->exec("UPDATE PENDING_OPERATIONS SET FILEPATH = '' WHERE rowid = 2"));
      ASSERT_TRUE(batch->exec("UPDATE PENDING_OPERATIONS SET FILE_SIZE = NULL WHERE rowid = 3"));
    }
    EXPECT_EQ(db.merger().mergePending().merged, 1);
    EXPECT_EQ(paths(db), (std::vector<std::string>{"/a", "/c"}));
    EXPECT_EQ(column(db, "/a", filestate::kFileSize), "10");
    EXPECT_EQ(db.row("/c").value()[filestate::kFileSize - 1], std::nullopt);
  }
}

// Names are handed to SQLite as URIs; "?", "#" and "%" must stay part of the
// name, or the merge would read (or create) some other file.
TEST(DatabaseMergerBatchTest, NamesWithUriCharactersMerge) {
  TestTempDir dir;
  const std::string folder = dir.sub("a?b#c%41 \xc3\xa9");
  ASSERT_TRUE(fileutil::makeDirectories(folder));
  const std::string user = "u?mode=ro#%2F";
  {
    DataBaseWrapper writer;
    ASSERT_TRUE(writer.initializewithDatabase(folder, user));
    ASSERT_TRUE(writer.beginTransaction());
    ASSERT_TRUE(writer.insert(fileRecord("/f", "1", "1", "ref-f")));
    ASSERT_TRUE(writer.commitTransaction());
    ASSERT_TRUE(writer.unInitializeDatabase());
  }
  ManualClock clock;
  DatabaseMerger merger(folder, user, clock);
  EXPECT_EQ(merger.mergePending().merged, 1);
  EXPECT_FALSE(DatabaseMerger::hasPublishedBatches(folder, user));
  DataBaseWrapper reader;
  EXPECT_EQ(reader.queryFilePathforRefID("ref-f", folder, user), "/f");
  // Nothing was made under a name cut short at "?" or "#".
  auto names = fileutil::listDirectory(folder).value_or(std::vector<std::string>{});
  for (const std::string& name : names) EXPECT_TRUE(name.starts_with(user + ".")) << name;
  EXPECT_NE(std::find(names.begin(), names.end(), user + ".ql"), names.end());
  EXPECT_EQ(fileutil::listDirectory(dir.path()).value_or(std::vector<std::string>{}).size(), 1u);
}

// ------------------------------------------------------------ the thread

// Counts the passes of the merging thread that merged a batch.
class MergeCounter {
 public:
  explicit MergeCounter(DatabaseMerger& merger) {
    merger.setMergeObserver([this](const MergeReport&) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++passes_;
      changed_.notify_all();
    });
  }
  bool waitFor(int passes) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return passes_ >= passes; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int passes_ = 0;
};

TEST(DatabaseMergerThreadTest, MergesOnStartAndOnRequestButNeverByTimeAlone) {
  DatabaseFixture db;
  MergeCounter merges(db.merger());

  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/at-start")); });
  db.merger().start();
  EXPECT_TRUE(db.merger().isRunning());
  ASSERT_TRUE(merges.waitFor(1));
  ASSERT_TRUE(db.clock().awaitBlockedThreads(1, std::chrono::seconds(20)));

  // An idle merger sleeps: an hour without a request merges nothing.
  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/unasked")); });
  db.clock().advance(std::chrono::hours(1));
  ASSERT_TRUE(db.clock().awaitBlockedThreads(1, std::chrono::seconds(20)));
  EXPECT_FALSE(db.row("/unasked").has_value()) << "merged without being asked";

  db.merger().requestMerge();
  ASSERT_TRUE(merges.waitFor(2));
  EXPECT_TRUE(db.row("/unasked").has_value());
  EXPECT_FALSE(DatabaseMerger::hasPublishedBatches(db.folder(), db.user()));

  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/waited-for")); });
  EXPECT_TRUE(db.merger().waitUntilMerged(std::chrono::seconds(10)));
  EXPECT_TRUE(db.row("/waited-for").has_value());

  db.merger().stop();
  EXPECT_FALSE(db.merger().isRunning());
}

TEST(DatabaseMergerThreadTest, BatchesTheMainDatabaseRefusedAreTriedAgainByThemselves) {
  DatabaseFixture db;
  MergeCounter merges(db.merger());
  // Not a database: every pass stops before the batch.
  ASSERT_TRUE(fileutil::writeFileAtomically(db.mainPath(), std::string(4096, '\x01')));
  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/kept")); });
  db.merger().start();
  ASSERT_TRUE(db.clock().awaitBlockedThreads(1, std::chrono::seconds(20)));
  EXPECT_TRUE(DatabaseMerger::hasPublishedBatches(db.folder(), db.user()));

  // The damage is gone (repaired by hand, say); nobody asks again.
  ASSERT_TRUE(fileutil::removeAll(db.mainPath()));
  db.clock().advance(DatabaseMerger::kRetryInterval - std::chrono::milliseconds(1));
  ASSERT_TRUE(db.clock().awaitBlockedThreads(1, std::chrono::seconds(20)));
  EXPECT_TRUE(DatabaseMerger::hasPublishedBatches(db.folder(), db.user()));
  db.clock().advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(merges.waitFor(1));
  EXPECT_TRUE(db.row("/kept").has_value());
  EXPECT_FALSE(DatabaseMerger::hasPublishedBatches(db.folder(), db.user()));
  db.merger().stop();
}

TEST(DatabaseMergerThreadTest, ReadersAnswerWhileTheThreadMerges) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) { w.insert(fileRecord("/stable", "1")); });
  db.merger().start();
  std::atomic<bool> done{false};
  std::atomic<int> wrongAnswers{0};
  std::thread reader([&] {
    DataBaseWrapper r;
    while (!done) {
      if (!r.getBackupStatusForFile("/stable", db.folder(), db.user())) ++wrongAnswers;
    }
  });
  for (int batch = 0; batch < 20; ++batch) {
    db.writeBatch([batch](DataBaseWrapper& w) {
      for (int i = 0; i < 50; ++i)
        w.insert(fileRecord("/f" + std::to_string(batch) + "-" + std::to_string(i)));
    });
    db.merger().requestMerge();
  }
  EXPECT_TRUE(db.merger().waitUntilMerged(std::chrono::seconds(30)));
  done = true;
  reader.join();
  db.merger().stop();
  EXPECT_EQ(wrongAnswers.load(), 0);
  EXPECT_EQ(db.rows().size(), 1001u);
}

}  // namespace
}  // namespace ulmora::testing
