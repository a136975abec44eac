// Status and reference-id answers of the facade, on a database built the way
// the agent builds it: batches written through the wrapper, then merged.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "DatabaseTestSupport.h"
#include "platform/FileUtil.h"

namespace ulmora::testing {
namespace {

struct PathCase {
  const char* name;
  std::string path;
  std::string backup, restore, refId;
};

const std::vector<PathCase>& pathCases() {
  static const std::vector<PathCase> cases = {
      {"plain", "/docs/a.txt", "1", "1", "ref-a"},
      {"quote", "/docs/it's here.txt", "0", "1", "ref-quote"},
      {"percent", "/docs/100%.txt", "1", "0", "ref-percent"},
      {"underscore", "/docs/a_b.txt", "0", "0", "ref-underscore"},
      {"non_ascii", "/docs/\xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt", "1", "0", "ref-utf8"},
      {"not_utf8", std::string("/docs/latin1-\xe9\xff.txt"), "0", "1", "ref-bytes"},
      {"sql_text", "/x'); DROP TABLE FILE_TABLE; --", "1", "1", "ref-sql"},
  };
  return cases;
}

class DataBaseWrapperQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db.writeAndMerge([](DataBaseWrapper& w) {
      for (const PathCase& c : pathCases())
        ASSERT_TRUE(w.insert(fileRecord(c.path, c.backup, c.restore, c.refId)));
      // Rows still waiting for an id: they must never answer an id look-up.
      ASSERT_TRUE(w.insert(fileRecord("/pending-na", "0", "1", "NA")));
      ASSERT_TRUE(w.insert(fileRecord("/pending-empty", "0", "1", "")));
    });
  }
  DatabaseFixture db;
};

TEST_F(DataBaseWrapperQueryTest, EveryQueryFindsTheRowByExactBytes) {
  DataBaseWrapper& r = db.reader();
  for (const PathCase& c : pathCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(r.getBackupStatusForFile(c.path, db.folder(), db.user()), c.backup == "1");
    EXPECT_EQ(r.getRestoreStatusForFile(c.path, db.folder(), db.user()), c.restore == "1");
    EXPECT_EQ(r.getBackupStatusForFileDuringLMDMismatch(c.path, db.folder(), db.user()),
              std::stoi(c.backup));
    auto both = r.getBackupStatusAndRef_idForFile(c.path, db.folder(), db.user());
    ASSERT_TRUE(both.has_value());
    EXPECT_EQ(both->backupStatus, c.backup);
    EXPECT_EQ(both->refId, c.refId);
    EXPECT_EQ(r.getFileNameForGivenReferenceID(c.refId, db.folder(), db.user()), c.path);
    EXPECT_EQ(r.queryFilePathforRefID(c.refId, db.folder(), db.user()), c.path);
    EXPECT_EQ(r.getRecordedFactsForFile(c.path, db.folder(), db.user()),
              (RecordedFileFacts{"2020-01-01 00:00:00 +0000", "10"}));
  }
}

TEST_F(DataBaseWrapperQueryTest, NearMissesFindNothing) {
  // Each is one wildcard, case or component away from a stored path.
  const std::vector<std::string> absent = {
      "/docs/it_s here.txt", "/docs/100_.txt", "/docs/a%b.txt", "/docs/A.txt",
      "/docs/a.txt/",        "docs/a.txt",     "/docs/a",       ""};
  DataBaseWrapper& r = db.reader();
  for (const std::string& path : absent) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(r.getBackupStatusForFile(path, db.folder(), db.user()));
    EXPECT_FALSE(r.getRestoreStatusForFile(path, db.folder(), db.user()));
    EXPECT_EQ(r.getBackupStatusForFileDuringLMDMismatch(path, db.folder(), db.user()), 2);
    EXPECT_FALSE(r.getRecordedFactsForFile(path, db.folder(), db.user()).has_value());
    auto both = r.getBackupStatusAndRef_idForFile(path, db.folder(), db.user());
    ASSERT_TRUE(both.has_value()) << "the database exists, only the row is missing";
    EXPECT_FALSE(both->backupStatus.has_value());
    EXPECT_FALSE(both->refId.has_value());
    EXPECT_TRUE(both->toPropertyList().asDict()->empty());
  }
  for (const char* refId : {"NA", "", "ref-", "REF-A", "%"}) {
    SCOPED_TRACE(refId);
    EXPECT_EQ(r.getFileNameForGivenReferenceID(refId, db.folder(), db.user()), std::nullopt);
    EXPECT_EQ(r.queryFilePathforRefID(refId, db.folder(), db.user()), std::nullopt);
  }
}

TEST_F(DataBaseWrapperQueryTest, NoDatabaseAnswers) {
  struct Case {
    const char* name;
    std::string folder, user;
  } cases[] = {
      {"other_user", db.folder(), "bob"},
      {"missing_folder", db.dir().sub("nowhere"), db.user()},
      {"user_escaping_folder", db.dir().sub("sub"), "../alice"},
      {"dot_dot", db.folder(), ".."},
      {"empty_user", db.folder(), ""},
  };
  fileutil::makeDirectories(db.dir().sub("sub"));
  DataBaseWrapper& r = db.reader();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(r.getBackupStatusForFile("/docs/a.txt", c.folder, c.user));
    EXPECT_FALSE(r.getRestoreStatusForFile("/docs/a.txt", c.folder, c.user));
    EXPECT_EQ(r.getBackupStatusForFileDuringLMDMismatch("/docs/a.txt", c.folder, c.user), 2);
    EXPECT_EQ(r.getBackupStatusAndRef_idForFile("/docs/a.txt", c.folder, c.user), std::nullopt);
    EXPECT_EQ(r.queryFilePathforRefID("ref-a", c.folder, c.user), std::nullopt);
    EXPECT_TRUE(r.SelectAllFilesbackedupAndRestoredFrom(c.folder, c.user).empty());
  }
  EXPECT_FALSE(fileutil::exists(db.dir().sub("bob.ql"))) << "a query must not create a database";
}

TEST_F(DataBaseWrapperQueryTest, SyncedListHoldsRowsUploadedOrDownloaded) {
  auto synced = db.reader().SelectAllFilesbackedupAndRestoredFrom(db.folder(), db.user());
  std::sort(synced.begin(), synced.end());
  std::vector<std::string> expected;
  for (const PathCase& c : pathCases())
    if (c.backup == "1" || c.restore == "1") expected.push_back(c.path);
  expected.push_back("/pending-na");
  expected.push_back("/pending-empty");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(synced, expected);
}

TEST_F(DataBaseWrapperQueryTest, AnswersFollowTheDatabaseAsItChanges) {
  DataBaseWrapper& r = db.reader();
  ASSERT_TRUE(r.getBackupStatusForFile("/docs/a.txt", db.folder(), db.user()));
  db.writeAndMerge([](DataBaseWrapper& w) { w.update(fileRecord("/docs/a.txt", "0")); });
  EXPECT_FALSE(r.getBackupStatusForFile("/docs/a.txt", db.folder(), db.user()));

  // Replaced under the reader's open connection (an account reset): the
  // reader must see the new file, not the removed one.
  fileutil::removeAll(db.mainPath());
  fileutil::removeAll(db.mainPath() + "-wal");
  fileutil::removeAll(db.mainPath() + "-shm");
  EXPECT_EQ(r.getBackupStatusAndRef_idForFile("/docs/a.txt", db.folder(), db.user()), std::nullopt);
  db.writeAndMerge([](DataBaseWrapper& w) { w.insert(fileRecord("/new.txt", "1")); });
  EXPECT_TRUE(r.getBackupStatusForFile("/new.txt", db.folder(), db.user()));
  EXPECT_EQ(r.getBackupStatusForFileDuringLMDMismatch("/docs/a.txt", db.folder(), db.user()), 2);
}

TEST(DataBaseWrapperDamagedTest, DamagedDatabaseIsReportedAndLeftAlone) {
  DatabaseFixture db;
  const std::string garbage(8192, 'x');
  ASSERT_TRUE(fileutil::writeFileAtomically(db.mainPath(), garbage));
  DataBaseWrapper& r = db.reader();
  EXPECT_EQ(r.getBackupStatusAndRef_idForFile("/a", db.folder(), db.user()), std::nullopt);
  EXPECT_EQ(r.getBackupStatusForFileDuringLMDMismatch("/a", db.folder(), db.user()), 2);
  EXPECT_FALSE(r.getBackupStatusForFile("/a", db.folder(), db.user()));

  db.writeBatch([](DataBaseWrapper& w) { w.insert(fileRecord("/a")); });
  MergeReport report = db.merger().mergePending();
  EXPECT_EQ(report.merged, 0);
  EXPECT_EQ(report.remaining, 1) << "the batch must wait, not be dropped";
  EXPECT_EQ(fileutil::readFile(db.mainPath()), garbage);
  EXPECT_TRUE(DatabaseMerger::hasPublishedBatches(db.folder(), db.user()));
}

// ------------------------------------------------------------ batch writes

TEST(DataBaseWrapperBatchTest, RowsWithTheWrongShapeAreRefused) {
  DatabaseFixture db;
  Record twelve = fileRecord("/a");
  Record eleven(twelve.begin(), twelve.end() - 1);
  Record thirteen = twelve;
  thirteen.push_back("extra");
  Record emptyPath = fileRecord("");

  DataBaseWrapper w;
  // Nothing open yet.
  EXPECT_FALSE(w.insert(twelve));
  EXPECT_FALSE(w.deleteRecord("/a"));

  ASSERT_TRUE(w.initializewithDatabase(db.folder(), db.user()));
  ASSERT_TRUE(w.beginTransaction());
  struct Case {
    const char* name;
    std::function<bool()> call;
  } refused[] = {
      {"insert 11", [&] { return w.insert(eleven); }},
      {"insert 13", [&] { return w.insert(thirteen); }},
      {"insert 0", [&] { return w.insert({}); }},
      {"update 11", [&] { return w.update(eleven); }},
      {"rename 13", [&] { return w.rename(thirteen); }},
      {"insert empty path", [&] { return w.insert(emptyPath); }},
      {"rename to nowhere", [&] { return w.rename(renameRecord("/a", "")); }},
      {"rename the root", [&] { return w.rename(renameRecord("/", "/b")); }},
      {"delete the root", [&] { return w.deleteRecord("/"); }},
      {"delete empty", [&] { return w.deleteRecord(""); }},
      {"OB row into file batch", [&] { return w.insertOBRecord(eleven); }},
      {"OB delete into file batch", [&] { return w.deleteOBRecord("/a"); }},
  };
  for (const Case& c : refused) EXPECT_FALSE(c.call()) << c.name;
  EXPECT_TRUE(w.insert(twelve));
  ASSERT_TRUE(w.commitTransaction());
  ASSERT_TRUE(w.unInitializeDatabase());

  ASSERT_TRUE(w.initializeOBDatabase(db.folder(), db.user()));
  EXPECT_FALSE(w.insertOBRecord(twelve));
  EXPECT_FALSE(w.updateOBRecord({}));
  EXPECT_FALSE(w.insert(twelve)) << "file rows do not go into an Out-of-Box batch";
  EXPECT_FALSE(w.rename(renameRecord("/a", "/b")));
  EXPECT_TRUE(w.insertOBRecord(eleven));
  ASSERT_TRUE(w.unInitializeDatabase());

  db.merger().mergePending();
  EXPECT_EQ(db.rows().size(), 1u);
  EXPECT_EQ(db.rows("OB_FILE_TABLE").size(), 1u);
}

TEST(DataBaseWrapperBatchTest, FilesAreOwnerOnlyAndNamedForTheirState) {
  DatabaseFixture db;
  DataBaseWrapper w;
  ASSERT_TRUE(w.initializewithDatabase(db.folder(), db.user()));
  ASSERT_TRUE(w.insert(fileRecord("/a")));
  auto files = db.batchFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].ends_with(".db.progress")) << files[0];
  EXPECT_FALSE(DatabaseMerger::hasPublishedBatches(db.folder(), db.user()));

  ASSERT_TRUE(w.unInitializeDatabase());
  files = db.batchFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].ends_with(".db")) << files[0];
  EXPECT_TRUE(DatabaseMerger::hasPublishedBatches(db.folder(), db.user()));
  db.merger().mergePending();
  // A reader holding the file keeps the -wal and -shm files in place.
  EXPECT_TRUE(db.reader().getBackupStatusForFile("/a", db.folder(), db.user()));
  db.writeAndMerge([](DataBaseWrapper& w) { w.insert(fileRecord("/b")); });

  struct stat st;
  for (const std::string& path : {db.mainPath(), db.mainPath() + "-wal", db.mainPath() + "-shm"}) {
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
  }
  ASSERT_EQ(::stat(db.batchFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(DataBaseWrapperBatchTest, EmptyBatchPublishesNothingAndForgottenBatchIsKept) {
  DatabaseFixture db;
  db.writeBatch([](DataBaseWrapper&) {});
  EXPECT_TRUE(db.batchFiles().empty());

  {
    DataBaseWrapper w;
    w.initializewithDatabase(db.folder(), db.user());
    w.beginTransaction();
    w.insert(fileRecord("/kept"));
    // Neither committed nor published before the wrapper goes away.
  }
  db.merger().mergePending();
  EXPECT_TRUE(db.row("/kept").has_value());
}

}  // namespace
}  // namespace ulmora::testing
