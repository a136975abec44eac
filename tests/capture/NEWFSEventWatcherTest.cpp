#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CaptureFakes.h"
#include "TestTempDir.h"
#include "WaitUntil.h"
#include "capture/ExcludedFilesCollections.h"
#include "capture/NEWFSEventWatcher.h"
#include "journal/SyncRecordBuilder.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

using testing::FakeCaptureDatabase;
using testing::FakeJournalSink;
using testing::move;
using testing::put;
using testing::TestTempDir;
using namespace std::chrono_literals;

void mkdirs(const std::string& path) { ASSERT_TRUE(fileutil::makeDirectories(path)); }
void write(const std::string& path, const std::string& text = "data") {
  ASSERT_TRUE(fileutil::writeFileAtomically(path, text)) << path;
}

class WatcherTest : public ::testing::Test {
 protected:
  WatcherTest() : root(dir.sub("Sync")), outside(dir.sub("Outside")) {
    fileutil::makeDirectories(root);
    fileutil::makeDirectories(outside);
    ExcludedFilesCollections::Config config;
    config.syncRoot = root;
    collections = std::make_unique<ExcludedFilesCollections>(config);
    options.syncRoot = root;
    // Hand-on is driven by flushNow(), so no test depends on timing; the
    // move window stays short because a move out needs it to pass.
    options.coalescingDelay = std::chrono::hours(1);
    options.moveWindow = 50ms;
  }
  ~WatcherTest() override { watcher.reset(); }

  void start() {
    watcher = std::make_unique<NEWFSEventWatcher>(options, sink, *collections);
    ASSERT_TRUE(watcher->start());
  }
  // Asks for hand-ons until `pred` holds (bounded).
  bool settle(const std::function<bool()>& pred, std::chrono::seconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      watcher->flushNow();
      if (sink.waitFor(pred, 100ms)) return true;
    }
    return false;
  }
  // Starts the watcher, runs `beforeAway`, renames the sync folder to `away`
  // and returns once the watcher has seen the folder go.
  void startThenTakeRootAway(const std::string& away, const std::function<void()>& beforeAway = {}) {
    std::atomic<bool> lost{false};
    setTraceSink([&](std::string_view line) {
      if (line.find("watching resumes when it is back") != std::string_view::npos) lost = true;
    });
    start();
    if (beforeAway) beforeAway();
    const bool moved = ::rename(root.c_str(), away.c_str()) == 0;
    const bool seen = moved && settle([&] { return lost.load(); });
    setTraceSink({});
    ASSERT_TRUE(moved);
    ASSERT_TRUE(seen);
  }
  // Waits for a marker file to be handed on: everything done before it has
  // then been handed on as well.
  void barrier() {
    const std::string marker = root + "/marker-" + std::to_string(++markers);
    put(marker);
    ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", marker); })) << marker;
  }
  // Two more turns of the watcher's loop: what was done before is read.
  bool read() {
    const std::uint64_t turns = watcher->loopTurns();
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (watcher->loopTurns() < turns + 2 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(1ms);
    return watcher->loopTurns() >= turns + 2;
  }
  bool anyCallMentions(const std::string& needle) const {
    for (const auto& call : sink.calls()) {
      for (const auto& p : call.paths) {
        if (p.find(needle) != std::string::npos) return true;
      }
      for (const auto& r : call.renames) {
        if (r.originalPath.find(needle) != std::string::npos ||
            r.renamedPath.find(needle) != std::string::npos) {
          return true;
        }
      }
    }
    return false;
  }

  TestTempDir dir;
  std::string root;
  std::string outside;
  FakeJournalSink sink;
  std::unique_ptr<ExcludedFilesCollections> collections;
  NEWFSEventWatcher::Options options;
  std::unique_ptr<NEWFSEventWatcher> watcher;
  int markers = 0;
};

TEST_F(WatcherTest, CreateModifyRemove) {
  write(root + "/old.txt");
  write(root + "/gone.txt");
  start();
  put(root + "/new.txt");
  put(root + "/old.txt", "changed");
  ASSERT_EQ(unlink((root + "/gone.txt").c_str()), 0);
  ASSERT_TRUE(settle([&] {
    return sink.contains("addBackupFiles", root + "/new.txt") &&
           sink.contains("addBackupFiles", root + "/old.txt") &&
           sink.contains("addDeleteFiles", root + "/gone.txt");
  }));
}

TEST_F(WatcherTest, RenameInsideTheRootIsOneRelativeRename) {
  write(root + "/a.txt");
  mkdirs(root + "/sub");
  start();
  move(root + "/a.txt", root + "/sub/b.txt");
  move(root + "/sub/b.txt", root + "/sub/B.TXT");  // case only
  ASSERT_TRUE(settle([&] { return sink.renames().size() == 2; }));
  EXPECT_EQ(sink.renames()[0], (RenameEntry{"/a.txt", "/sub/b.txt"}));
  EXPECT_EQ(sink.renames()[1], (RenameEntry{"/sub/b.txt", "/sub/B.TXT"}));
  barrier();
  EXPECT_TRUE(sink.paths("addDeleteFiles").empty());
}

TEST_F(WatcherTest, MovesOutOfAndIntoTheRoot) {
  write(root + "/leaving.txt");
  write(outside + "/arriving.txt");
  mkdirs(outside + "/tree/sub/deeper");
  write(outside + "/tree/x");
  write(outside + "/tree/sub/y");
  write(outside + "/tree/sub/deeper/z");
  start();
  move(root + "/leaving.txt", outside + "/left.txt");
  move(outside + "/arriving.txt", root + "/arrived.txt");
  move(outside + "/tree", root + "/tree");
  ASSERT_TRUE(settle([&] {
    return sink.contains("addDeleteFiles", root + "/leaving.txt") &&
           sink.contains("addBackupFiles", root + "/tree/sub/deeper/z");
  }));
  EXPECT_TRUE(sink.contains("addBackupFiles", root + "/arrived.txt"));
  EXPECT_EQ(sink.pathSet("addDirectory"),
            (std::set<std::string>{root + "/tree", root + "/tree/sub", root + "/tree/sub/deeper"}));
  EXPECT_TRUE(sink.contains("addBackupFiles", root + "/tree/x"));
  EXPECT_TRUE(sink.contains("addBackupFiles", root + "/tree/sub/y"));
  EXPECT_TRUE(sink.renames().empty());

  // The tree that came in is watched: a change deep inside it is seen.
  put(root + "/tree/sub/deeper/later.txt");
  ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/tree/sub/deeper/later.txt"); }));

  // A folder moved out is no longer watched: what happens to it there is
  // not ours.
  move(root + "/tree", outside + "/tree-back");
  ASSERT_TRUE(settle([&] { return sink.contains("addDeleteFiles", root + "/tree"); }));
  sink.clear();
  put(outside + "/tree-back/sub/after.txt");
  barrier();
  EXPECT_FALSE(anyCallMentions("after.txt"));
}

// A move out is known only when its second half does not come; anything put
// at its name meanwhile came after it and must survive it.
TEST_F(WatcherTest, AnItemPutWhereOneWasJustMovedOutIsHandedOn) {
  struct Case {
    const char* what;
    std::function<void()> act;
    std::function<void()> afterMoveWindow;
    std::vector<std::string> calls;  // method: relative paths, in order
  };
  const std::vector<Case> cases = {
      {"a file moved out, another moved in at its name",
       [&] {
         move(root + "/a", outside + "/a");
         move(outside + "/b", root + "/a");
       },
       [] {}, {"addBackupFiles /a"}},
      {"a file moved out, one made at its name",
       [&] {
         move(root + "/a", outside + "/a");
         put(root + "/a", "new");
       },
       [] {}, {"addBackupFiles /a"}},
      {"a file moved out, another renamed to its name",
       [&] {
         move(root + "/a", outside + "/a");
         move(root + "/c", root + "/a");
       },
       [] {}, {"addDeleteFiles /a", "addRenamedFiles /c>/a"}},
      {"a folder moved out, another moved in at its name",
       [&] {
         move(root + "/d", outside + "/d");
         move(outside + "/e", root + "/d");
       },
       [&] { put(root + "/d/later"); },  // the folder that came in is still watched
       {"addDeleteFiles /d", "addDirectory /d", "addBackupFiles /d/later /d/x"}},
  };
  // The move window closes only when the clock is moved.
  ManualClock clock;
  options.clock = &clock;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(fileutil::removeAll(root));
    ASSERT_TRUE(fileutil::removeAll(outside));
    mkdirs(root + "/d");
    mkdirs(outside + "/e");
    write(root + "/a");
    write(root + "/c");
    write(root + "/d/old");
    write(outside + "/b", "other");
    write(outside + "/e/x");
    sink.clear();
    start();
    c.act();
    ASSERT_TRUE(read());
    clock.advance(1s);
    ASSERT_TRUE(read());
    c.afterMoveWindow();
    watcher.reset();  // hands on what is pending
    std::vector<std::string> calls;
    for (const auto& call : sink.calls()) {
      std::string line = call.method;
      for (const std::string& p : call.paths) line += " " + p.substr(root.size());
      for (const RenameEntry& r : call.renames) line += " " + r.originalPath + ">" + r.renamedPath;
      calls.push_back(line);
    }
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(WatcherTest, FolderCreatedAndFilledAtOnce) {
  start();
  mkdirs(root + "/new/a/b/c");
  put(root + "/new/top.txt");
  put(root + "/new/a/b/c/bottom.txt");
  mkdirs(root + "/new/empty");
  ASSERT_TRUE(settle([&] {
    return sink.contains("addBackupFiles", root + "/new/a/b/c/bottom.txt") &&
           sink.contains("addBackupFiles", root + "/new/top.txt") &&
           sink.pathSet("addDirectory").size() == 5;
  }));
  EXPECT_EQ(sink.pathSet("addDirectory"),
            (std::set<std::string>{root + "/new", root + "/new/a", root + "/new/a/b",
                                   root + "/new/a/b/c", root + "/new/empty"}));
}

TEST_F(WatcherTest, RenamedFolderKeepsItsWatchesUnderTheNewName) {
  mkdirs(root + "/d/sub");
  start();
  move(root + "/d", root + "/e");
  put(root + "/e/sub/new.txt");
  ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/e/sub/new.txt"); }));
  EXPECT_EQ(sink.renames(), (std::vector<RenameEntry>{{"/d", "/e"}}));
  EXPECT_FALSE(anyCallMentions(root + "/d/"));
}

TEST_F(WatcherTest, ShortLivedFilesAreNeverHandedOn) {
  start();
  put(root + "/transient.tmpfile");
  ASSERT_EQ(unlink((root + "/transient.tmpfile").c_str()), 0);
  mkdirs(root + "/scratch/inner");
  put(root + "/scratch/inner/f");
  ASSERT_TRUE(fileutil::removeAll(root + "/scratch"));
  barrier();
  EXPECT_FALSE(anyCallMentions("transient"));
  EXPECT_FALSE(anyCallMentions("scratch"));
}

TEST_F(WatcherTest, AtomicSaveThroughAnExcludedTemporaryNameIsAnUpload) {
  write(root + "/doc.txt", "v1");
  start();
  put(root + "/.goutputstream-ABC123", "v2");
  move(root + "/.goutputstream-ABC123", root + "/doc.txt");
  ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/doc.txt"); }));
  barrier();
  EXPECT_TRUE(sink.renames().empty());
  EXPECT_FALSE(anyCallMentions("goutputstream"));
}

TEST_F(WatcherTest, IgnoredAndExcludedItemsAreDropped) {
  ExclusionRules::Lists lists = ExclusionRules::builtInDefaults();
  lists.userExclusion = {"/Private", "*.iso"};
  collections->setExclusionLists(lists);
  mkdirs(root + "/Private");
  start();
  put(root + "/.DS_Store");
  put(root + "/Private/secret.txt");
  put(root + "/movie.ISO");
  put(root + "/download.part");
  mkdirs(root + "/Private/deeper");
  barrier();
  EXPECT_FALSE(anyCallMentions(".DS_Store"));
  EXPECT_FALSE(anyCallMentions("Private"));
  EXPECT_FALSE(anyCallMentions("movie"));
  EXPECT_FALSE(anyCallMentions("download.part"));
  // Renamed into an excluded name: gone as far as the server is concerned.
  write(root + "/keep.txt");
  barrier();
  move(root + "/keep.txt", root + "/keep.part");
  ASSERT_TRUE(settle([&] { return sink.contains("addDeleteFiles", root + "/keep.txt"); }));
}

TEST_F(WatcherTest, TheSyncsOwnChangesAreNotSentBack) {
  write(root + "/server-renamed.txt");
  write(root + "/cached.txt");
  write(root + "/auto-deleted.txt");
  write(root + "/user-deleted.bin");
  mkdirs(root + "/old-folder/inner");
  write(root + "/old-folder/inner/f");
  start();

  // A rename the sync makes: expected once.
  collections->addToAvoidRename(RenameEntry{"/server-renamed.txt", "/renamed.txt"});
  move(root + "/server-renamed.txt", root + "/renamed.txt");
  // A guarded move into the cache, outside the root.
  collections->addToExclude(root + "/cached.txt");
  move(root + "/cached.txt", outside + "/cached.txt");
  // Deletes the sync makes, a folder with its contents included.
  collections->AaddToAvoidAutoDelete("/auto-deleted.txt");
  collections->AaddToAvoidAutoDelete("/old-folder");
  ASSERT_EQ(unlink((root + "/auto-deleted.txt").c_str()), 0);
  ASSERT_TRUE(fileutil::removeAll(root + "/old-folder"));
  // A folder the sync creates from the server.
  collections->addToAvoidFolderCreation("/From Server");
  mkdirs(root + "/From Server");
  // An expected size is about half-downloaded files: the user's delete
  // still goes to the server.
  collections->addToAvoidDelete("/user-deleted.bin", "100");
  ASSERT_EQ(unlink((root + "/user-deleted.bin").c_str()), 0);

  ASSERT_TRUE(settle([&] { return sink.contains("addDeleteFiles", root + "/user-deleted.bin"); }));
  barrier();
  EXPECT_TRUE(sink.renames().empty());
  EXPECT_EQ(sink.paths("addDeleteFiles"), std::vector<std::string>{root + "/user-deleted.bin"});
  EXPECT_TRUE(sink.paths("addDirectory").empty());

  // The expected rename was used up: the same rename by the user is passed on.
  move(root + "/renamed.txt", root + "/server-renamed.txt");
  move(root + "/server-renamed.txt", root + "/renamed.txt");
  ASSERT_TRUE(settle([&] { return sink.renames().size() == 2; }));
}

// The sync moves a file over the name (a server rename of an editor's
// temporary file) and the user saves in place while that move's paths are
// still kept from the capture: the save is the user's and goes up.
TEST_F(WatcherTest, AWriteRightAfterTheSyncsOwnMoveIsTheUsers) {
  write(root + "/.draft.txt.swp", "the server's version");
  write(root + "/draft.txt", "older");
  start();
  collections->addToExclude(root + "/draft.txt");
  collections->addToExclude(root + "/.draft.txt.swp");
  collections->addToAvoidRename(RenameEntry{"/.draft.txt.swp", "/draft.txt"});
  move(root + "/.draft.txt.swp", root + "/draft.txt");
  put(root + "/draft.txt", "the user's edit");
  ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/draft.txt"); }));
  EXPECT_TRUE(sink.renames().empty());
  EXPECT_TRUE(sink.paths("addDeleteFiles").empty());
}

// A download's write whose report came before the hand-on is not captured
// (the report queued its row); anything the user did to the file after the
// report, before or after that hand-on, is.
TEST_F(WatcherTest, ADownloadsOwnWriteIsLeftOutAndAnEditAfterItIsNot) {
  mkdirs(root + "/d");
  start();
  struct Case {
    std::string name;
    bool reported;                              // the download's report came
    std::function<void(const std::string&)> after;  // what the user did after it
    bool handedOn;
  };
  const std::vector<Case> cases = {
      {"own-write", true, nullptr, false},
      {"report-not-yet", false, nullptr, true},
      {"edited", true, [](const std::string& p) { put(p, "the user's longer edit"); }, true},
      {"appended", true,
       [](const std::string& p) {
         FILE* f = std::fopen(p.c_str(), "a");
         ASSERT_NE(f, nullptr);
         std::fputs("!", f);
         std::fclose(f);
       },
       true},
      {"saved-over", true, [](const std::string& p) { write(p, "server"); }, true},
      {"mode", true, [](const std::string& p) { ASSERT_EQ(chmod(p.c_str(), 0604), 0); }, true},
  };
  for (const Case& c : cases) {
    const std::string full = root + "/d/" + c.name;
    collections->addToAvoidBackup("/d/" + c.name);
    put(full, "server");
    if (c.reported) collections->downloadWritten("/d/" + c.name, "6");
    if (c.after) c.after(full);
  }
  barrier();
  for (const Case& c : cases)
    EXPECT_EQ(sink.contains("addBackupFiles", root + "/d/" + c.name), c.handedOn) << c.name;

  // The write left out: the user's edit of it later is a change of its own.
  put(root + "/d/own-write", "edited after the hand-on");
  ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/d/own-write"); }));
}

TEST_F(WatcherTest, AttributeChangesTheSyncMadeAreIgnored) {
  write(root + "/owned.txt");
  write(root + "/touched.txt");
  start();
  collections->addTomFileInfoChangedManualyList(root + "/owned.txt");
  ASSERT_EQ(chmod((root + "/owned.txt").c_str(), 0640), 0);
  ASSERT_EQ(chmod((root + "/touched.txt").c_str(), 0640), 0);
  ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/touched.txt"); }));
  barrier();
  EXPECT_FALSE(sink.contains("addBackupFiles", root + "/owned.txt"));
}

TEST_F(WatcherTest, NamesAreBytesSymlinksAreNotFollowedDeepTreesWork) {
  mkdirs(outside + "/target");
  start();
  const std::string bad = root + "/bad\xff\xfe.txt";
  const std::string newline = root + "/line\nbreak.txt";
  put(bad);
  put(newline);
  ASSERT_EQ(symlink((outside + "/target").c_str(), (root + "/link").c_str()), 0);
  std::string deep = root;
  for (int i = 0; i < 120; ++i) deep += "/d" + std::to_string(i);
  mkdirs(deep);
  put(deep + "/bottom.txt");
  ASSERT_TRUE(settle([&] {
    return sink.contains("addBackupFiles", bad) && sink.contains("addBackupFiles", newline) &&
           sink.contains("addBackupFiles", root + "/link") &&
           sink.contains("addBackupFiles", deep + "/bottom.txt");
  }));
  put(outside + "/target/through-link.txt");
  barrier();
  EXPECT_FALSE(anyCallMentions("through-link"));
}

TEST_F(WatcherTest, StopHandsOnWhatIsPending) {
  start();
  put(root + "/last-minute.txt");
  watcher->stop();
  EXPECT_TRUE(sink.contains("addBackupFiles", root + "/last-minute.txt"));
}

TEST_F(WatcherTest, CoalescingWindowRunsOnTheInjectedClock) {
  ManualClock clock;
  options.clock = &clock;
  options.coalescingDelay = 1s;
  start();
  put(root + "/a.txt");
  bool seen = false;
  for (int i = 0; i < 200 && !seen; ++i) {
    clock.advance(1s);
    seen = sink.waitFor([&] { return sink.contains("addBackupFiles", root + "/a.txt"); }, 50ms);
  }
  EXPECT_TRUE(seen);
  watcher.reset();  // before the clock it reads goes
}

TEST_F(WatcherTest, BurstOfTenThousandFilesAllArrive) {
  options.coalescingDelay = 100ms;
  mkdirs(root + "/burst");
  start();
  constexpr int kFiles = 10000;
  for (int i = 0; i < kFiles; ++i) put(root + "/burst/f" + std::to_string(i), "x");
  ASSERT_TRUE(sink.waitFor([&] { return sink.pathSet("addBackupFiles").size() >= kFiles; }, 120s))
      << sink.pathSet("addBackupFiles").size();
  const auto paths = sink.pathSet("addBackupFiles");
  for (int i = 0; i < kFiles; i += 997) EXPECT_TRUE(paths.count(root + "/burst/f" + std::to_string(i)));
}

TEST_F(WatcherTest, QueueOverflowComparesTheFolderWithTheDatabase) {
  FakeCaptureDatabase database;
  options.database = &database;
  options.isDeselected = [](const std::string& path) { return path.rfind("/Deselected", 0) == 0; };
  mkdirs(root + "/d");
  write(root + "/same.txt", "1234");
  write(root + "/d/changed.txt", "12345");
  write(root + "/unknown.txt");
  auto rowFor = [&](const std::string& relative, const std::string& size) {
    struct stat st;
    EXPECT_EQ(lstat((root + relative).c_str(), &st), 0);
    LocalFileRow row;
    row.path = relative;
    row.size = size;
    row.modificationDate = syncrecord::dateText(Clock::WallTime(std::chrono::seconds(st.st_mtim.tv_sec)));
    return row;
  };
  std::vector<LocalFileRow> rows{rowFor("/same.txt", "4"), rowFor("/d/changed.txt", "4")};
  rows.push_back(LocalFileRow{"/vanished.txt", "NA", "3", false, false});
  rows.push_back(LocalFileRow{"/not-yet-downloaded.txt", "NA", "3", false, true});
  // Set aside for the server's copy, whose download is under way or queued,
  // before the row says so.
  rows.push_back(LocalFileRow{"/being-downloaded.txt", "NA", "3", false, false});
  rows.push_back(LocalFileRow{"/queued-download.txt", "NA", "3", false, false});
  collections->addToRestoreSetOfEngineOne("/being-downloaded.txt");
  options.downloadsQueued = [] { return std::vector<std::string>{"queued-download.txt"}; };
  rows.push_back(LocalFileRow{"/Deselected/f.txt", "NA", "3", false, false});
  rows.push_back(LocalFileRow{"/d", "NA", "0", true, false});
  rows.push_back(LocalFileRow{"/../outside.txt", "NA", "3", false, false});
  database.setRows(rows);
  start();
  watcher->simulateQueueOverflow();
  ASSERT_TRUE(settle([&] {
    return sink.contains("addDeleteFiles", root + "/vanished.txt") &&
           sink.contains("addBackupFiles", root + "/unknown.txt");
  }));
  EXPECT_EQ(sink.pathSet("addBackupFiles"),
            (std::set<std::string>{root + "/d/changed.txt", root + "/unknown.txt"}));
  EXPECT_EQ(sink.paths("addDeleteFiles"), std::vector<std::string>{root + "/vanished.txt"});

  // Without a readable database nothing is reported removed, everything changed.
  sink.clear();
  database.rows.reset();
  watcher->simulateQueueOverflow();
  ASSERT_TRUE(settle([&] { return sink.pathSet("addBackupFiles").size() == 3; }));
  EXPECT_TRUE(sink.paths("addDeleteFiles").empty());
}

// The kernel's queue drops everything after the point where it overflowed;
// what happened before it was handed on to the coalescer. Only what differs
// after the rescan may reach the server: a removal undone while events were
// lost (the item put, moved or copied back) is no removal, and a folder
// renamed meanwhile is a rename, not the delete of the folder (with what
// other computers put in it) and the upload of its contents.
TEST_F(WatcherTest, AfterLostEventsOnlyWhatDiffersIsHandedOn) {
  struct Case {
    const char* what;
    std::function<void()> seen;  // before the queue overflows
    std::function<void()> lost;  // after it: never reported
    std::set<std::string> removed;  // relative
    std::set<std::string> uploaded;
    std::vector<RenameEntry> renamed;
  };
  // Every item as the database recorded it: same size, same second.
  const auto stamp = std::chrono::seconds(1700000000);
  auto putAt = [stamp](const std::string& path, const std::string& text) {
    put(path, text);
    const timespec times[2] = {{stamp.count(), 0}, {stamp.count(), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  };
  auto rm = [](const std::string& path) { ASSERT_TRUE(fileutil::removeAll(path)) << path; };
  auto nothing = [] {};
  const std::vector<Case> cases = {
      {"a file removed, then put back as it was", [&] { rm(root + "/keep.txt"); },
       [&] { putAt(root + "/keep.txt", "keep"); }, {}, {"/keep.txt"}, {}},
      {"a folder removed, then copied back whole", [&] { rm(root + "/d"); },
       [&] {
         mkdirs(root + "/d");
         putAt(root + "/d/a.txt", "a");
         putAt(root + "/d/b.txt", "b");
       },
       {}, {"/d/a.txt", "/d/b.txt"}, {}},
      {"a folder removed, then made again with one of its files", [&] { rm(root + "/d"); },
       [&] {
         mkdirs(root + "/d");
         putAt(root + "/d/a.txt", "a");
       },
       {"/d/b.txt"}, {"/d/a.txt"}, {}},
      {"a file moved out, then moved back", [&] { move(root + "/keep.txt", outside + "/keep.txt"); },
       [&] { move(outside + "/keep.txt", root + "/keep.txt"); }, {}, {"/keep.txt"}, {}},
      {"a folder moved out, then moved back", [&] { move(root + "/d", outside + "/d"); },
       [&] { move(outside + "/d", root + "/d"); }, {}, {}, {}},
      {"a folder removed, and a file of its name put there", [&] { rm(root + "/d"); },
       [&] { putAt(root + "/d", "now a file"); }, {"/d", "/d/a.txt", "/d/b.txt"}, {"/d"}, {}},
      {"a folder renamed", nothing, [&] { move(root + "/d", root + "/e"); }, {}, {}, {{"/d", "/e"}}},
      {"a folder renamed, and one made at its former name", nothing,
       [&] {
         move(root + "/d", root + "/e");
         mkdirs(root + "/d");
         put(root + "/d/c.txt");
       },
       {}, {"/d/c.txt"}, {{"/d", "/e"}}},
      {"a folder moved out", [&] { move(root + "/d", outside + "/d"); }, nothing, {"/d", "/d/a.txt", "/d/b.txt"},
       {}, {}},
      {"a file removed during the loss", nothing, [&] { rm(root + "/gone.txt"); }, {"/gone.txt"}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(fileutil::removeAll(root));
    ASSERT_TRUE(fileutil::removeAll(outside));
    mkdirs(root + "/d");
    mkdirs(outside);
    putAt(root + "/keep.txt", "keep");
    putAt(root + "/gone.txt", "gone");
    putAt(root + "/d/a.txt", "a");
    putAt(root + "/d/b.txt", "b");
    const std::string date = syncrecord::dateText(Clock::WallTime(stamp));
    FakeCaptureDatabase database;
    database.setRows({{"/keep.txt", date, "4", false, false},
                      {"/gone.txt", date, "4", false, false},
                      {"/d", "NA", "0", true, false},
                      {"/d/a.txt", date, "1", false, false},
                      {"/d/b.txt", date, "1", false, false}});
    // Moves wait for their second half, and changes for their hand-on, on a
    // clock that never moves: until the overflow, nothing leaves.
    ManualClock clock;
    options.clock = &clock;
    options.database = &database;
    sink.clear();
    start();
    c.seen();
    ASSERT_TRUE(read());
    watcher->loseEventsUntilOverflow();
    c.lost();
    watcher->simulateQueueOverflow();
    barrier();
    std::set<std::string> removed, uploaded;
    for (const std::string& path : sink.paths("addDeleteFiles")) removed.insert(path.substr(root.size()));
    for (const std::string& path : sink.paths("addBackupFiles"))
      if (path.find("/marker-") == std::string::npos) uploaded.insert(path.substr(root.size()));
    EXPECT_EQ(removed, c.removed);
    EXPECT_EQ(uploaded, c.uploaded);
    EXPECT_EQ(sink.renames(), c.renamed);
    watcher.reset();
  }
}

TEST_F(WatcherTest, WatchLimitIsReportedAndUnwatchedFoldersAreRescanned) {
  std::mutex traceMutex;
  std::vector<std::string> traces;
  setTraceSink([&](std::string_view line) {
    std::lock_guard<std::mutex> hold(traceMutex);
    traces.emplace_back(line);
  });
  std::atomic<int> limitedCalls{0};
  std::atomic<int> clearedCalls{0};
  options.maxWatches = 1;  // the root only
  options.rescanInterval = 50ms;
  options.watchLimitChanged = [&](bool limited) { ++(limited ? limitedCalls : clearedCalls); };
  mkdirs(root + "/w1");
  mkdirs(root + "/w2/inner");
  write(root + "/w2/inner/old.txt");
  start();
  EXPECT_TRUE(watcher->watchLimitReached());
  EXPECT_EQ(watcher->watchCount(), 1u);
  EXPECT_EQ(limitedCalls.load(), 1);

  put(root + "/w2/inner/new.txt");
  put(root + "/w2/inner/old.txt", "changed");
  ASSERT_TRUE(fileutil::removeAll(root + "/w1"));
  ASSERT_TRUE(settle([&] {
    return sink.contains("addBackupFiles", root + "/w2/inner/new.txt") &&
           sink.contains("addBackupFiles", root + "/w2/inner/old.txt") &&
           sink.contains("addDeleteFiles", root + "/w1");
  }));
  ASSERT_TRUE(fileutil::removeAll(root + "/w2"));
  ASSERT_TRUE(settle([&] { return sink.contains("addDeleteFiles", root + "/w2"); }));
  ASSERT_TRUE(sink.waitFor([&] { return !watcher->watchLimitReached(); }, 5s));
  watcher.reset();
  setTraceSink({});
  EXPECT_EQ(clearedCalls.load(), 1);
  bool traced = false;
  for (const auto& line : traces) traced = traced || line.find("watch limit") != std::string::npos;
  EXPECT_TRUE(traced);
}

// Beyond the watch limit only a snapshot tells what went; a file set aside
// for the server's copy is missing until that download writes it.
TEST_F(WatcherTest, AFileAwaitingItsDownloadIsNotRemovedBeyondTheWatchLimit) {
  options.maxWatches = 1;  // the root only
  options.rescanInterval = 50ms;
  options.downloadsQueued = [] { return std::vector<std::string>{"/w/queued.txt"}; };
  mkdirs(root + "/w");
  for (const char* name : {"under-way.txt", "queued.txt", "removed.txt"}) write(root + "/w/" + name);
  collections->addToRestoreSetOfEngineOne("/w/under-way.txt");
  start();
  ASSERT_TRUE(watcher->watchLimitReached());
  for (const char* name : {"under-way.txt", "queued.txt", "removed.txt"})
    ASSERT_TRUE(fileutil::removeAll(root + "/w/" + name));
  ASSERT_TRUE(settle([&] { return sink.contains("addDeleteFiles", root + "/w/removed.txt"); }));
  barrier();
  EXPECT_EQ(sink.pathSet("addDeleteFiles"), std::set<std::string>{root + "/w/removed.txt"});
}

TEST_F(WatcherTest, RootRemovedDoesNotDeleteTheServersCopy) {
  write(root + "/a.txt");
  mkdirs(root + "/d");
  write(root + "/d/b.txt");
  options.rescanInterval = 50ms;
  start();
  ASSERT_TRUE(fileutil::removeAll(root));
  // Back again, with something new in it.
  mkdirs(root);
  write(root + "/fresh.txt");
  ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/fresh.txt"); }));
  EXPECT_TRUE(sink.paths("addDeleteFiles").empty());
  put(root + "/after-return.txt");
  ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/after-return.txt"); }));
}

TEST_F(WatcherTest, ARootReplacedByALinkIsNeverFollowedAndTheRealFolderIsTakenUpAgain) {
  struct Case {
    const char* what;
    bool linkBeforeStart;
  };
  const std::string away = root + ".real";
  options.rescanInterval = 50ms;
  for (const Case& c : {Case{"replaced while watched", false}, Case{"a link at start", true}}) {
    SCOPED_TRACE(c.what);
    fileutil::removeAll(root);
    fileutil::removeAll(away);
    mkdirs(root);
    write(root + "/kept.txt");
    sink.clear();
    if (!c.linkBeforeStart) start();
    ASSERT_EQ(::rename(root.c_str(), away.c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), root.c_str()), 0);
    if (c.linkBeforeStart) start();
    // Several looks for the root (one per turn of the loop while it is
    // away) go by while it is a link.
    for (int look = 0; look < 4; ++look) {
      put(outside + "/outside-" + std::to_string(look) + ".txt");
      const auto target = watcher->loopTurns() + 3;
      const auto end = std::chrono::steady_clock::now() + 10s;
      while (watcher->loopTurns() < target && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
      ASSERT_GE(watcher->loopTurns(), target);
    }
    watcher->flushNow();
    // The real folder back, changed meanwhile.
    write(away + "/while-away.txt");
    ASSERT_EQ(::unlink(root.c_str()), 0);
    ASSERT_EQ(::rename(away.c_str(), root.c_str()), 0);
    ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/while-away.txt"); }));
    barrier();
    EXPECT_FALSE(anyCallMentions("outside-"));
    EXPECT_TRUE(sink.paths("addDeleteFiles").empty());
    watcher.reset();
  }
}

TEST_F(WatcherTest, RenamesPendingWhenTheRootGoesAreHandedOnWhenItIsBack) {
  struct Case {
    const char* what;
    std::function<void()> beforeTheRootGoes;
    std::function<void()> whileItIsAway;  // on the folder under its other name
    std::vector<RenameEntry> handedOn;
  };
  const std::string away = root + ".away";
  const std::vector<Case> cases = {
      {"a file renamed", [&] { ASSERT_EQ(::rename((root + "/old.txt").c_str(), (root + "/new.txt").c_str()), 0); },
       nullptr, {{"/old.txt", "/new.txt"}}},
      {"a chain of renames",
       [&] {
         ASSERT_EQ(::rename((root + "/old.txt").c_str(), (root + "/mid.txt").c_str()), 0);
         ASSERT_EQ(::rename((root + "/mid.txt").c_str(), (root + "/end.txt").c_str()), 0);
       },
       nullptr, {{"/old.txt", "/mid.txt"}, {"/mid.txt", "/end.txt"}}},
      {"a folder renamed", [&] { ASSERT_EQ(::rename((root + "/d").c_str(), (root + "/e").c_str()), 0); }, nullptr,
       {{"/d", "/e"}}},
      {"a rename undone while away",
       [&] { ASSERT_EQ(::rename((root + "/old.txt").c_str(), (root + "/new.txt").c_str()), 0); },
       [&] { ASSERT_EQ(::rename((away + "/new.txt").c_str(), (away + "/old.txt").c_str()), 0); }, {}},
  };
  options.rescanInterval = 50ms;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fileutil::removeAll(root);
    mkdirs(root);
    write(root + "/old.txt");
    write(root + "/gone.txt");
    mkdirs(root + "/d");
    write(root + "/d/in.txt");
    sink.clear();
    start();
    c.beforeTheRootGoes();
    ASSERT_EQ(::unlink((root + "/gone.txt").c_str()), 0);
    // Two turns of the watcher's loop, each woken by a file of its own: the
    // events before them are read, and still pending.
    for (int tick = 0; tick < 2; ++tick) {
      const auto before = watcher->loopTurns();
      write(root + "/tick-" + std::to_string(tick));
      testing::waitUntil([&] { return watcher->loopTurns() != before; }, 10s, 1ms);
      ASSERT_GT(watcher->loopTurns(), before);
    }
    ASSERT_EQ(::rename(root.c_str(), away.c_str()), 0);
    if (c.whileItIsAway) c.whileItIsAway();
    ASSERT_EQ(::rename(away.c_str(), root.c_str()), 0);
    barrier();
    std::vector<RenameEntry> renames;
    for (const auto& call : sink.calls()) renames.insert(renames.end(), call.renames.begin(), call.renames.end());
    EXPECT_EQ(renames, c.handedOn);
    // The delete pending when the folder went is never handed on.
    EXPECT_TRUE(sink.paths("addDeleteFiles").empty());
    watcher.reset();
  }
}

// Files renamed while the sync folder was away (or before it was watched
// again): a file gone and one the database does not know, with its size and
// time, are handed on as one rename; a name nothing or more than one thing
// could match is new. What is gone is the user's removal when the same
// folder came back, inside a folder as well as at the top, and never deleted
// when another folder (a copy) stands in its place. A folder the database
// knows is not new because the folder came back; one made meanwhile is.
TEST_F(WatcherTest, AFileRenamedWhileTheRootWasAwayIsHandedOnAsARename) {
  struct Case {
    const char* what;
    bool copyPutBack;
    std::vector<std::string> deleted;
  };
  const std::vector<Case> cases = {
      {"the same folder back", false, {"/album/gone.txt", "/gone.txt", "/twin-a.txt", "/twin-b.txt"}},
      {"a copy put in its place", true, {}},
  };
  options.rescanInterval = 50ms;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fileutil::removeAll(root);
    mkdirs(root);
    sink.clear();
    FakeCaptureDatabase database;
    options.database = &database;
    write(root + "/old.txt", "one file");
    write(root + "/twin-a.txt", "twin");
    write(root + "/twin-b.txt", "twin");
    // Of a size no other file here has (the barrier's markers included):
    // removed, it must not be paired with a file written in the same second.
    write(root + "/gone.txt", "removed while the folder was away");
    mkdirs(root + "/album");
    write(root + "/album/gone.txt", "removed from a folder while the folder was away");
    for (const char* twin : {"/twin-a.txt", "/twin-b.txt"}) {
      struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, (root + twin).c_str(), times, 0), 0);
    }
    auto rowFor = [&](const std::string& relative) {
      struct stat st;
      EXPECT_EQ(lstat((root + relative).c_str(), &st), 0);
      return LocalFileRow{relative, syncrecord::dateText(Clock::WallTime(std::chrono::seconds(st.st_mtim.tv_sec))),
                          std::to_string(st.st_size), false, false};
    };
    LocalFileRow album = rowFor("/album");
    album.isFolder = true;
    database.setRows({rowFor("/old.txt"), rowFor("/twin-a.txt"), rowFor("/twin-b.txt"), rowFor("/gone.txt"), album,
                      rowFor("/album/gone.txt")});
    // The renames below must come after the watcher has seen the folder go:
    // before that it still watches the moved folder and would take them as
    // ordinary renames.
    const std::string away = root + ".away";
    fileutil::removeAll(away);
    ASSERT_NO_FATAL_FAILURE(startThenTakeRootAway(away));
    ASSERT_EQ(::rename((away + "/old.txt").c_str(), (away + "/new.txt").c_str()), 0);
    ASSERT_EQ(::rename((away + "/twin-a.txt").c_str(), (away + "/twin-c.txt").c_str()), 0);
    ASSERT_EQ(::rename((away + "/twin-b.txt").c_str(), (away + "/twin-d.txt").c_str()), 0);
    ASSERT_EQ(::unlink((away + "/gone.txt").c_str()), 0);
    ASSERT_EQ(::unlink((away + "/album/gone.txt").c_str()), 0);
    write(away + "/fresh.txt");
    mkdirs(away + "/made-while-away");
    if (c.copyPutBack) {
      // A copy keeps the times, so the rename is still seen. It is made
      // beside the folder and moved into place whole: read while half
      // copied, the renamed file would rightly be a new one.
      const std::string copy = "cp -a '" + away + "' '" + root + ".copy' && mv '" + root + ".copy' '" + root +
                               "' && rm -rf '" + away + "'";
      ASSERT_EQ(std::system(copy.c_str()), 0);
    } else {
      ASSERT_EQ(::rename(away.c_str(), root.c_str()), 0);
    }
    barrier();
    std::vector<RenameEntry> renames;
    for (const auto& call : sink.calls()) renames.insert(renames.end(), call.renames.begin(), call.renames.end());
    EXPECT_EQ(renames, (std::vector<RenameEntry>{{"/old.txt", "/new.txt"}}));
    EXPECT_FALSE(sink.contains("addBackupFiles", root + "/new.txt"));
    for (const char* fresh : {"/twin-c.txt", "/twin-d.txt", "/fresh.txt"})
      EXPECT_TRUE(sink.contains("addBackupFiles", root + fresh)) << fresh;
    std::vector<std::string> deleted;
    for (const std::string& path : sink.paths("addDeleteFiles")) deleted.push_back(path.substr(root.size()));
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(deleted, c.deleted);
    // A copy may be watched while it is still written: its folders are then
    // seen made, which they are.
    if (!c.copyPutBack) {
      EXPECT_FALSE(sink.contains("addDirectory", root + "/album"));
    }
    EXPECT_TRUE(sink.contains("addDirectory", root + "/made-while-away"));
    watcher.reset();
  }
}

// A folder moved while the sync folder was away is handed on as the
// folder's rename, so that the server moves it whole, with whatever another
// computer put in it meanwhile. Only when every file the database knows in it
// is found at the same place below one folder the database does not know;
// otherwise its files go one by one, as before.
TEST_F(WatcherTest, AFolderMovedWhileTheRootWasAwayIsHandedOnAsTheFolderRename) {
  struct Case {
    const char* what;
    std::function<void(const std::string& away)> whileAway;
    std::vector<RenameEntry> handedOn;
  };
  const auto move = [](const std::string& from, const std::string& to) {
    ASSERT_EQ(::rename(from.c_str(), to.c_str()), 0) << from;
  };
  const std::vector<Case> cases = {
      {"moved whole", [&](const std::string& away) { move(away + "/album", away + "/moved"); },
       {{"/album", "/moved"}}},
      {"moved into a new folder", [&](const std::string& away) {
         mkdirs(away + "/outer");
         move(away + "/album", away + "/outer/moved");
       },
       {{"/album", "/outer/moved"}}},
      // A conflict copy the sync set aside in its cache before the move.
      {"moved, a file set aside by the sync", [&](const std::string& away) {
         mkdirs(away + "/.UMSCache/ConflictData/album");
         move(away + "/album/a.txt", away + "/.UMSCache/ConflictData/album/a.txt");
         move(away + "/album", away + "/moved");
       },
       {{"/album", "/moved"}}},
      {"moved, a file removed from it", [&](const std::string& away) {
         move(away + "/album", away + "/moved");
         ASSERT_EQ(::unlink((away + "/moved/sub/b.txt").c_str()), 0);
       },
       {{"/album/a.txt", "/moved/a.txt"}}},
      {"its files moved into a folder the database knows", [&](const std::string& away) {
         move(away + "/album/a.txt", away + "/known/a.txt");
         mkdirs(away + "/known/sub");
         move(away + "/album/sub/b.txt", away + "/known/sub/b.txt");
         fileutil::removeAll(away + "/album");
       },
       // "/album" does not move onto a known folder; its folder "sub" does
       // move, to a new one.
       {{"/album/a.txt", "/known/a.txt"}, {"/album/sub", "/known/sub"}}},
  };
  options.rescanInterval = 50ms;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fileutil::removeAll(root);
    mkdirs(root + "/album/sub");
    mkdirs(root + "/known");
    sink.clear();
    FakeCaptureDatabase database;
    options.database = &database;
    write(root + "/album/a.txt", "the first file of the album");
    write(root + "/album/sub/b.txt", "a second file, below");
    auto rowFor = [&](const std::string& relative, bool folder) {
      struct stat st;
      EXPECT_EQ(lstat((root + relative).c_str(), &st), 0);
      return LocalFileRow{relative, syncrecord::dateText(Clock::WallTime(std::chrono::seconds(st.st_mtim.tv_sec))),
                          folder ? "0" : std::to_string(st.st_size), folder, false};
    };
    database.setRows({rowFor("/album", true), rowFor("/album/sub", true), rowFor("/known", true),
                      rowFor("/album/a.txt", false), rowFor("/album/sub/b.txt", false)});
    const std::string away = root + ".away";
    fileutil::removeAll(away);
    ASSERT_NO_FATAL_FAILURE(startThenTakeRootAway(away));
    c.whileAway(away);
    ASSERT_EQ(::rename(away.c_str(), root.c_str()), 0);
    barrier();
    std::vector<RenameEntry> renames;
    for (const auto& call : sink.calls()) renames.insert(renames.end(), call.renames.begin(), call.renames.end());
    std::sort(renames.begin(), renames.end());
    EXPECT_EQ(renames, c.handedOn);
    // Nothing that moved is new, and nothing the folder's move carries is
    // deleted on the server.
    for (const RenameEntry& r : c.handedOn) {
      EXPECT_FALSE(sink.contains("addBackupFiles", root + r.renamedPath)) << r.renamedPath;
      EXPECT_FALSE(sink.contains("addDeleteFiles", root + r.originalPath)) << r.originalPath;
    }
    watcher.reset();
  }
}

// Empty folders made while the sync folder was away, or just before it went
// (their events lost with its watches), reach the server only through the
// comparison when it is back, whether or not a database exists yet (a new
// account's first seconds have none).
TEST_F(WatcherTest, EmptyFoldersTheDatabaseDoesNotKnowAreHandedOnWhenTheRootIsBack) {
  struct Case {
    const char* what;
    bool withDatabase;
    std::optional<std::vector<LocalFileRow>> rows;
    std::set<std::string> handedOn;  // folders, relative
    std::set<std::string> notHandedOn;
  };
  const std::vector<Case> cases = {
      {"no database", false, std::nullopt,
       {"/just-before", "/made-while-away", "/new/inner", "/known"}, {"/holds-a-file"}},
      {"a database not readable yet", true, std::nullopt,
       {"/just-before", "/made-while-away", "/new/inner", "/known"}, {"/holds-a-file"}},
      {"a database that knows one folder", true,
       std::vector<LocalFileRow>{{"/known", "NA", "0", true, false}},
       {"/just-before", "/made-while-away", "/new/inner"}, {"/known", "/holds-a-file"}},
  };
  options.rescanInterval = 50ms;
  const std::string away = root + ".away";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fileutil::removeAll(root);
    fileutil::removeAll(away);
    mkdirs(root + "/known");
    sink.clear();
    FakeCaptureDatabase database;
    database.rows = c.rows;
    options.database = c.withDatabase ? &database : nullptr;
    ASSERT_NO_FATAL_FAILURE(startThenTakeRootAway(away, [&] { mkdirs(root + "/just-before"); }));
    mkdirs(away + "/made-while-away");
    mkdirs(away + "/new/inner");
    mkdirs(away + "/holds-a-file");
    write(away + "/holds-a-file/a.txt");
    ASSERT_EQ(::rename(away.c_str(), root.c_str()), 0);
    ASSERT_TRUE(settle([&] { return sink.contains("addBackupFiles", root + "/holds-a-file/a.txt"); }));
    barrier();
    const std::set<std::string> folders = sink.pathSet("addDirectory");
    for (const std::string& folder : c.handedOn) EXPECT_TRUE(folders.count(root + folder)) << folder;
    for (const std::string& folder : c.notHandedOn) EXPECT_FALSE(folders.count(root + folder)) << folder;
    EXPECT_TRUE(sink.paths("addDeleteFiles").empty());
    watcher.reset();
  }
}

TEST_F(WatcherTest, ANameWithALineBreakIsNamedInTheSessionLogOnce) {
  std::mutex linesMutex;
  std::vector<std::string> lines;
  collections->setRefusedUploadLog([&](const std::string& line) {
    std::lock_guard<std::mutex> hold(linesMutex);
    lines.push_back(line);
  });
  start();
  put(root + "/two\nlines.txt");
  barrier();
  put(root + "/two\nlines.txt", "edited");
  barrier();
  watcher.reset();  // before what its sink uses goes
  std::lock_guard<std::mutex> hold(linesMutex);
  EXPECT_EQ(lines, std::vector<std::string>{"Not synced up: /two\\nlines.txt: its name holds a line break"});
}

TEST_F(WatcherTest, AFolderThatBecomesReadableIsReadWithoutARestart) {
  mkdirs(root + "/locked/inner");
  write(root + "/locked/a.txt");
  write(root + "/locked/inner/b.txt");
  const int status = testing::exitStatusAsUnprivileged(dir.path(), [&] {
    if (::chmod((root + "/locked").c_str(), 0) != 0) return 4;
    watcher = std::make_unique<NEWFSEventWatcher>(options, sink, *collections);
    if (!watcher->start()) return 5;
    if (::chmod((root + "/locked").c_str(), 0755) != 0) return 6;
    const bool found = settle([&] {
      return sink.contains("addBackupFiles", root + "/locked/a.txt") &&
             sink.contains("addBackupFiles", root + "/locked/inner/b.txt");
    }, 10s);
    // And it is watched from now on.
    put(root + "/locked/inner/c.txt");
    const bool watched = found && settle([&] { return sink.contains("addBackupFiles", root + "/locked/inner/c.txt"); }, 10s);
    watcher.reset();
    return !found ? 1 : watched ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(WatcherTest, ContentsOfAnAppearedFolderOnTheCallersThread) {
  mkdirs(root + "/f/sub");
  write(root + "/f/a.txt");
  write(root + "/f/sub/b.txt");
  write(root + "/f/sub/.DS_Store");
  NEWFSEventWatcher unstarted(options, sink, *collections);
  unstarted.insertRecordToDBWithDirectoryContent(root + "/f");
  EXPECT_EQ(sink.paths("addDirectory"), std::vector<std::string>{root + "/f/sub"});
  EXPECT_EQ(sink.pathSet("addBackupFiles"),
            (std::set<std::string>{root + "/f/a.txt", root + "/f/sub/b.txt"}));
}

}  // namespace
}  // namespace ulmora
