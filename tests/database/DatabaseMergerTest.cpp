// What a merged batch does to the main database, in which order batches
// apply, and what happens to batches that are unfinished, unreadable or
// merged twice.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "DatabaseTestSupport.h"
#include "database/FileStateSchema.h"
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

// ------------------------------------------------------------ the thread

TEST(DatabaseMergerThreadTest, MergesOnStartEveryIntervalAndOnRequest) {
  DatabaseFixture db;
  std::mutex mutex;
  std::condition_variable changed;
  int passesWithMerges = 0;
  db.merger().setMergeObserver([&](const MergeReport&) {
    std::lock_guard<std::mutex> lock(mutex);
    ++passesWithMerges;
    changed.notify_all();
  });
  auto waitForMerges = [&](int n) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return passesWithMerges >= n; });
  };

  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/at-start")); });
  db.merger().start();
  EXPECT_TRUE(db.merger().isRunning());
  ASSERT_TRUE(waitForMerges(1));
  ASSERT_TRUE(db.clock().awaitBlockedThreads(1, std::chrono::seconds(20)));

  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/after-interval")); });
  db.clock().advance(DatabaseMerger::kInterval - std::chrono::milliseconds(1));
  ASSERT_TRUE(db.clock().awaitBlockedThreads(1, std::chrono::seconds(20)));
  EXPECT_FALSE(db.row("/after-interval").has_value()) << "merged before its interval";
  db.clock().advance(std::chrono::milliseconds(1));
  ASSERT_TRUE(waitForMerges(2));

  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/waited-for")); });
  EXPECT_TRUE(db.merger().waitUntilMerged(std::chrono::seconds(10)));
  EXPECT_TRUE(db.row("/waited-for").has_value());

  db.merger().stop();
  EXPECT_FALSE(db.merger().isRunning());
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
