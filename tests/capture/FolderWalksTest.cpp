#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "CaptureFakes.h"
#include "TestTempDir.h"
#include "capture/DirectoryWalker.h"
#include "capture/ExcludedFilesCollections.h"
#include "capture/FolderEnumerator.h"
#include "capture/FolderEnumuration.h"
#include "capture/FolderEnumurationDelegate.h"
#include "capture/InotifyWatchTree.h"
#include "platform/FileUtil.h"
#include "platform/UniqueFd.h"

namespace ulmora {
namespace {

using testing::FakeJournalSink;
using testing::TestTempDir;

class FirstScan : public ::testing::Test {
 protected:
  FirstScan() : root(dir.sub("Sync")), outside(dir.sub("Outside")) {
    ExcludedFilesCollections::Config config;
    config.syncRoot = root;
    collections = std::make_unique<ExcludedFilesCollections>(config);
    ExclusionRules::Lists lists = ExclusionRules::builtInDefaults();
    lists.userExclusion = {"/Private", "*.iso"};
    collections->setExclusionLists(lists);
  }
  std::string file(const std::string& relative) { return dir.writeFile("Sync" + relative, "abc"); }

  TestTempDir dir;
  std::string root;
  std::string outside;
  FakeJournalSink sink;
  std::unique_ptr<ExcludedFilesCollections> collections;
};

TEST_F(FirstScan, HandsOnEveryFileNeitherExcludedNorDeselected) {
  std::set<std::string> expected = {file("/a.txt"), file("/d/b.txt"), file("/d/e/f/g.txt"),
                                    file("/Privateer/ok.txt"), file("/bad\xff.txt"),
                                    file("/Deselected2/kept.txt")};
  file("/.DS_Store");
  file("/d/movie.ISO");
  file("/d/get.part");
  file("/Private/secret.txt");
  file("/Deselected/gone.txt");
  file("/Deselected/deeper/gone.txt");
  // The agent's own cache (conflict copies, removed items) never goes up.
  file("/.UMSCache/ConflictData/a.txt");
  file("/.UMSCache/2024-01-02/d/b.txt");
  expected.insert(file("/d/.UMSCache/not-the-root-cache.txt"));
  file("/d/Deselected/not-the-same-folder.txt");
  expected.insert(root + "/d/Deselected/not-the-same-folder.txt");
  // A link is an item of its own; what it points to is not walked.
  dir.writeFile("Outside/target/outside.txt", "x");
  ASSERT_EQ(symlink((outside + "/target").c_str(), (root + "/link").c_str()), 0);
  ASSERT_EQ(symlink(root.c_str(), (root + "/d/loop").c_str()), 0);
  expected.insert(root + "/link");
  expected.insert(root + "/d/loop");
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);

  FolderEnumerator::Options options;
  options.root = root + "/";
  options.deselectedFolders = {"Deselected/"};
  options.batchSize = 3;
  FolderEnumerator scan(options, sink, *collections);
  const FolderEnumerator::Result result = scan.run();
  EXPECT_TRUE(result.completed);
  EXPECT_EQ(result.filesHandedOn, static_cast<int64_t>(expected.size()));
  EXPECT_EQ(sink.pathSet("addBackupFiles"), expected);
  for (const auto& call : sink.calls()) EXPECT_LE(call.paths.size(), 3u);
  EXPECT_TRUE(sink.paths("addOBBackupFiles").empty());
}

TEST_F(FirstScan, FoldersHoldingNothingToHandOnAreHandedOnAsFolders) {
  struct Case {
    const char* what;
    std::function<void()> make;
    std::set<std::string> folders;  // relative to the root
  };
  const std::vector<Case> cases = {
      {"an empty root", [] {}, {}},
      {"empty folders at every depth",
       [&] {
         fileutil::makeDirectories(root + "/e1");
         fileutil::makeDirectories(root + "/n/e2/e3");
       },
       {"/e1", "/n/e2/e3"}},
      {"a folder with a file, or a file deeper down",
       [&] {
         file("/f/a.txt");
         file("/g/h/b.txt");
       },
       {}},
      {"only what is never handed on",
       [&] {
         file("/ds/.DS_Store");
         fileutil::makeDirectories(root + "/fifo");
         ::mkfifo((root + "/fifo/pipe").c_str(), 0600);
       },
       {"/ds", "/fifo"}},
      {"excluded, deselected and cache folders",
       [&] {
         fileutil::makeDirectories(root + "/Private");
         fileutil::makeDirectories(root + "/Deselected");
         fileutil::makeDirectories(root + "/.UMSCache/2024-01-02");
         fileutil::makeDirectories(root + "/holds/Deselected2");
       },
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fileutil::removeAll(root);
    fileutil::makeDirectories(root);
    c.make();
    sink.clear();
    FolderEnumerator::Options options;
    options.root = root;
    options.deselectedFolders = {"/Deselected", "/holds/Deselected2"};
    FolderEnumerator scan(options, sink, *collections);
    const FolderEnumerator::Result result = scan.run();
    std::set<std::string> expected;
    for (const auto& f : c.folders) expected.insert(root + f);
    EXPECT_EQ(sink.pathSet("addDirectory"), expected);
    EXPECT_EQ(result.emptyFoldersHandedOn, static_cast<int64_t>(expected.size()));

    // The Out-of-Box variant creates no folders.
    sink.clear();
    options.outOfBox = true;
    FolderEnumerator outOfBox(options, sink, *collections);
    outOfBox.run();
    EXPECT_TRUE(sink.paths("addDirectory").empty());
  }
}

TEST_F(FirstScan, OutOfBoxVariantAndSingleFiles) {
  const std::string a = file("/a.txt");
  FolderEnumerator::Options options;
  options.root = root;
  options.outOfBox = true;
  options.deselectedFolders = {"/Deselected"};
  FolderEnumerator scan(options, sink, *collections);
  scan.run();
  EXPECT_EQ(sink.paths("addOBBackupFiles"), std::vector<std::string>{a});

  sink.clear();
  scan.didFoundFile(root + "/x.iso");
  scan.didFoundFile(root + "/Deselected/y");
  scan.didFoundFile(root + "/ok");
  EXPECT_EQ(sink.paths("addOBBackupFiles"), std::vector<std::string>{root + "/ok"});
}

TEST_F(FirstScan, MissingRootOrStopIsNotACompletedScan) {
  FolderEnumerator::Options options;
  options.root = root + "/none";
  FolderEnumerator missing(options, sink, *collections);
  EXPECT_FALSE(missing.run().completed);

  file("/a.txt");
  options.root = root;
  FolderEnumerator stopped(options, sink, *collections);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_FALSE(stopped.run(stop.get_token()).completed);
  EXPECT_TRUE(sink.calls().empty());

  // On its own thread, joined by stop().
  FolderEnumerator threaded(options, sink, *collections);
  threaded.start();
  ASSERT_TRUE(sink.waitFor([&] { return sink.contains("addBackupFiles", root + "/a.txt"); }));
  threaded.stop();
  EXPECT_FALSE(threaded.isRunning());
}

// Builds a chain of folders whose full path is longer than the kernel takes,
// and removes it again (neither can go through full paths).
class DeepChain {
 public:
  DeepChain(const std::string& top, int levels, const std::string& name) : top_(top), name_(name) {
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < levels && fd >= 0; ++i) {
      mkdirat(fd, name.c_str(), 0700);
      const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      fd = next;
      ++levels_;
    }
    if (fd >= 0) close(fd);
  }
  ~DeepChain() {
    // Remove from the bottom up, one level at a time through descriptors.
    for (int depth = levels_; depth > 0; --depth) {
      int fd = open(top_.c_str(), O_RDONLY | O_DIRECTORY);
      for (int i = 0; i < depth - 1 && fd >= 0; ++i) {
        const int next = openat(fd, name_.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
      }
      if (fd >= 0) {
        unlinkat(fd, name_.c_str(), AT_REMOVEDIR);
        close(fd);
      }
    }
  }

 private:
  std::string top_;
  std::string name_;
  int levels_ = 0;
};

TEST(DirectoryWalker, SurvivesTooLongPathsAndFoldersVanishingMidWalk) {
  TestTempDir dir;
  const std::string top = dir.sub("t");
  ASSERT_TRUE(fileutil::makeDirectories(top + "/a"));
  ASSERT_TRUE(fileutil::makeDirectories(top + "/b/c"));
  dir.writeFile("t/b/c/f", "x");
  int64_t skipped = 0;
  {
    DeepChain chain(top + "/a", 60, std::string(100, 'n'));  // about 6,000 bytes deep
    std::vector<int> errors;
    DirectoryWalker::Callbacks callbacks;
    callbacks.enterFolder = [&](const std::string& folder) {
      // Whichever of a and b is read first removes the other's subtree.
      if (folder == top + "/b") fileutil::removeAll(top + "/a/" + std::string(100, 'n'));
      if (folder == top + "/a") fileutil::removeAll(top + "/b/c");
      return true;
    };
    callbacks.folderSkipped = [&](const std::string&, int error) { errors.push_back(error); };
    const DirectoryWalker::Result result = DirectoryWalker::walk(top, callbacks);
    EXPECT_TRUE(result.topReadable);
    skipped = result.foldersSkipped;
    EXPECT_EQ(static_cast<int64_t>(errors.size()), skipped);
  }
  EXPECT_GE(skipped, 1);
}

// A folder on the way to the one about to be read or watched (the top
// itself, or a folder below it) is swapped for a link to a look-alike tree
// elsewhere after the walk passed it: neither the walk nor the watch may
// reach what lies there.
TEST(DirectoryWalker, AFolderOnTheWaySwappedForALinkCarriesNeitherTheWalkNorAWatchOutside) {
  for (const std::string swapped : {"", "/a"}) {
    SCOPED_TRACE("swapped: top" + swapped);
    TestTempDir dir;
    const std::string top = dir.sub("Sync");
    const std::string outside = dir.sub("Outside");
    dir.writeFile("Sync/a/b/inside.txt", "in");
    dir.writeFile("Outside/a/b/secret.txt", "out");
    auto swap = [&] {
      ASSERT_EQ(::rename((top + swapped).c_str(), dir.sub("Moved").c_str()), 0);
      ASSERT_EQ(::symlink((outside + swapped).c_str(), (top + swapped).c_str()), 0);
    };

    std::set<std::string> reported;
    DirectoryWalker::Callbacks callbacks;
    callbacks.enterFolder = [&](const std::string& folder) {
      if (folder == top + "/a/b") swap();
      return true;
    };
    callbacks.entry = [&](const DirectoryWalker::Entry& entry) {
      reported.insert(entry.path);
      return true;
    };
    DirectoryWalker::walk(top, callbacks);
    EXPECT_EQ(reported, (std::set<std::string>{top + "/a", top + "/a/b"}));

    // The watch, on the tree as the walk left it.
    ASSERT_EQ(::unlink((top + swapped).c_str()), 0);
    ASSERT_EQ(::rename(dir.sub("Moved").c_str(), (top + swapped).c_str()), 0);
    UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(inotify);
    InotifyWatchTree tree(inotify.get(), 0);
    ASSERT_EQ(tree.watchRoot(top), InotifyWatchTree::AddResult::kAdded);
    ASSERT_EQ(tree.watch(top + "/a"), InotifyWatchTree::AddResult::kAdded);
    swap();
    char events[4096];
    while (::read(inotify.get(), events, sizeof events) > 0) {
    }  // the swap's own events
    EXPECT_EQ(tree.watch(top + "/a/b"), InotifyWatchTree::AddResult::kGone);
    dir.writeFile("Outside/a/b/new.txt", "out");
    EXPECT_LT(::read(inotify.get(), events, sizeof events), 0) << "an event came from outside the root";
  }
}

// A burst that uses up the process's handles must not cost the files of the
// folders walked meanwhile: the walk waits for a handle instead.
TEST(DirectoryWalker, AFolderIsReadOnceAHandleIsFreeAgain) {
  TestTempDir dir;
  const std::string top = dir.sub("t");
  ASSERT_TRUE(fileutil::makeDirectories(top + "/a/b"));
  dir.writeFile("t/a/b/f", "x");
  const pid_t pid = ::fork();
  if (pid == 0) {
    rlimit limit{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
    int waits = 0;
    bool sawFile = false;
    int64_t skipped = 0;
    DirectoryWalker::Callbacks callbacks;
    callbacks.outOfHandles = [&](const std::string&) {
      // The handles come back after a while, as a burst's connections close.
      if (++waits < 3) return true;
      for (int fd : filler) ::close(fd);
      filler.clear();
      return true;
    };
    callbacks.entry = [&](const DirectoryWalker::Entry& e) {
      sawFile = sawFile || e.path == top + "/a/b/f";
      return true;
    };
    callbacks.folderSkipped = [&](const std::string&, int) { ++skipped; };
    const DirectoryWalker::Result result = DirectoryWalker::walk(top, callbacks);
    _exit(sawFile && skipped == 0 && result.foldersRead == 3 && waits == 3 ? 0 : 4);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

class RecordingDelegate final : public FolderEnumurationDelegate {
 public:
  void willStartSizeCalculationForFolder(const std::string& folder) override { add("start " + folder); }
  void didCalculateSizeofFolder(int64_t size) override { add("size " + std::to_string(size)); }
  void didFoundFile(const std::string& path) override {
    std::lock_guard<std::mutex> hold(mutex);
    files.insert(path);
  }
  void didEndCalculation(FolderEnumuration&) override {
    add("end");
    std::lock_guard<std::mutex> hold(mutex);
    ended = true;
    done.notify_all();
  }
  void add(const std::string& line) {
    std::lock_guard<std::mutex> hold(mutex);
    log.push_back(line);
  }

  std::mutex mutex;
  std::condition_variable done;
  bool ended = false;
  std::vector<std::string> log;
  std::set<std::string> files;
};

TEST(FolderEnumuration, SizesFilesAndDelegateCallsInOrder) {
  TestTempDir dir;
  const std::string a = dir.writeFile("a/one", "123");
  const std::string b = dir.writeFile("a/two", "12345");
  const std::string c = dir.writeFile("a/sub/three", "1234567");
  ASSERT_EQ(symlink(b.c_str(), dir.sub("a/link").c_str()), 0);
  const std::string e = dir.writeFile("e/x", "1");

  for (bool descend : {true, false}) {
    RecordingDelegate delegate;
    FolderEnumuration sizes;
    sizes.setDelegate(&delegate);
    sizes.shouldEnumerateFolder(descend);
    EXPECT_EQ(sizes.getFolderSize({dir.sub("a"), dir.sub("e")}),
              (std::vector<int64_t>{descend ? 15 : 8, 1}));
    EXPECT_EQ(delegate.log, (std::vector<std::string>{"start " + dir.sub("a"),
                                                      descend ? "size 15" : "size 8",
                                                      "start " + dir.sub("e"), "size 1", "end"}));
    std::set<std::string> expected{a, b, e};
    if (descend) expected.insert(c);
    EXPECT_EQ(delegate.files, expected);
  }

  RecordingDelegate delegate;
  {
    FolderEnumuration threaded;
    threaded.setDelegate(&delegate);
    threaded.start({dir.sub("a")});
    std::unique_lock<std::mutex> lock(delegate.mutex);
    ASSERT_TRUE(delegate.done.wait_for(lock, std::chrono::seconds(20), [&] { return delegate.ended; }));
  }
  EXPECT_EQ(delegate.files.size(), 3u);
}

}  // namespace
}  // namespace ulmora
