#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "JournalTestSupport.h"
#include "database/DatabaseMerger.h"
#include "database/SqliteConnection.h"
#include "database/SqliteStatement.h"

namespace ulmora::testing {
namespace {

using Row = BatchLog::Row;
using Values = std::vector<std::string>;

constexpr const char* kDate = "2020-01-01 00:00:00 +0000";

void setModificationTime(const std::string& path) {
  struct timespec times[2] = {{1577836800, 0}, {1577836800, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

class WriteBehindTest : public ::testing::Test {
 protected:
  WriteBehindTest() {
    setModificationTime(f_.makeFile("/a.txt", 10));
    setModificationTime(f_.makeFile("/b.txt", 3));
    fileutil::makeDirectories(f_.full("/newdir"));
  }
  std::vector<BatchLog::Batch> published() {
    std::vector<BatchLog::Batch> out;
    for (auto& b : f_.batches().snapshot())
      if (b.published) out.push_back(b);
    return out;
  }

  QueueFixture<> f_;
  UMSDBSyncInputManger& q_ = f_.queue();
};

TEST_F(WriteBehindTest, EveryRowKindExactToTheValueInPassOrder) {
  std::string outside = f_.dir().writeFile("ob.txt", "12345");
  setModificationTime(outside);
  q_.addFileToUpdate({{f_.full("/a.txt"), "Backup"}, {"/dl.bin", "ref-7"}, {f_.root(), "Backup"}});
  q_.addToUpdateRefID({{"/a.txt", "ref-1"}, {"/missing", "ref-2"}});
  q_.addFileToDelete(f_.full("/gone"));
  q_.addFileToDelete(f_.root());
  q_.addFileToRename({f_.full("/old"), f_.full("/newdir")});
  q_.addFileToRename({"/o2", "/a.txt"});
  for (int i = 0; i < 3; ++i) q_.addFileToBackup(f_.full("/a.txt"));
  q_.addFileToBackup(f_.full("/newdir"));
  q_.addFileToBackup(f_.full("/nothing-here"));
  q_.addOBFileToBackup(outside);
  q_.addOBFileToUpdate({{"/a.txt", "0"}, {f_.full("/b.txt"), "1"}});
  q_.addOBDeleteFiles("/ob/x");

  auto pass = q_.runWriterPass();
  EXPECT_TRUE(pass.busy);
  EXPECT_FALSE(pass.failed);

  const std::vector<std::vector<Row>> expected = {
      // A dictionary's keys come in their sorted order.
      {{"update", {"/dl.bin", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1", "1", "0", "ref-7"}},
       {"update", {"/a.txt", kDate, "10", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "NA"}}},
      {{"update", {"/a.txt", kDate, "10", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "ref-1"}},
       {"update", {"/missing", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1", "1", "0", "ref-2"}}},
      {{"delete", {"/gone"}}},
      {{"rename", {"/old", "/newdir", "NA", "NA", "NA", "1", "NA", "NA", "1", "1", "1", "NA"}},
       {"rename", {"/o2", "/a.txt", "NA", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "NA"}}},
      {{"insert", {"/a.txt", kDate, "10", "NA", "NA", "0", "NA", "NA", "0", "1", "1", ""}}},
      {{"obinsert", {outside, kDate, "5", "NA", "NA", "0", "NA", "NA", "0", "1", "1"}}},
      {{"obupdate", {"/a.txt", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1", "1", "0"}},
       {"obupdate", {"/b.txt", kDate, "3", "NA", "NA", "0", "NA", "NA", "1", "1", "1"}}},
      {{"obdelete", {"/ob/x"}}},
  };
  auto batches = published();
  ASSERT_EQ(batches.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(batches[i].rows, expected[i]) << "batch " << i;
    EXPECT_EQ(batches[i].outOfBox, i >= 5) << "batch " << i;
  }
  EXPECT_EQ(q_.getUpdateBackupFilesCount(), 0u);
}

// A folder emptied by a move and then removed: its delete, queued after the
// move, must not be written first, or it takes the moved rows with it.
TEST_F(WriteBehindTest, ADeleteOfAFolderAMoveLeftWaitsForTheMove) {
  q_.addFileToRename({"/e/a.txt", "/d/a.txt"});
  q_.addFileToDelete("/e");
  q_.addFileToDelete("/other");
  q_.runWriterPass();
  std::vector<std::vector<Row>> rows;
  for (const auto& b : published()) rows.push_back(b.rows);
  const std::vector<std::vector<Row>> expected = {
      {{"delete", {"/other"}}},
      {{"rename", {"/e/a.txt", "/d/a.txt", "NA", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "NA"}}},
      {{"delete", {"/e"}}},
  };
  EXPECT_EQ(rows, expected);
}

// Rows of one path reach the database in the order they were queued, though
// a pass writes its updates before its deletes: a download's in-sync row
// queued after the listing removed the row of the file deleted there must
// not go with that delete.
TEST_F(WriteBehindTest, AnUpdateQueuedAfterADeleteOfItsPathIsWrittenAfterIt) {
  const Row inSync{"update", {"/a.txt", kDate, "10", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "NA"}};
  const Row toDownload{"update", {"/a.txt", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1", "1", "0", "r9"}};
  const Row refId{"update", {"/a.txt", kDate, "10", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "r9"}};
  const Row otherInSync{"update", {"/b.txt", kDate, "3", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "NA"}};
  const Row deleted{"delete", {"/a.txt"}};
  struct Case {
    const char* name;
    std::function<void(UMSDBSyncInputManger&)> queue;
    std::vector<std::vector<Row>> batches;
  } cases[] = {
      {"delete, then the in-sync row",
       [](auto& q) {
         q.addFileToDelete("/a.txt");
         q.addFileToUpdate({{"/a.txt", "Backup"}});
       },
       {{deleted}, {inSync}}},
      {"delete, then the reference id",
       [](auto& q) {
         q.addFileToDelete("/a.txt");
         q.addToUpdateRefID({{"/a.txt", "r9"}});
       },
       {{deleted}, {refId}}},
      {"the in-sync row, then the delete: no row",
       [](auto& q) {
         q.addFileToUpdate({{"/a.txt", "Backup"}});
         q.addFileToDelete("/a.txt");
       },
       {{inSync}, {deleted}}},
      {"to download, delete, in sync: the later value after the delete",
       [](auto& q) {
         q.addFileToUpdate({{"/a.txt", "r9"}});
         q.addFileToDelete("/a.txt");
         q.addFileToUpdate({{"/a.txt", "Backup"}});
       },
       {{deleted}, {inSync}}},
      {"another path's row keeps its place",
       [](auto& q) {
         q.addFileToDelete("/a.txt");
         q.addFileToUpdate({{"/a.txt", "r9"}, {"/b.txt", "Backup"}});
       },
       {{otherInSync}, {deleted}, {toDownload}}},
  };
  for (const auto& c : cases) {
    QueueFixture<> f;
    setModificationTime(f.makeFile("/a.txt", 10));
    setModificationTime(f.makeFile("/b.txt", 3));
    c.queue(f.queue());
    f.queue().runWriterPass();
    std::vector<std::vector<Row>> rows;
    for (auto& b : f.batches().snapshot())
      if (b.published) rows.push_back(b.rows);
    EXPECT_EQ(rows, c.batches) << c.name;
    EXPECT_EQ(f.queue().getUpdateBackupFilesCount(), 0u) << c.name;
    // The note ends with the pass: the next update of the path keeps its place.
    f.queue().addFileToUpdate({{"/a.txt", "Backup"}});
    f.queue().addFileToDelete("/b.txt");
    f.queue().runWriterPass();
    std::vector<Row> next;
    for (auto& b : f.batches().snapshot())
      if (b.published) next.insert(next.end(), b.rows.begin(), b.rows.end());
    ASSERT_GE(next.size(), 2u) << c.name;
    EXPECT_EQ(next[next.size() - 2], inSync) << c.name;
    EXPECT_EQ(next.back(), (Row{"delete", {"/b.txt"}})) << c.name;
  }
}

TEST_F(WriteBehindTest, InSyncListHoldsEveryKeyOfTheBatchDownloadsIncluded) {
  q_.addFileToUpdate({{f_.full("/a.txt"), "Backup"}, {"/b.txt", "Backup"}, {"/dl", "ref-1"}});
  bool postedBeforeCommit = false;
  f_.batches().onCommit = [&] { postedBeforeCommit = !f_.poster().posts.empty(); };
  q_.runWriterPass();
  EXPECT_TRUE(postedBeforeCommit);
  ASSERT_EQ(f_.poster().posts.size(), 1u);
  const auto& [name, info] = f_.poster().posts[0];
  EXPECT_EQ(name, "FilesInsyncListGot");
  // The keys as they were queued, in the dictionary's order.
  PropertyList expected(PropertyList::Array{"/b.txt", "/dl", f_.full("/a.txt")});
  EXPECT_EQ(*info.find("InsyncList"), expected);
}

TEST_F(WriteBehindTest, NothingIsBuiltForAPosterWithoutListeners) {
  f_.poster().listening = false;
  q_.addFileToUpdate({{"/b.txt", "Backup"}});
  q_.runWriterPass();
  EXPECT_TRUE(f_.poster().posts.empty());
  EXPECT_EQ(f_.batches().publishedRows().size(), 1u);
}

TEST_F(WriteBehindTest, AFailedBatchIsRetriedNextPassNewerValuesWin) {
  struct Case {
    const char* step;
    int failOpen;
    int failCommit;
  };
  // The merger is told of each published batch once it is there to merge,
  // and never of one that failed.
  std::size_t announced = 0;
  std::size_t announcedButMissing = 0;
  q_.setBatchPublishedHandler([&] {
    if (published().size() != ++announced) ++announcedButMissing;
  });
  for (const Case& c : {Case{"open", 1, 0}, Case{"commit", 0, 1}}) {
    SCOPED_TRACE(c.step);
    announced = 0;
    f_.batches().failOpen = c.failOpen;
    f_.batches().failCommit = c.failCommit;
    q_.addFileToUpdate({{f_.full("/a.txt"), "Backup"}, {"/dl", "ref-old"}});
    q_.addFileToDelete("/gone");
    f_.poster().posts.clear();

    auto first = q_.runWriterPass();
    EXPECT_TRUE(first.failed);
    EXPECT_EQ(q_.getUpdateBackupFilesCount(), 2u);
    EXPECT_EQ(f_.poster().posts.size(), 1u);  // posted as the batch began
    EXPECT_TRUE(f_.batches().publishedRows().size() == 1);  // only the delete batch went
    if (c.failCommit) {
      // The failed batch is dropped, or its rows would be applied twice.
      EXPECT_TRUE(f_.batches().snapshot().front().abandoned);
    }

    q_.addFileToUpdate({{"/dl", "ref-new"}});
    auto second = q_.runWriterPass();
    EXPECT_FALSE(second.failed);
    EXPECT_EQ(q_.getUpdateBackupFilesCount(), 0u);
    auto rows = f_.batches().publishedRows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].values, (Values{"/dl", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1", "1",
                                      "0", "ref-new"}));
    EXPECT_EQ(rows[2].values[0], "/a.txt");
    EXPECT_EQ(f_.poster().posts.size(), 2u);
    EXPECT_EQ(announced, 2u);
    EXPECT_EQ(announcedButMissing, 0u);
    f_.batches().batches.clear();
  }
  q_.setBatchPublishedHandler(nullptr);
}

TEST_F(WriteBehindTest, RecountsFollowTheCommit) {
  f_.host().restoreGoingOn = true;
  f_.host().backupGoingOn = true;
  q_.addFileToUpdate({{f_.full("/a.txt"), "Backup"}});
  q_.runWriterPass();
  EXPECT_TRUE(f_.host().calls().empty());  // no download record, no recount

  q_.addFileToUpdate({{"/dl", "ref"}});
  q_.runWriterPass();
  EXPECT_EQ(f_.host().calls(),
            (std::vector<std::string>{"SetQueryMainDBforCountRestore", "GetTotalRestore"}));

  q_.addFileToDelete("/x");
  q_.runWriterPass();
  EXPECT_EQ(f_.host().calls().size(), 6u);
  EXPECT_EQ(f_.host().calls()[2], "SetQueryMainDBforCountBackup");
  EXPECT_EQ(f_.host().calls()[3], "GetTotalBackup");
}

TEST_F(WriteBehindTest, ReinitialiseWaitsForTheUpdateQueues) {
  q_.setReinitializeState(true);
  f_.batches().failCommit = 1;
  q_.addFileToUpdate({{"/dl", "ref"}});
  q_.runWriterPass();
  EXPECT_EQ(f_.host().queryMainDBCalls, 0);
  EXPECT_TRUE(q_.reinitializeState());
  q_.runWriterPass();
  EXPECT_EQ(f_.host().queryMainDBCalls, 1);
  EXPECT_FALSE(q_.reinitializeState());
}

TEST_F(WriteBehindTest, WithoutASyncRootNothingIsWrittenAndNothingLost) {
  FakeHost rootless("");
  q_.setSyncInputHost(&rootless);
  q_.addFileToUpdate({{"/dl", "ref"}});
  q_.addFileToDelete("/x");
  q_.addBackupFiles("/up.txt");
  EXPECT_TRUE(q_.runWriterPass().failed);
  EXPECT_TRUE(f_.batches().snapshot().empty());
  EXPECT_TRUE(f_.published(journal::kUploadFolder).empty());
  q_.setSyncInputHost(&f_.host());
  EXPECT_FALSE(q_.runWriterPass().failed);
  EXPECT_EQ(f_.batches().publishedRows().size(), 2u);
  EXPECT_EQ(f_.published(journal::kUploadFolder).size(), 1u);
}

TEST_F(WriteBehindTest, PacingSleepsFiftyMillisecondsEveryFiftyEntries) {
  for (int i = 0; i < 120; ++i) q_.addFileToDelete("/d" + std::to_string(i));
  q_.runWriterPass();
  EXPECT_EQ(f_.clock().slept(), 2 * UMSDBSyncInputManger::kBatchPause);
}

// A listing's downloads queued while a long batch runs (a first sync's
// batch is minutes at its pace) are published at the batch's next pause, not
// when the batch ends; the batch keeps its pace.
TEST_F(WriteBehindTest, DownloadsQueuedDuringALongBatchArePublishedAtItsNextPause) {
  struct Case {
    const char* name;
    bool queueDownload;
  };
  for (const Case c : {Case{"download queued at the first pause", true}, Case{"nothing queued", false}}) {
    SCOPED_TRACE(c.name);
    QueueFixture<> f;
    for (int i = 0; i < 200; ++i) f.queue().addFileToDelete("/d" + std::to_string(i));
    int pauses = 0;  // the batch's own, not the download writer's shorter ones
    Clock::Duration before{};
    std::size_t listsAtSecondPause = 99;
    f.clock().onSleep = [&] {
      const Clock::Duration slept = f.clock().slept();
      const bool batchPause = slept - before == UMSDBSyncInputManger::kBatchPause;
      before = slept;
      if (!batchPause) return;
      ++pauses;
      if (pauses == 1 && c.queueDownload) f.queue().addRestoreFiles({{"/new.bin", "5"}});
      if (pauses == 2) {
        listsAtSecondPause = f.published(journal::kDownloadFolder).size();
        EXPECT_TRUE(f.batches().publishedRows().empty()) << "the batch is still running";
      }
    };
    f.queue().runWriterPass();
    f.clock().onSleep = nullptr;
    EXPECT_EQ(listsAtSecondPause, c.queueDownload ? 1u : 0u);
    EXPECT_EQ(f.published(journal::kDownloadFolder).size(), c.queueDownload ? 1u : 0u) << "published once";
    EXPECT_EQ(pauses, 3);
    EXPECT_EQ(f.batches().publishedRows().size(), 200u);
  }
}

// A query reads the database without writing the queued rows first; what
// those rows will say must be known to it, whether they are still queued or
// in the batch being written at that moment.
TEST_F(WriteBehindTest, PendingRowsSayWhatTheQueuedAndTheRunningRowsWillRecord) {
  using P = UMSDBSyncInputManger::PendingRow;
  using Rows = std::unordered_map<std::string, P>;
  struct Case {
    const char* name;
    std::function<void(UMSDBSyncInputManger&)> queue;
    Rows rows;
    bool exact;
  };
  const Case cases[] = {
      {"one row of each kind",
       [&](UMSDBSyncInputManger& q) {
         q.addFileToUpdate({{f_.full("/a.txt"), "Backup"}, {"/dl.bin", "ref-7"}});
         q.addToUpdateRefID({{"/b.txt", "ref-1"}, {"/missing", "ref-2"}});
         q.addFileToBackup(f_.full("/new.txt"));
         q.addFileToBackup(f_.full("/newdir"));
         q.addFileToBackup("/nothing-here");
       },
       {{"/a.txt", P::kInSync}, {"/dl.bin", P::kToDownload}, {"/b.txt", P::kInSync},
        {"/missing", P::kToDownload}, {"/new.txt", P::kToUpload}},
       true},
      // The reference-id batch comes after the update batch: its row wins.
      {"the later batch wins",
       [](UMSDBSyncInputManger& q) {
         q.addFileToUpdate({{"/missing", "Backup"}, {"/new.txt", "ref-3"}});
         q.addToUpdateRefID({{"/missing", "ref-2"}});
         q.addFileToBackup("/new.txt");
       },
       {{"/missing", P::kToDownload}, {"/new.txt", P::kToUpload}},
       true},
      // A new file's row records nothing when the file is gone or a
      // folder: what the rows before it say stands.
      {"a new file's row that finds no file",
       [&](UMSDBSyncInputManger& q) {
         q.addFileToUpdate({{"/fetch.bin", "ref-4"}, {f_.full("/new.txt"), "Backup"}});
         q.addToUpdateRefID({{"/newdir", "ref-5"}});
         q.addFileToBackup("/fetch.bin");
         q.addFileToBackup(f_.full("/newdir"));
         q.addFileToBackup("/only-inserted");
       },
       {{"/fetch.bin", P::kToDownload}, {"/new.txt", P::kInSync}, {"/newdir", P::kInSync}},
       true},
      {"a queued delete", [](UMSDBSyncInputManger& q) { q.addFileToDelete("/x"); }, {}, false},
      {"a queued rename", [](UMSDBSyncInputManger& q) { q.addFileToRename({"/x", "/y"}); }, {}, false},
  };
  f_.makeFile("/new.txt", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.queue(q_);
    const auto pending = q_.pendingRows();
    EXPECT_EQ(pending.rows, c.rows);
    EXPECT_EQ(pending.exact, c.exact);

    q_.runWriterPass();
    EXPECT_TRUE(q_.pendingRows().rows.empty()) << "all written";
    EXPECT_TRUE(q_.pendingRows().exact);
  }
}

// Rows a running batch took from their queue are neither queued nor in the
// database yet: looked at in the batch's pause, they still count. While a
// delete batch runs, which rows it reaches only the database knows.
TEST_F(WriteBehindTest, PendingRowsCountTheRowsOfTheRunningBatch) {
  using P = UMSDBSyncInputManger::PendingRow;
  struct Case {
    const char* name;
    std::function<void(UMSDBSyncInputManger&, const std::string&)> add;
    std::optional<P> row;
    bool exact;
  };
  const Case cases[] = {
      {"uploads", [](auto& q, const std::string& p) { q.addFileToUpdate({{p, "Backup"}}); }, P::kInSync, true},
      {"reference ids", [](auto& q, const std::string& p) { q.addToUpdateRefID({{p + ".not", "r"}}); },
       P::kToDownload, true},
      {"new files", [](auto& q, const std::string& p) { q.addFileToBackup(p); }, P::kToUpload, true},
      {"deletes", [](auto& q, const std::string& p) { q.addFileToDelete(p); }, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < 60; ++i) c.add(q_, f_.makeFile("/run/f" + std::to_string(i), 1));
    std::optional<UMSDBSyncInputManger::PendingRows> during;
    f_.clock().onSleep = [&] {
      if (!during) during = q_.pendingRows();
    };
    q_.runWriterPass();
    f_.clock().onSleep = nullptr;
    ASSERT_TRUE(during.has_value());
    EXPECT_EQ(during->exact, c.exact);
    EXPECT_EQ(during->rows.size(), c.row ? 60u : 0u);
    const std::string first = std::string("/run/f0") + (c.row == P::kToDownload ? ".not" : "");
    if (c.row) {
      EXPECT_EQ(during->rows[first], *c.row);
    }
    EXPECT_TRUE(q_.pendingRows().rows.empty());
    EXPECT_TRUE(q_.pendingRows().exact);
  }
}

// The same through the real database layer: batch, merge, row.
class WriteBehindDatabaseTest : public ::testing::Test {
 protected:
  WriteBehindDatabaseTest() : f_(true) { setModificationTime(f_.makeFile("/a.txt", 10)); }

  std::optional<std::vector<std::string>> row(const std::string& path) {
    DatabaseMerger merger(f_.appFile(journal::kDatabaseFolder), "alice", f_.clock());
    merger.mergePending();
    auto db = SqliteConnection::open(f_.appFile(journal::kDatabaseFolder) + "/alice.ql",
                                     SqliteConnection::OpenMode::kReadOnly);
    if (!db) return std::nullopt;
    auto stmt = db->prepare("SELECT * FROM FILE_TABLE WHERE FILEPATH = ?1");
    stmt->bindText(1, path);
    if (stmt->step() != SqliteStatement::Step::kRow) return std::nullopt;
    std::vector<std::string> values;
    for (int i = 0; i < 12; ++i) values.push_back(stmt->columnText(i).value_or("<null>"));
    return values;
  }

  QueueFixture<> f_;
  UMSDBSyncInputManger& q_ = f_.queue();
};

TEST_F(WriteBehindDatabaseTest, UploadedFileRowAfterAnOpenFailure) {
  // The database folder is blocked by a file: the batch cannot open.
  std::string dbFolder = f_.appFile(journal::kDatabaseFolder);
  fileutil::writeFileAtomically(dbFolder, "in the way");
  q_.addFileToUpdate({{f_.full("/a.txt"), "Backup"}});
  EXPECT_TRUE(q_.runWriterPass().failed);
  EXPECT_EQ(q_.getUpdateBackupFilesCount(), 1u);

  fileutil::removeAll(dbFolder);
  EXPECT_FALSE(q_.runWriterPass().failed);
  EXPECT_EQ(row("/a.txt"),
            (Values{"/a.txt", kDate, "10", "NA", "NA", "0", "NA", "NA", "1", "1", "1", "NA"}));
  q_.addFileToRename({"/a.txt", "/b.txt"});
  q_.runWriterPass();
  EXPECT_FALSE(row("/a.txt"));
  EXPECT_TRUE(row("/b.txt"));
}

}  // namespace
}  // namespace ulmora::testing
