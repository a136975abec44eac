#include "sync/files/SyncRootFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

using testing::TestTempDir;
using Area = SyncRootFiles::Area;
using MoveResult = SyncRootFiles::MoveResult;

struct Fixture {
  TestTempDir tmp;
  std::string root = tmp.sub("Sync");
  SyncRootFiles files{root};
  Fixture() { fileutil::makeDirectories(root); }
  std::string write(const std::string& rel, const std::string& text) const { return tmp.writeFile("Sync" + rel, text); }
};

TEST(SyncRootFilesTest, ChecksEveryPathBeforeUse) {
  Fixture f;
  struct Case {
    std::string path;
    Area area;
    std::optional<std::string> relative;
  } cases[] = {
      {"/a/b.txt", Area::kUserItems, "/a/b.txt"},
      {"a/b.txt", Area::kUserItems, "/a/b.txt"},
      {"/a//b/", Area::kUserItems, "/a/b"},
      {f.root + "/a/b.txt", Area::kUserItems, "/a/b.txt"},
      {"/etc/passwd", Area::kUserItems, "/etc/passwd"},  // relative to the root, so inside it
      {"", Area::kUserItems, std::nullopt},
      {"/", Area::kUserItems, std::nullopt},
      {f.root, Area::kUserItems, std::nullopt},
      {f.root + "/", Area::kUserItems, std::nullopt},
      {"/a/../../x", Area::kUserItems, std::nullopt},
      {"/a/./x", Area::kUserItems, std::nullopt},
      {"/..", Area::kUserItems, std::nullopt},
      {std::string("/a\0b", 4), Area::kUserItems, std::nullopt},
      {"/.UMSCache/2026-01-01/a", Area::kUserItems, std::nullopt},
      {"/.UMSCache", Area::kUserItems, std::nullopt},
      {"/.UMSCache/2026-01-01/a", Area::kCacheToo, "/.UMSCache/2026-01-01/a"},
      {"/.UMSCacheX/a", Area::kUserItems, "/.UMSCacheX/a"},
      {"/x/.UMSCache/a", Area::kUserItems, "/x/.UMSCache/a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(f.files.checkQuietly(c.path, c.area), c.relative) << fileutil::joinPath("", c.path);
  }
}

TEST(SyncRootFilesTest, MovesWithoutReplacingAndMakesParents) {
  Fixture f;
  f.write("/a.txt", "A");
  f.write("/b.txt", "B");
  EXPECT_EQ(f.files.move("/a.txt", "/b.txt"), MoveResult::kTargetExists);
  EXPECT_EQ(fileutil::readFile(f.root + "/b.txt"), "B");
  EXPECT_EQ(fileutil::readFile(f.root + "/a.txt"), "A");

  EXPECT_EQ(f.files.move("/a.txt", "/new/deep/a.txt"), MoveResult::kMoved);
  EXPECT_EQ(fileutil::readFile(f.root + "/new/deep/a.txt"), "A");
  EXPECT_FALSE(fileutil::exists(f.root + "/a.txt"));

  EXPECT_EQ(f.files.move("/missing", "/x"), MoveResult::kSourceMissing);
  EXPECT_EQ(f.files.move("/b.txt", "/nofolder/b.txt", false), MoveResult::kFailed);
  EXPECT_EQ(f.files.move("/b.txt", "/../b.txt"), MoveResult::kRefused);
  EXPECT_EQ(f.files.move("/b.txt", "/.UMSCache/b.txt"), MoveResult::kRefused);
  EXPECT_EQ(f.files.move("/b.txt", "/.UMSCache/d/b.txt", Area::kUserItems, Area::kCacheToo, true),
            MoveResult::kMoved);
}

TEST(SyncRootFilesTest, CaseOnlyRenameIsARealRename) {
  Fixture f;
  f.write("/Report.txt", "R");
  EXPECT_EQ(f.files.move("/Report.txt", "/report.txt"), MoveResult::kMoved);
  EXPECT_TRUE(fileutil::exists(f.root + "/report.txt"));
  EXPECT_FALSE(fileutil::exists(f.root + "/Report.txt"));
}

TEST(SyncRootFilesTest, FolderIsNotMovedIntoItself) {
  Fixture f;
  f.write("/d/x.txt", "X");
  EXPECT_EQ(f.files.move("/d", "/d/sub/d"), MoveResult::kRefused);
  EXPECT_EQ(fileutil::readFile(f.root + "/d/x.txt"), "X");
}

TEST(SyncRootFilesTest, NeverFollowsSymbolicLinks) {
  Fixture f;
  std::string outside = f.tmp.sub("outside");
  fileutil::makeDirectories(outside);
  f.tmp.writeFile("outside/secret.txt", "S");
  ASSERT_EQ(::symlink(outside.c_str(), (f.root + "/link").c_str()), 0);
  f.write("/a.txt", "A");

  EXPECT_EQ(f.files.move("/a.txt", "/link/a.txt"), MoveResult::kFailed);
  EXPECT_FALSE(fileutil::exists(outside + "/a.txt"));
  EXPECT_EQ(f.files.move("/link/secret.txt", "/stolen.txt"), MoveResult::kSourceMissing);
  EXPECT_FALSE(f.files.info("/link/secret.txt"));
  EXPECT_FALSE(f.files.makeFolders("/link/sub"));
  EXPECT_FALSE(fileutil::exists(outside + "/sub"));
  EXPECT_FALSE(f.files.removeEmptyFolder("/link"));

  // The link itself is an item like any other and moves as a link.
  auto info = f.files.info("/link");
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->isSymlink);
  EXPECT_EQ(f.files.readLink("/link"), outside);
  EXPECT_EQ(f.files.move("/link", "/link2"), MoveResult::kMoved);
  EXPECT_TRUE(fileutil::exists(outside + "/secret.txt"));
}

// As root, the agent gives what it makes in the user's folder to the user:
// the folders made on the way to an item as well as the item.
TEST(SyncRootFilesTest, FoldersMadeOnTheWayBelongToTheOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root gives items away";
  TestTempDir tmp;
  const std::string root = tmp.sub("Sync");
  fileutil::makeDirectories(root);
  const SyncRootFiles::Owner owner{4321, 4321};
  SyncRootFiles files(root, owner);
  tmp.writeFile("Sync/a.txt", "A");
  ASSERT_EQ(files.move("/a.txt", "/m/n/a.txt"), MoveResult::kMoved);
  ASSERT_TRUE(files.makeFolders("/f/g/h"));
  for (const char* made : {"/m", "/m/n", "/m/n/a.txt", "/f", "/f/g", "/f/g/h"}) {
    SCOPED_TRACE(made);
    struct stat st {};
    ASSERT_EQ(::lstat((root + made).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, owner.uid);
    EXPECT_EQ(st.st_gid, owner.gid);
  }
}

TEST(SyncRootFilesTest, RemovesOnlyEmptyFoldersAndCacheItems) {
  Fixture f;
  f.write("/full/x.txt", "X");
  f.write("/dsonly/.DS_Store", "");
  fileutil::makeDirectories(f.root + "/empty");
  f.write("/.UMSCache/2026-01-01/tree/y.txt", "Y");

  EXPECT_FALSE(f.files.removeEmptyFolder("/full"));
  EXPECT_TRUE(f.files.removeEmptyFolder("/dsonly"));
  EXPECT_TRUE(f.files.removeEmptyFolder("/empty"));
  EXPECT_FALSE(f.files.removeEmptyFolder("/"));
  EXPECT_FALSE(f.files.removeEmptyFolder("/full/x.txt"));
  EXPECT_TRUE(fileutil::exists(f.root + "/full/x.txt"));

  EXPECT_FALSE(f.files.removeFromCache("/full"));
  EXPECT_FALSE(f.files.removeFromCache("/.UMSCache"));
  EXPECT_TRUE(fileutil::exists(f.root + "/full/x.txt"));
  EXPECT_TRUE(f.files.removeFromCache("/.UMSCache/2026-01-01/tree"));
  EXPECT_FALSE(fileutil::exists(f.root + "/.UMSCache/2026-01-01/tree"));
  EXPECT_TRUE(fileutil::exists(f.root + "/.UMSCache/2026-01-01"));
}

TEST(SyncRootFilesTest, ReportsItemFacts) {
  Fixture f;
  f.write("/d/x.txt", "hello");
  auto file = f.files.info("/d/x.txt");
  ASSERT_TRUE(file);
  EXPECT_FALSE(file->isFolder);
  EXPECT_EQ(file->size, 5);
  auto dir = f.files.info("/d");
  ASSERT_TRUE(dir);
  EXPECT_TRUE(dir->isFolder);
  EXPECT_EQ(f.files.list("/d"), std::vector<std::string>{"x.txt"});
  EXPECT_FALSE(f.files.info("/d/none"));
}

}  // namespace
}  // namespace ulmora
