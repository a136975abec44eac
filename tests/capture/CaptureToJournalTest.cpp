// The watcher and the account's event journal writer together, stepped on a
// manual clock: what the user does reaches an upload list under the name the
// item has when the list is written.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "CaptureFakes.h"
#include "capture/ExcludedFilesCollections.h"
#include "capture/NEWFSEventWatcher.h"
#include "journal/SyncFilesControllerTestSupport.h"
#include "journal/SyncRecordBuilder.h"
#include "platform/ManualClock.h"

namespace ulmora::testing {
namespace {

using namespace std::chrono_literals;

// Hands the watcher's changes to the writer, as the account wires them.
class WriterSink final : public CaptureJournalSink {
 public:
  explicit WriterSink(SyncFilesController& writer) : writer_(writer) {}
  void addBackupFiles(const std::vector<std::string>& paths) override { writer_.addBackupFiles(paths); }
  void addDirectory(const std::vector<std::string>& paths) override { writer_.addDirectory(paths); }
  void addDeleteFiles(const std::vector<std::string>& paths) override { writer_.addDeleteFiles(paths); }
  void addRenamedFiles(const std::vector<RenameEntry>& renames) override {
    writer_.addRenamedFiles(renames);
  }
  void addRestoreFiles(const std::vector<std::string>&) override {}
  void addOBBackupFiles(const std::vector<std::string>&) override {}
  void addOBRestoreFiles(const std::vector<std::string>&) override {}
  void mainDBQueryFinished(const std::vector<std::string>&) override {}
  void RDDBQueryFinished(const std::optional<RDDataBaseRows>&) override {}

 private:
  SyncFilesController& writer_;
};

class CaptureToJournal {
 public:
  static constexpr auto kTick = SyncFilesController::kTickInterval;

  CaptureToJournal() : collections_(config(f_.root())), sink_(f_.sfc()) {
    options_.syncRoot = f_.root();
    options_.clock = &clock_;
    options_.coalescingDelay = 1s;
    options_.moveWindow = 250ms;
  }
  ~CaptureToJournal() { watcher_.reset(); }

  void useDatabase(std::vector<LocalFileRow> rows) {
    database_.setRows(std::move(rows));
    options_.database = &database_;
  }
  std::vector<LocalFileRow> rows() { return database_.fileRows().value_or(std::vector<LocalFileRow>{}); }
  void replaceRows(std::vector<LocalFileRow> rows) { database_.setRows(std::move(rows)); }
  NEWFSEventWatcher::Options& options() { return options_; }
  NEWFSEventWatcher& watcher() { return *watcher_; }
  ExcludedFilesCollections& collections() { return collections_; }

  void start() {
    watcher_ = std::make_unique<NEWFSEventWatcher>(options_, sink_, collections_);
    ASSERT_TRUE(watcher_->start());
  }
  // Two more turns of the watcher's loop: everything the kernel had queued
  // is handled, at the manual time it is now.
  void sync() {
    const auto turns = watcher_->loopTurns();
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (watcher_->loopTurns() < turns + 2 && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::yield();
    ASSERT_GE(watcher_->loopTurns(), turns + 2) << "the watcher thread stands still";
  }
  // Moves the clock on in small steps; the writer ticks every two seconds.
  void advance(std::chrono::milliseconds by) {
    for (auto end = now_ + by; now_ < end;) {
      clock_.advance(100ms);
      now_ += 100ms;
      sync();
      if (now_ % kTick == Clock::Duration::zero()) f_.sfc().timerFireMethod();
    }
  }
  void finish() {
    watcher_->stop();
    f_.sfc().timerFireMethod();
  }

  std::vector<std::vector<std::string>> uploadLists() {
    std::vector<std::vector<std::string>> lists;
    for (const auto& name : f_.published(journal::kUploadFolder))
      lists.push_back(f_.lines(journal::kUploadFolder, name));
    return lists;
  }
  std::set<std::string> uploaded() {
    std::set<std::string> all;
    for (const auto& list : uploadLists()) all.insert(list.begin(), list.end());
    return all;
  }
  bool anyListHoldsTwice() {
    for (const auto& list : uploadLists())
      if (std::set<std::string>(list.begin(), list.end()).size() != list.size()) return true;
    return false;
  }
  std::vector<EventSet> eventSets() {
    std::vector<EventSet> sets;
    JournalFolder events = f_.folder(journal::kEventFolder);
    while (auto set = JournalReader::takeEventSet(events)) sets.push_back(std::move(*set));
    return sets;
  }
  std::vector<std::string> createdFolders() {
    std::vector<std::string> out;
    for (const auto& name : f_.published(journal::kCreateFolderFolder))
      for (auto& line : f_.lines(journal::kCreateFolderFolder, name)) out.push_back(line);
    return out;
  }
  std::string full(const std::string& relative) const { return f_.root() + relative; }
  LocalFileRow rowFor(const std::string& relative) const {
    struct stat st;
    EXPECT_EQ(::lstat(full(relative).c_str(), &st), 0) << relative;
    LocalFileRow row;
    row.path = relative;
    row.size = std::to_string(st.st_size);
    row.modificationDate =
        syncrecord::dateText(Clock::WallTime(std::chrono::seconds(st.st_mtim.tv_sec)));
    row.isFolder = S_ISDIR(st.st_mode);
    return row;
  }

 private:
  static ExcludedFilesCollections::Config config(const std::string& root) {
    ExcludedFilesCollections::Config c;
    c.syncRoot = root;
    return c;
  }

  SfcFixture<> f_;
  ManualClock clock_;
  ExcludedFilesCollections collections_;
  WriterSink sink_;
  FakeCaptureDatabase database_;
  NEWFSEventWatcher::Options options_;
  std::unique_ptr<NEWFSEventWatcher> watcher_;
  Clock::Duration now_{};
};

TEST(CaptureToJournalTest, AFileSavedUnderATemporaryNameIsUploadedUnderItsOwn) {
  for (auto delay : {500ms, 1100ms, 1500ms, 2500ms}) {
    SCOPED_TRACE(delay.count());
    CaptureToJournal c;
    c.start();
    put(c.full("/x.tmp"));
    c.sync();
    c.advance(delay);
    move(c.full("/x.tmp"), c.full("/x"));
    c.sync();
    c.advance(6s);
    c.finish();
    EXPECT_TRUE(c.uploaded().count("/x"));
    EXPECT_FALSE(c.anyListHoldsTwice());
    for (const auto& set : c.eventSets()) {
      EXPECT_EQ(set.type, "rename");
      EXPECT_EQ(set.renames, (std::vector<RenameEntry>{{"/x.tmp", "/x"}}));
    }
  }
}

TEST(CaptureToJournalTest, EveryFileOfANewFolderRenamedAtOnceIsUploaded) {
  constexpr int kFiles = 3000;
  for (auto pause : {0ms, 1100ms}) {
    SCOPED_TRACE(pause.count());
    CaptureToJournal c;
    c.start();
    ASSERT_EQ(::mkdir(c.full("/new").c_str(), 0700), 0);
    for (int i = 0; i < kFiles; ++i) put(c.full("/new/f" + std::to_string(i)), "x");
    c.sync();
    c.advance(pause);
    move(c.full("/new"), c.full("/renamed"));
    c.sync();
    c.advance(6s);
    c.finish();
    std::set<std::string> uploaded = c.uploaded();
    int missing = 0;
    for (int i = 0; i < kFiles; ++i) missing += !uploaded.count("/renamed/f" + std::to_string(i));
    EXPECT_EQ(missing, 0);
    EXPECT_FALSE(c.anyListHoldsTwice());
    // Renamed in the window it was made in, the folder is new under its new
    // name; renamed later, its creation was listed before, and the rename
    // follows it in the event journal.
    EXPECT_THAT(c.createdFolders(), ::testing::ElementsAre(c.full(pause == 0ms ? "/renamed" : "/new")));
  }
}

TEST(CaptureToJournalTest, AnEditorsSaveByRenameDeletesNothing) {
  CaptureToJournal c;
  put(c.full("/a"), "v1");
  c.start();
  put(c.full("/a"), "v2");  // edited: queued to upload
  c.sync();
  c.advance(1100ms);
  move(c.full("/a"), c.full("/a~"));
  c.sync();
  c.advance(500ms);  // past the move window
  put(c.full("/a"), "v3");
  c.sync();
  c.advance(6s);
  c.finish();
  for (const auto& set : c.eventSets()) EXPECT_NE(set.type, "delete");
  EXPECT_TRUE(c.uploaded().count("/a"));
  EXPECT_FALSE(c.anyListHoldsTwice());
}

TEST(CaptureToJournalTest, AStartComparesTheFolderWithTheDatabase) {
  struct Case {
    const char* name;
    bool compare;      // the owner asks for the comparison
    bool removeRoot;   // the sync folder is gone when the comparison runs
    bool emptyRoot;    // the sync folder is empty (a volume not mounted)
  };
  for (const Case& k : {Case{"after a stop or a kill", true, false, false},
                        Case{"not asked", false, false, false},
                        Case{"the root is missing", true, true, false},
                        Case{"the root is empty", true, false, true}}) {
    SCOPED_TRACE(k.name);
    CaptureToJournal c;
    // Synced before the stop: unchanged, changed, removed while down, still
    // to be downloaded, deselected.
    put(c.full("/same.txt"), "1234");
    put(c.full("/changed.txt"), "1234");
    put(c.full("/merged-late.txt"));
    ASSERT_EQ(::mkdir(c.full("/old-folder").c_str(), 0700), 0);
    put(c.full("/old-folder/kept.txt"));
    std::vector<LocalFileRow> rows{c.rowFor("/same.txt"), c.rowFor("/changed.txt"),
                                   c.rowFor("/old-folder"), c.rowFor("/old-folder/kept.txt")};
    rows.push_back(LocalFileRow{"/removed.txt", "NA", "3", false, false});
    rows.push_back(LocalFileRow{"/removed-folder", "NA", "4096", true, false});
    rows.push_back(LocalFileRow{"/to-download.txt", "NA", "3", false, true});
    rows.push_back(LocalFileRow{"/Deselected/f.txt", "NA", "3", false, false});
    c.useDatabase(rows);
    c.options().isDeselected = [](const std::string& p) { return p.rfind("/Deselected", 0) == 0; };
    // What the last run recorded reaches the database before it is read.
    c.options().settleDatabase = [&c, late = c.rowFor("/merged-late.txt")] {
      std::vector<LocalFileRow> merged = c.rows();
      merged.push_back(late);
      c.replaceRows(std::move(merged));
    };
    // Made while the agent was down (or not yet journalled when it was killed).
    put(c.full("/changed.txt"), "123456");
    ASSERT_EQ(::mkdir(c.full("/burst").c_str(), 0700), 0);
    for (int i = 0; i < 500; ++i) put(c.full("/burst/f" + std::to_string(i)));
    ASSERT_EQ(::mkdir(c.full("/empty").c_str(), 0700), 0);

    if (k.emptyRoot) {
      const auto names = fileutil::listDirectory(c.full(""));
      ASSERT_TRUE(names);
      for (const auto& name : *names) fileutil::removeAll(c.full("/" + name));
    }
    c.start();
    if (k.removeRoot) fileutil::removeAll(c.full(""));
    if (k.compare) c.watcher().compareWithDatabaseAtStart();
    c.sync();
    c.advance(6s);
    c.finish();

    std::set<std::string> expected;
    std::vector<std::string> deletes;
    std::vector<std::string> folders;
    if (k.compare && !k.removeRoot && !k.emptyRoot) {
      expected.insert("/changed.txt");
      for (int i = 0; i < 500; ++i) expected.insert("/burst/f" + std::to_string(i));
      deletes.push_back("/removed.txt");
      deletes.push_back("/removed-folder");
      folders.push_back(c.full("/empty"));
    }
    EXPECT_EQ(c.uploaded(), expected);
    std::vector<std::string> deleted;
    for (const auto& set : c.eventSets())
      if (set.type == "delete") deleted.insert(deleted.end(), set.paths.begin(), set.paths.end());
    EXPECT_EQ(deleted, deletes);
    EXPECT_EQ(c.createdFolders(), folders);
  }
}

// A folder found empty at a start (a volume not mounted) deletes nothing on
// the server; once it holds items again, every file it lacks is fetched
// again, and still nothing is deleted.
TEST(CaptureToJournalTest, AnEmptyFolderFilledAgainFetchesWhatItLacks) {
  CaptureToJournal c;
  put(c.full("/a.txt"), "1234");
  ASSERT_EQ(::mkdir(c.full("/b").c_str(), 0700), 0);
  put(c.full("/b/c.txt"), "12");
  std::vector<LocalFileRow> rows{c.rowFor("/a.txt"), c.rowFor("/b"), c.rowFor("/b/c.txt")};
  rows.push_back(LocalFileRow{"/to-download.txt", "NA", "3", false, true});
  c.useDatabase(rows);
  c.options().rescanInterval = 2s;
  std::atomic<int> calls{0};
  std::vector<std::string> fetched;  // read once the watcher has stopped
  c.options().fetchMissing = [&](const std::vector<LocalFileRow>& missing) {
    for (const auto& row : missing) fetched.push_back(row.path);
    ++calls;
  };
  const std::string aside = c.full("") + "-away";
  ASSERT_EQ(::rename(c.full("/a.txt").c_str(), (aside + "-a.txt").c_str()), 0);
  fileutil::removeAll(c.full("/b"));

  c.start();
  c.watcher().compareWithDatabaseAtStart();
  c.sync();
  c.advance(5s);
  EXPECT_EQ(calls.load(), 0);  // still empty
  // Until then the rows of files missing from it stay.
  EXPECT_TRUE(c.collections().rootFoundEmpty());
  ASSERT_EQ(::rename((aside + "-a.txt").c_str(), c.full("/a.txt").c_str()), 0);
  c.sync();
  c.advance(5s);
  c.finish();
  EXPECT_FALSE(c.collections().rootFoundEmpty());

  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(fetched, (std::vector<std::string>{"/b/c.txt", "/to-download.txt"}));
  for (const auto& set : c.eventSets()) EXPECT_NE(set.type, "delete");
}

}  // namespace
}  // namespace ulmora::testing
