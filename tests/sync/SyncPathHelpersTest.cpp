#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestTempDir.h"
#include "journal/JournalFormat.h"
#include "platform/FileUtil.h"
#include "sync/files/SyncPathHelpers.h"

namespace ulmora {
namespace {

using testing::TestTempDir;

struct FullCase {
  const char* root;
  const char* path;
  std::optional<std::string> expected;
};

TEST(SyncPathHelpers, FullPathWorksOnWholeComponents) {
  const FullCase cases[] = {
      {"/home/u/Sync", "/a.txt", "/home/u/Sync/a.txt"},
      {"/home/u/Sync", "a.txt", "/home/u/Sync/a.txt"},
      {"/home/u/Sync", "/home/u/Sync/a.txt", "/home/u/Sync/a.txt"},
      // The root is the root, not the root twice.
      {"/home/u/Sync", "/home/u/Sync", "/home/u/Sync"},
      {"/home/u/Sync/", "/home/u/Sync", "/home/u/Sync"},
      {"/home/u/Sync", "/", "/home/u/Sync"},
      // A sibling sharing the root's name as a prefix is a relative path.
      {"/home/u/Sync", "/home/u/Sync2/a", "/home/u/Sync/home/u/Sync2/a"},
      // Nothing to join to, nothing to stand for, or a way out of the root.
      {"", "/a.txt", std::nullopt},
      {"/home/u/Sync", "", std::nullopt},
      {"/home/u/Sync", "/../etc/passwd", std::nullopt},
      {"/home/u/Sync", "/a/../../b", std::nullopt},
      {"/home/u/Sync", "/a..b/c", "/home/u/Sync/a..b/c"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(syncpaths::fullPath(SyncRootPath(c.root), c.path), c.expected)
        << "root " << c.root << " path " << c.path;
  }
}

TEST(SyncPathHelpers, RelativePathKeepsOutsidersAndMapsTheRootToSlash) {
  const struct {
    const char* root;
    const char* path;
    const char* expected;
  } cases[] = {
      {"/home/u/Sync", "/home/u/Sync/a.txt", "/a.txt"},
      {"/home/u/Sync", "/home/u/Sync/d/e/f", "/d/e/f"},
      {"/home/u/Sync", "/home/u/Sync", "/"},
      {"/home/u/Sync", "/home/u/Sync/", "/"},
      {"/home/u/Sync", "/home/u/Syncx/a", "/home/u/Syncx/a"},
      {"/home/u/Sync", "/tmp/x", "/tmp/x"},
      {"", "/tmp/x", "/tmp/x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(syncpaths::relativePath(SyncRootPath(c.root), c.path), c.expected) << c.path;
  }
}

TEST(SyncPathHelpers, ImageTypesAndDeletedFolders) {
  const struct {
    const char* path;
    bool image;
  } images[] = {{"/p/IMG.JPG", true}, {"/p/a.tiff", true}, {"/p/movie.mov", false},
                {"/p/noextension", false}, {"/p/.png", false}, {"/p.jpg/file", false}};
  for (const auto& c : images) EXPECT_EQ(syncpaths::isSupportedFileType(c.path), c.image) << c.path;

  const std::vector<std::string> gone = {"/F", "/G/"};
  const struct {
    const char* path;
    bool under;
  } deletes[] = {{"/F", true}, {"/F/x", true}, {"/Fx", false}, {"/G/y", true}, {"/H", false}};
  for (const auto& c : deletes) EXPECT_EQ(syncpaths::isUnderAny(c.path, gone), c.under) << c.path;
}

TEST(SyncPathHelpers, ListFileHoldsEveryEntryOwnerOnlyAndNoEmptyLines) {
  TestTempDir dir;
  std::vector<std::string> entries;
  for (int i = 0; i < 2000; ++i) entries.push_back("/f" + std::to_string(i));
  entries.insert(entries.begin() + 5, "");
  entries.push_back("/bad\nname");
  const std::string path = dir.sub("list");
  ASSERT_TRUE(syncpaths::WriteFilesFromArray(entries, path));
  auto text = fileutil::readFile(path);
  ASSERT_TRUE(text);
  auto lines = journal::splitTextList(*text);
  EXPECT_EQ(lines.size(), 2000u);
  EXPECT_EQ(lines.front(), "/f0");
  EXPECT_EQ(lines.back(), "/f1999");
  EXPECT_NE(text->back(), '\n');
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_FALSE(syncpaths::WriteFilesFromArray({}, dir.sub("none")));
  EXPECT_FALSE(fileutil::exists(dir.sub("none")));
}

// Counts the pauses instead of sleeping.
class PauseCountingClock final : public Clock {
 public:
  WallTime wallNow() const override { return WallTime(); }
  TimePoint monotonicNow() const override { return TimePoint(); }
  void sleepFor(Duration d) override {
    ++pauses;
    EXPECT_EQ(d, syncpaths::kListPause);
  }
  bool waitUntil(std::unique_lock<std::mutex>&, std::condition_variable&, TimePoint,
                 const std::function<bool()>& pred) override {
    return pred();
  }
  int pauses = 0;
};

TEST(SyncPathHelpers, ListFileYieldsAfterEveryHundredthEntryFromTheFirst) {
  struct Case {
    std::size_t entries;
    int pauses;
  } cases[] = {{0, 0}, {1, 1}, {100, 1}, {101, 2}, {2000, 20}, {2001, 21}};
  TestTempDir dir;
  for (const Case& c : cases) {
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < c.entries; ++i) entries.push_back("/f" + std::to_string(i));
    PauseCountingClock clock;
    syncpaths::WriteFilesFromArray(entries, dir.sub("list"), &clock);
    EXPECT_EQ(clock.pauses, c.pauses) << c.entries << " entries";
  }
}

}  // namespace
}  // namespace ulmora
