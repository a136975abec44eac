#include <gtest/gtest.h>

#include <thread>

#include "CaptureFakes.h"
#include "TestTempDir.h"
#include "capture/DBManager.h"
#include "capture/FileStateDatabaseQueries.h"
#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"

namespace ulmora {
namespace {

using testing::FakeCaptureDatabase;
using testing::FakeJournalSink;

std::vector<std::string> methods(const FakeJournalSink& sink) {
  std::vector<std::string> out;
  for (const auto& call : sink.calls()) out.push_back(call.method);
  return out;
}

TEST(DBManager, SendsWhatTheDatabaseHoldsInTheDocumentedOrder) {
  FakeCaptureDatabase database;
  database.upload = std::vector<std::string>{"/a", "/b"};
  database.download = std::vector<std::string>{"/c"};
  database.obUpload = std::vector<std::string>{"/ob1"};
  database.obDownload = std::vector<std::string>{};
  database.rd = RDDataBaseRows{{"3", {}}, {"4", {}}};
  FakeJournalSink sink;
  DBManager manager(database, sink);
  manager.performDBQueryForBackupFiles();
  manager.performDBQueryForRestoreFiles();
  manager.performOBDBQueryForBackupFiles();
  manager.performOBDBQueryForRestoreFiles();  // nothing to download: nothing sent
  manager.performRDDBQuery();
  EXPECT_EQ(methods(sink), (std::vector<std::string>{"mainDBQueryFinished", "addBackupFiles",
                                                     "addRestoreFiles", "addOBBackupFiles",
                                                     "RDDBQueryFinished"}));
  EXPECT_EQ(sink.paths("mainDBQueryFinished"), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(sink.paths("addBackupFiles"), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(sink.paths("RDDBQueryFinished"), std::vector<std::string>{"rows"});
}

TEST(DBManager, UnreadableDatabaseSendsNothingButEndsTheRenameDeleteQuery) {
  FakeCaptureDatabase database;  // every answer "no database"
  FakeJournalSink sink;
  DBManager manager(database, sink);
  manager.performDBQueryForBackupFiles();
  manager.performDBQueryForRestoreFiles();
  manager.performOBDBQueryForBackupFiles();
  manager.performOBDBQueryForRestoreFiles();
  manager.performRDDBQuery();
  EXPECT_EQ(methods(sink), std::vector<std::string>{"RDDBQueryFinished"});
  EXPECT_TRUE(sink.paths("RDDBQueryFinished").empty());
}

TEST(DBManager, QueriesRunOnItsOwnThread) {
  class ThreadRecordingDatabase final : public CaptureDatabase {
   public:
    std::optional<std::vector<std::string>> pathsToUpload() override {
      thread = std::this_thread::get_id();
      return std::vector<std::string>{"/x"};
    }
    std::optional<std::vector<std::string>> pathsToDownload() override { return std::nullopt; }
    std::optional<std::vector<std::string>> outOfBoxPathsToUpload() override { return std::nullopt; }
    std::optional<std::vector<std::string>> outOfBoxPathsToDownload() override { return std::nullopt; }
    std::optional<std::vector<LocalFileRow>> fileRows() override { return std::nullopt; }
    std::optional<RDDataBaseRows> renameDeleteRows() override { return std::nullopt; }
    std::thread::id thread;
  } database;
  FakeJournalSink sink;
  {
    DBManager manager(database, sink);
    manager.queryBackupFiles();
    ASSERT_TRUE(sink.waitFor([&] { return sink.contains("addBackupFiles", "/x"); }));
  }
  EXPECT_NE(database.thread, std::this_thread::get_id());
}

TEST(FileStateDatabaseQueries, ReadsStatusesOfBothTablesAndTheRenameDeleteDatabase) {
  testing::TestTempDir dir;
  FileStateDatabaseQueries queries(dir.path(), "alice");
  EXPECT_FALSE(queries.pathsToUpload());  // no database yet is not "nothing to do"
  EXPECT_FALSE(queries.fileRows());
  EXPECT_FALSE(queries.renameDeleteRows());

  {
    auto db = filestate::openForMerge(dir.sub("alice.ql"), nullptr);
    ASSERT_TRUE(db);
    auto insert = db->prepare(
        "INSERT INTO FILE_TABLE (FILEPATH, FILE_LMD, FILE_SIZE, FILE_OR_FOLDER, BACKUP_STATUS,"
        " RESTORE_STATUS) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    auto ob = db->prepare(
        "INSERT INTO OB_FILE_TABLE (FILEPATH, BACKUP_STATUS, RESTORE_STATUS) VALUES (?1, ?2, ?3)");
    ASSERT_TRUE(insert && ob);
    const std::vector<std::vector<std::string>> rows = {
        {"/up", "2020-01-01 00:00:00 +0000", "10", "0", "0", "1"},
        {"/down", "NA", "20", "0", "1", "0"},
        {"/synced", "2020-01-01 00:00:00 +0000", "30", "0", "1", "1"},
        {"/folder", "NA", "0", "1", "1", "1"}};
    for (const auto& r : rows) {
      insert->reset();
      for (int i = 0; i < 6; ++i) ASSERT_TRUE(insert->bindText(i + 1, r[i]));
      ASSERT_TRUE(insert->run());
    }
    for (const auto& r : std::vector<std::vector<std::string>>{{"/ob-up", "0", "1"}, {"/ob-down", "1", "0"}}) {
      ob->reset();
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(ob->bindText(i + 1, r[i]));
      ASSERT_TRUE(ob->run());
    }
    auto rd = SqliteConnection::open(dir.sub("RDDataBase.ql"), SqliteConnection::OpenMode::kCreate);
    ASSERT_TRUE(rd && rddatabase::createSchema(*rd));
    ASSERT_TRUE(rddatabase::addEntry(*rd, "/renamed", "3", RDDataBaseEntry{"NA", "1", "/new"}));
  }
  EXPECT_EQ(queries.pathsToUpload(), std::vector<std::string>{"/up"});
  EXPECT_EQ(queries.pathsToDownload(), std::vector<std::string>{"/down"});
  EXPECT_EQ(queries.outOfBoxPathsToUpload(), std::vector<std::string>{"/ob-up"});
  EXPECT_EQ(queries.outOfBoxPathsToDownload(), std::vector<std::string>{"/ob-down"});
  const auto rows = queries.fileRows();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 4u);
  for (const LocalFileRow& row : *rows) {
    EXPECT_EQ(row.isFolder, row.path == "/folder") << row.path;
    EXPECT_EQ(row.pendingDownload, row.path == "/down") << row.path;
  }
  const auto rd = queries.renameDeleteRows();
  ASSERT_TRUE(rd);
  EXPECT_EQ(rd->at("3").at("/renamed").renamedTo, "/new");
}

}  // namespace
}  // namespace ulmora
