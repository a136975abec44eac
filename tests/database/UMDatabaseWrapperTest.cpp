// Pending totals handed to the sync controller, and the rename/delete
// database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DatabaseTestSupport.h"
#include "database/RDDataBase.h"
#include "database/UMDatabaseWrapper.h"
#include "platform/FileUtil.h"

namespace ulmora::testing {
namespace {

class RecordingTotals : public DatabaseTotalsDelegate {
 public:
  std::vector<std::string> calls;
  void SetTotalBackupCount(int64_t n) override { calls.push_back("backupCount " + std::to_string(n)); }
  void SetTotalBackupSize(int64_t n) override { calls.push_back("backupSize " + std::to_string(n)); }
  void ResetNecessaryVariablesForBackup() override { calls.push_back("resetBackup"); }
  void SetQueriedForBackup(bool b) override { calls.push_back("queriedBackup " + std::to_string(b)); }
  void SetTotalRestoreCount(int64_t n) override { calls.push_back("restoreCount " + std::to_string(n)); }
  void SetTotalRestoreSize(int64_t n) override { calls.push_back("restoreSize " + std::to_string(n)); }
  void ResetNecessaryVariablesForRestore() override { calls.push_back("resetRestore"); }
  void SetQueriedForRestore(bool b) override { calls.push_back("queriedRestore " + std::to_string(b)); }
};

TEST(UMDatabaseWrapperTest, DeliversPendingTotalsInOrder) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) {
    w.insert(fileRecord("/up1", "0", "1", "", "100"));
    w.insert(fileRecord("/up2", "0", "1", "", "5000000000"));  // beyond 32 bits
    w.insert(fileRecord("/both", "0", "0", "", "7"));
    w.update({"/down", "NA", "NA", "NA", "NA", "NA", "NA", "NA", "1", "1", "0", "ref"});
    w.insert(fileRecord("/done", "1", "1", "ref-done", "999"));
  });
  RecordingTotals totals;
  UMDatabaseWrapper counter(totals);
  counter.totalNumberOfFilesAndSizeToBackup(db.folder(), db.user());
  counter.totalNumberOfFilesAndSizeToRestore(db.folder(), db.user());
  EXPECT_EQ(totals.calls, (std::vector<std::string>{
                              "backupCount 3", "backupSize 5000000107", "resetBackup",
                              "queriedBackup 1",
                              // "NA" sizes count as nothing.
                              "restoreCount 2", "restoreSize 7", "resetRestore",
                              "queriedRestore 1"}));
}

TEST(UMDatabaseWrapperTest, NothingPendingStillReportsZero) {
  DatabaseFixture db;
  db.writeAndMerge([](DataBaseWrapper& w) { w.insert(fileRecord("/done")); });
  RecordingTotals totals;
  UMDatabaseWrapper(totals).totalNumberOfFilesAndSizeToBackup(db.folder(), db.user());
  EXPECT_EQ(totals.calls, (std::vector<std::string>{"backupCount 0", "backupSize 0",
                                                    "resetBackup", "queriedBackup 1"}));
}

TEST(UMDatabaseWrapperTest, NoDatabaseDeliversNothing) {
  DatabaseFixture db;
  fileutil::writeFileAtomically(db.dir().sub("broken.ql"), std::string(4096, 'z'));
  RecordingTotals totals;
  UMDatabaseWrapper counter(totals);
  for (const char* user : {"alice", "broken", "../alice", ""}) {
    counter.totalNumberOfFilesAndSizeToBackup(db.folder(), user);
    counter.totalNumberOfFilesAndSizeToRestore(db.folder(), user);
  }
  EXPECT_TRUE(totals.calls.empty());
}

TEST(RDDataBaseTest, RowsAreGroupedByStatusAndRemovedByPath) {
  DatabaseFixture db;
  DataBaseWrapper& w = db.reader();
  const std::string name(rddatabase::kName);
  EXPECT_EQ(w.queryRDDBAtPath(db.folder(), name), std::nullopt);

  EXPECT_TRUE(w.addEntryToRDDataBaseAtPath(db.folder(), name, "/old's.txt", "3",
                                           {"lmd1", "10", "/new.txt"}));
  EXPECT_TRUE(w.addEntryToRDDataBaseAtPath(db.folder(), name, "/gone%", "4", {"lmd2", "20", ""}));
  EXPECT_TRUE(w.addEntryToRDDataBaseAtPath(db.folder(), name, "/gone_", "4", {"lmd3", "30", ""}));
  EXPECT_FALSE(w.addEntryToRDDataBaseAtPath(db.folder(), name, "/x", "1", {}));

  auto rows = w.queryRDDBAtPath(db.folder(), name);
  ASSERT_TRUE(rows.has_value());
  RDDataBaseRows expected = {
      {"3", {{"/old's.txt", {"lmd1", "10", "/new.txt"}}}},
      {"4", {{"/gone%", {"lmd2", "20", ""}}, {"/gone_", {"lmd3", "30", ""}}}},
  };
  EXPECT_EQ(*rows, expected);
  PropertyList plist = rddatabase::toPropertyList(*rows);
  EXPECT_EQ(plist.find("3")->find("/old's.txt")->stringFor("RENAMED_TO"), "/new.txt");

  EXPECT_TRUE(w.deleteEntryFromRDDataBaseAtPath(db.folder(), name, "/gone%"));
  rows = w.queryRDDBAtPath(db.folder(), name);
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ((*rows)["4"].size(), 1u);
  EXPECT_EQ((*rows)["4"].count("/gone_"), 1u) << "'%' must not match as a wildcard";

  EXPECT_FALSE(w.addEntryToRDDataBaseAtPath(db.folder(), "../RDDataBase", "/a", "3", {}));
  EXPECT_EQ(w.queryRDDBAtPath(db.folder(), "../RDDataBase"), std::nullopt);
}

}  // namespace
}  // namespace ulmora::testing
