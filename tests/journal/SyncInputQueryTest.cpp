#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "JournalTestSupport.h"
#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"

namespace ulmora::testing {
namespace {

// Descriptors of this process open on `path`.
int openDescriptorsOn(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) == path) ++count;
  }
  return count;
}

void writeDatabase(const std::string& path, const std::string& refId, const std::string& file) {
  std::string error;
  auto db = filestate::openForMerge(path, &error);
  ASSERT_TRUE(db) << error;
  ASSERT_TRUE(db->exec("INSERT INTO FILE_TABLE (FILEPATH, REF_ID) VALUES ('" + file + "', '" + refId + "')"));
}

TEST(SyncInputQueryTest, ListingLookUpsShareOneConnectionThatFollowsAReplacedFile) {
  QueueFixture<> f;
  const std::string folder = f.appFile(journal::kDatabaseFolder);
  ASSERT_TRUE(fileutil::makeDirectories(folder));
  const std::string path = folder + "/alice.ql";
  writeDatabase(path, "r1", "/a.txt");

  UMSDBSyncInputManger& q = f.queue();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(q.getFilePathforRefID("r1"), "/a.txt");
  EXPECT_EQ(q.getFilePathforRefID("none"), std::nullopt);
  // One connection for every look-up, kept between them.
  EXPECT_EQ(openDescriptorsOn(path), 1);

  // The database replaced by another file: answers come from the new one.
  ASSERT_TRUE(fileutil::removeAll(path));
  writeDatabase(path, "r1", "/b.txt");
  EXPECT_EQ(q.getFilePathforRefID("r1"), "/b.txt");
  EXPECT_EQ(openDescriptorsOn(path), 1);
}

}  // namespace
}  // namespace ulmora::testing
