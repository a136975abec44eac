#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include "SyncFilesControllerTestSupport.h"

namespace ulmora::testing {
namespace {

using Result = SyncFilesController::CacheMoveResult;

class SyncFilesControllerTrashTest : public ::testing::Test {
 protected:
  SyncFilesControllerTrashTest() { fileutil::makeDirectories(trash_); }

  // Where the link for a relative path goes (the test clock's day).
  std::string linkFor(const std::string& relative) const {
    return f_.root() + "/.UMSCache/2020-01-01" + relative;
  }
  static std::optional<std::string> target(const std::string& link) {
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
  }
  std::string trashFile(const std::string& name) const {
    std::string path = fileutil::joinPath(trash_, name);
    fileutil::makeDirectories(fileutil::parentPath(path));
    fileutil::writeFileAtomically(path, "x");
    return path;
  }

  SfcFixture<> f_;
  SyncFilesController& sfc_ = f_.sfc();
  std::string trash_ = f_.dir().sub("Trash/files");
};

TEST_F(SyncFilesControllerTrashTest, ATrashedFileIsLinkedAndAnEarlierLinkThatDayIsKept) {
  std::string first = trashFile("a.txt");
  EXPECT_EQ(sfc_.moveToCache(f_.full("/docs/a.txt"), first), Result::kLinked);
  EXPECT_EQ(target(linkFor("/docs/a.txt")), first);

  // The same path trashed again that day, alone or inside a trashed folder:
  // the first copy stays reachable.
  std::string second = trashFile("a 2.txt");
  EXPECT_EQ(sfc_.moveToCache(f_.full("/docs/a.txt"), second), Result::kFailed);
  EXPECT_EQ(target(linkFor("/docs/a.txt")), first);
  std::string folder = fileutil::joinPath(trash_, "docs");
  trashFile("docs/a.txt");
  trashFile("docs/b.txt");
  auto walk = sfc_.moveFolderToCache(f_.full("/docs"), folder);
  EXPECT_EQ(walk.linked, 1u);
  EXPECT_EQ(target(linkFor("/docs/a.txt")), first);
  EXPECT_EQ(target(linkFor("/docs/b.txt")), folder + "/b.txt");
}

TEST_F(SyncFilesControllerTrashTest, NothingIsLinkedWhereItCouldDoHarm) {
  std::string trashed = trashFile("t.txt");
  // A real item already in the cache is not replaced by a link.
  fileutil::makeDirectories(fileutil::parentPath(linkFor("/kept.txt")));
  fileutil::writeFileAtomically(linkFor("/kept.txt"), "cached copy");
  EXPECT_EQ(sfc_.moveToCache(f_.full("/kept.txt"), trashed), Result::kFailed);
  EXPECT_EQ(fileutil::readFile(linkFor("/kept.txt")), "cached copy");

  // A link in the cache does not lead a new link out of it.
  std::string outside = f_.dir().sub("outside");
  fileutil::makeDirectories(outside);
  ASSERT_EQ(::symlink(outside.c_str(), linkFor("/escape").c_str()), 0);
  EXPECT_EQ(sfc_.moveToCache(f_.full("/escape/x.txt"), trashed), Result::kFailed);
  EXPECT_FALSE(fileutil::exists(outside + "/x.txt"));

  EXPECT_EQ(sfc_.moveToCache(f_.full("/../up.txt"), trashed), Result::kFailed);
  EXPECT_EQ(sfc_.moveToCache(f_.root(), trashed), Result::kFailed);
  f_.host().setRoot("");
  EXPECT_EQ(sfc_.moveToCache(f_.full("/a.txt"), trashed), Result::kFailed);
}

TEST_F(SyncFilesControllerTrashTest, ATrashedFolderWalkLinksEveryFileAndFollowsNoSymlink) {
  std::string folder = fileutil::joinPath(trash_, "Proj");
  trashFile("Proj/a");
  trashFile("Proj/sub/b");
  trashFile("Proj/sub/deeper/c");
  trashFile("Proj/caf\xe9");
  std::string outside = f_.dir().sub("outside");
  fileutil::makeDirectories(outside);
  fileutil::writeFileAtomically(outside + "/secret", "s");
  ASSERT_EQ(::symlink(folder.c_str(), (folder + "/loop").c_str()), 0);
  ASSERT_EQ(::symlink(outside.c_str(), (folder + "/sub/out").c_str()), 0);

  auto result = sfc_.moveFolderToCache(f_.full("/Proj"), folder + "/");
  EXPECT_EQ(result.linked, 6u);
  EXPECT_EQ(result.failed, 0u);
  EXPECT_EQ(result.folders, 3u);
  for (const char* rel : {"/a", "/sub/b", "/sub/deeper/c", "/caf\xe9", "/loop", "/sub/out"})
    EXPECT_EQ(target(linkFor(std::string("/Proj") + rel)), folder + rel) << rel;
  // Symlinks are linked as they are, never entered (three folders walked).
  EXPECT_TRUE(fileutil::isSymlink(linkFor("/Proj/loop")));
  EXPECT_TRUE(fileutil::isSymlink(linkFor("/Proj/sub/out")));
}

TEST_F(SyncFilesControllerTrashTest, AWalkPausesAfterAFileAtEveryFiftiethPlaceFoldersCounted) {
  struct Case {
    int files;
    int folders;
  } cases[] = {{120, 0}, {1, 50}, {60, 45}};
  for (const Case& c : cases) {
    const std::string name = "W" + std::to_string(c.files) + "-" + std::to_string(c.folders);
    const std::string folder = fileutil::joinPath(trash_, name);
    for (int i = 0; i < c.files; ++i) trashFile(name + "/f" + std::to_string(i));
    for (int i = 0; i < c.folders; ++i) fileutil::makeDirectories(folder + "/d" + std::to_string(i));
    // The places are those of the folder's own listing order.
    int filePauses = 0;
    int place = 0;
    DIR* dir = ::opendir(folder.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* e = ::readdir(dir)) {
      const std::string entry = e->d_name;
      if (entry == "." || entry == "..") continue;
      if (entry[0] == 'f' && place % 50 == 0) ++filePauses;
      ++place;
    }
    ::closedir(dir);

    const auto before = f_.clock().slept();
    auto result = sfc_.moveFolderToCache(f_.full("/" + name), folder);
    EXPECT_EQ(result.linked, static_cast<std::size_t>(c.files));
    EXPECT_EQ(f_.clock().slept() - before,
              filePauses * SyncFilesController::kWalkFilePause +
                  c.folders * SyncFilesController::kWalkFolderPause)
        << name;
  }
}

TEST_F(SyncFilesControllerTrashTest, OnlyTheLeadingTrashPathIsReplaced) {
  // The Trash path's own text appears again deeper in the trashed folder.
  std::string folder = fileutil::joinPath(trash_, "T");
  std::string nested = folder + folder + "/f";
  fileutil::makeDirectories(fileutil::parentPath(nested));
  fileutil::writeFileAtomically(nested, "x");

  auto result = sfc_.moveFolderToCache(f_.full("/D"), folder);
  EXPECT_EQ(result.linked, 1u);
  EXPECT_EQ(target(linkFor("/D" + folder + "/f")), nested);
}

TEST_F(SyncFilesControllerTrashTest, AFolderIsWalkedOnAThreadOfItsOwnWhateverItsDepth) {
  std::string relative = "Deep";
  for (int i = 0; i < 300; ++i) relative += "/d";
  std::string deepest = trashFile(relative + "/leaf");
  EXPECT_EQ(sfc_.moveToCache(f_.full("/Deep"), fileutil::joinPath(trash_, "Deep")),
            Result::kFolderWalkStarted);
  sfc_.waitForFolderWalks();
  EXPECT_EQ(target(linkFor("/" + relative + "/leaf")), deepest);
}

}  // namespace
}  // namespace ulmora::testing
