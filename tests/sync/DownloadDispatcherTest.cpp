#include "sync/server/DownloadDispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "OffLoopCalls.h"
#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "sync/ServerRoadFakes.h"

namespace ulmora {
namespace {

using Lines = std::vector<std::string>;

class FakeEngine : public DownloadEnginePort {
 public:
  bool running = false;
  std::vector<std::string> set;
  int64_t splitPoint = -1;
  Lines log;
  bool isRunning() const override { return running; }
  std::vector<std::string> fileFolderSetForOperation() const override { return set; }
  void setFileFolderSetForOperation(const std::vector<std::string>& s) override { set = s; }
  void setSplitPoint(int64_t p) override { splitPoint = p; }
  void setSameRestoreSetRepeated(bool r) override { log.push_back(r ? "repeated" : "fresh"); }
  void prepareRun() override { log.push_back("prepare"); }
  void startRestore() override { log.push_back("start"); }
  void setCancel(bool c) override {
    if (c) log.push_back("cancel file");
  }
  void setFailureCount() override { log.push_back("failure"); }
  void CancelBackupProcess() override { log.push_back("cancel"); }
};

class FakeDispatchHost : public DownloadDispatchHost {
 public:
  Lines log;
  std::vector<std::string> syncList;
  void downloadSetStarting() override { log.push_back("counters"); }
  void postSyncList(const std::vector<std::string>& l) override { syncList = l; }
  void restoreCancelledDuringListing() override { log.push_back("cancelled for listing"); }
};

struct DispatchFixture : testing::RoadWorld {
  FakeEngine engine;
  FakeDispatchHost host;
  RepeatedSetCounts repeats;
  DownloadDispatcher dispatcher{files, cache, engine, host, queue, filters, status,
                                {{tmp.sub("RS1"), tmp.sub("RS2"), tmp.sub("RS3"), tmp.sub("RS4")},
                                 tmp.sub("entries118"), tmp.sub("j105"), tmp.sub("entries113"), tmp.sub("j101")},
                                repeats};
};

TEST(DownloadDispatcherTest, SplitsBySizeOverTwoLists) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, int64_t>> batch;
    Lines list;
    int64_t splitPoint;
  } cases[] = {
      {"three equal", {{"k1", 10}, {"k2", 10}, {"k3", 10}}, {"k2", "k1", "k3"}, 1},
      {"one key", {{"k1", 5}}, {"k1"}, 0},
      {"empty", {}, {}, 0},
      {"beyond 32 bits", {{"a", 5000000000}, {"b", 3000000000}, {"c", 3000000000}}, {"b", "c", "a"}, 2},
      {"negative size counts 0", {{"a", -5}, {"b", 1}, {"c", 1}}, {"c", "a", "b"}, 1},
  };
  for (const auto& c : cases) {
    auto split = splitArraySizeWise(c.batch);
    EXPECT_EQ(split.list, c.list) << c.name;
    EXPECT_EQ(split.splitPoint, c.splitPoint) << c.name;
  }
}

// A download queued again by the re-query of rows still waiting for their
// write to be recorded, after the user edited the written file: the edit
// stays; the other downloads of the batch go.
TEST(DownloadDispatcherTest, ADownloadQueuedAgainOverAnEditOfItsWrittenFileIsDropped) {
  DispatchFixture f;
  f.filters.changedSinceDownload.insert("/edited.txt");
  EXPECT_TRUE(f.dispatcher.dispatch({{"/edited.txt", "3"}, {"/other.txt", "4"}}));
  EXPECT_EQ(f.engine.set, (Lines{"/other.txt"}));
  // What the run fetches may be missing until it is written; the watcher
  // must not take it for a delete meanwhile.
  EXPECT_EQ(f.filters.underWay, (std::set<std::string>{"/other.txt"}));
  f.engine.log.clear();
  EXPECT_FALSE(f.dispatcher.dispatch({{"/edited.txt", "3"}}));
  EXPECT_TRUE(f.engine.log.empty());
  // The edit is the user's, to go up: never recorded in sync.
  EXPECT_EQ(std::count(f.queue.log.begin(), f.queue.log.end(), "update /edited.txt=Backup"), 0);
}

// A listing held back while the download of /f.txt ran queued it again; the
// run wrote it. The next set holds nothing new: no run, and above all not
// the last set again, which would wait the repeated-set minute.
TEST(DownloadDispatcherTest, AnEntryADownloadAnsweredSinceItWasQueuedIsNotFetchedAgain) {
  DispatchFixture f;
  EXPECT_TRUE(f.dispatcher.dispatch({{"/f.txt", "3"}}));
  f.filters.writtenSinceQueued.insert("/f.txt 3");
  f.engine.log.clear();
  EXPECT_FALSE(f.dispatcher.dispatch({{"/f.txt", "3"}}));
  EXPECT_TRUE(f.engine.log.empty());
  EXPECT_EQ(f.dispatcher.sameRestoreSetRepeatedCount(), 0);
  // That listing may have removed the row (a delete of the file listed
  // before the write): what the download wrote is recorded in sync again.
  EXPECT_EQ(f.queue.log, (Lines{"update /f.txt=Backup"}));

  // Beside other downloads it is left out; an entry of another size (the
  // server's next version, queued before the write was reported) is not.
  EXPECT_TRUE(f.dispatcher.dispatch({{"/f.txt", "3"}, {"/g.txt", "4"}}));
  EXPECT_EQ(f.engine.set, (Lines{"/g.txt"}));
  EXPECT_TRUE(f.dispatcher.dispatch({{"/f.txt", "5"}}));
  EXPECT_EQ(f.engine.set, (Lines{"/f.txt"}));
}

TEST(DownloadDispatcherTest, RepeatedSetStopsAfterTenRuns) {
  DispatchFixture f;
  std::map<std::string, std::string> batch{{"/a/b.txt", "3"}, {"/c.txt", "4"}};
  EXPECT_TRUE(f.dispatcher.dispatch(batch));
  EXPECT_EQ(f.engine.log, (Lines{"fresh", "prepare", "start"}));
  for (int i = 1; i <= 10; ++i) EXPECT_TRUE(f.dispatcher.dispatch(batch)) << i;
  EXPECT_EQ(f.dispatcher.sameRestoreSetRepeatedCount(), 10);
  f.engine.log.clear();
  EXPECT_FALSE(f.dispatcher.dispatch(batch));
  // Refused before the work folder of the last run is recreated.
  EXPECT_EQ(f.engine.log, (Lines{"fresh"}));
  {
    MutexLock hold(f.repeats.mutex);
    f.repeats.sameRestoreSetRepeatedCount = 0;  // the end of a failed run starts the count again
  }
  EXPECT_TRUE(f.dispatcher.dispatch(batch));
  EXPECT_TRUE(f.dispatcher.dispatch({{"/other.txt", "1"}}));
  EXPECT_EQ(f.dispatcher.sameRestoreSetRepeatedCount(), 0);
  EXPECT_EQ(f.host.syncList, Lines{f.root + "/other.txt"});
}

TEST(DownloadDispatcherTest, ListsEveryFolderOnTheWayAndDropsUnsafePaths) {
  DispatchFixture f;
  EXPECT_FALSE(f.dispatcher.dispatch({{"/../x", "1"}, {"/.UMSCache/y", "1"}}));
  EXPECT_TRUE(f.engine.log.empty());
  EXPECT_TRUE(f.dispatcher.dispatch({{"/a/b/c.txt", "1"}}));
  EXPECT_EQ(f.host.syncList, (Lines{f.root + "/a", f.root + "/a/b", f.root + "/a/b/c.txt"}));
  EXPECT_EQ(f.engine.splitPoint, 0);
}

TEST(DownloadDispatcherTest, HalfReceivedFilesGoToTheCache) {
  struct Case {
    const char* name;
    std::string content;
    std::optional<std::string> expected;  // recorded size
    bool moved;
  } cases[] = {
      {"shorter than expected", std::string(1500, 'x'), "2000", true},
      {"complete", std::string(2000, 'x'), "2000", false},
      {"nothing recorded", "abc", std::nullopt, true},
  };
  for (const auto& c : cases) {
    DispatchFixture f;
    f.tmp.writeFile("Sync/d/file.bin", c.content);
    if (c.expected) f.filters.addToAvoidDelete("/d/file.bin", *c.expected);
    fileutil::writeFileAtomically(f.tmp.sub("RS2"), f.root + "/d/file.bin");
    f.dispatcher.deleteHalfRestoredFiles();
    EXPECT_EQ(fileutil::exists(f.root + "/d/file.bin"), !c.moved) << c.name;
    EXPECT_EQ(fileutil::exists(f.root + "/.UMSCache/2020-01-01/d/file.bin"), c.moved) << c.name;
    EXPECT_FALSE(fileutil::exists(f.tmp.sub("RS2"))) << c.name;
    EXPECT_EQ(std::count(f.filters.log.begin(), f.filters.log.end(), "autoDelete /d/file.bin"), c.moved ? 1 : 0)
        << c.name;
  }
}

TEST(DownloadDispatcherTest, HalfReceivedCleanUpStaysInsideTheRoot) {
  DispatchFixture f;
  std::string outside = f.tmp.writeFile("elsewhere/file.bin", "abc");
  fileutil::writeFileAtomically(f.tmp.sub("RS1"), outside);
  fileutil::writeFileAtomically(f.tmp.sub("RS3"), "");
  f.dispatcher.deleteHalfRestoredFiles();
  EXPECT_EQ(fileutil::readFile(outside), "abc");
  EXPECT_FALSE(fileutil::exists(f.tmp.sub("RS1")));
  EXPECT_FALSE(fileutil::exists(f.tmp.sub("RS3")));
}

TEST(DownloadDispatcherTest, AnswersTheListingsQuestions) {
  DispatchFixture f;
  f.engine.running = true;
  f.engine.set = {"/running.txt"};
  f.queue.pending = {"/pending.txt"};
  f.status.rows["/same.txt"].refId = "R1";
  f.status.rows["/running.txt"].refId = "R2";
  f.status.rows["/pending.txt"].refId = "R3";
  EXPECT_TRUE(f.dispatcher.checkFileisUnderRestoreSet("/running.txt"));
  EXPECT_TRUE(f.dispatcher.checkFileisUnderRestoreSet("/pending.txt"));
  EXPECT_FALSE(f.dispatcher.checkFileisUnderRestoreSet("/other.txt"));
  EXPECT_FALSE(f.dispatcher.checkRefIDExistInDatabase("R1", "/same.txt"));
  EXPECT_TRUE(f.dispatcher.checkRefIDExistInDatabase("R2", "/renamed.txt"));
  EXPECT_TRUE(f.dispatcher.checkRefIDExistInDatabase("R3", "/renamed.txt"));
  EXPECT_FALSE(f.dispatcher.checkRefIDExistInDatabase("R9", "/renamed.txt"));

  f.dispatcher.StopRestoreManagerForNewListing();
  EXPECT_EQ(f.host.log, Lines{"cancelled for listing"});
  EXPECT_EQ(f.engine.log, (Lines{"cancel file", "failure", "cancel"}));
}

// A listing record that meets a file the running download holds stops that
// download (once the listing marks it, the listing is run again).
TEST(DownloadDispatcherTest, AListingRecordForAFileBeingDownloadedStopsTheDownload) {
  auto rec = [](std::string fname, std::string old = "", std::string refId = "") {
    ServerRecord r;
    r.fname = std::move(fname);
    r.fnameOld = std::move(old);
    r.refId = std::move(refId);
    return r;
  };
  const struct {
    const char* name;
    const char* operation;
    ServerRecord record;
    bool running;
    bool stops;
  } cases[] = {
      {"renamed from a file in the running set", "3", rec("/new.txt", "/running.txt"), true, true},
      {"renamed from a file waiting in the journal", "3", rec("/new.txt", "/pending.txt"), true, true},
      // What the download is for: stopping it would stop each restart too.
      {"changed, in the running set", "4", rec("/running.txt"), true, false},
      {"changed, waiting in the journal", "4", rec("/pending.txt"), true, false},
      {"its own reference id", "4", rec("/running.txt", "", "R2"), true, false},
      {"its reference id is downloaded under another name", "4", rec("/other.txt", "", "R2"), true,
       true},
      {"deleted on the server", "2", rec("/running.txt"), true, false},
      {"another file", "4", rec("/other.txt", "", "R9"), true, false},
      {"no download runs", "3", rec("/new.txt", "/pending.txt"), false, false},
      {"renamed from a file in the running set, recorded there", "3", rec("/new.txt", "/running.txt", "R2"),
       true, true},
      // The item is here under its new name already: what is fetched at its
      // former name is another file the server put there since.
      {"renamed from a file in the running set, recorded elsewhere", "3",
       rec("/new.txt", "/running.txt", "R7"), true, false},
  };
  for (const auto& c : cases) {
    DispatchFixture f;
    f.engine.running = c.running;
    f.engine.set = {"/running.txt"};
    f.queue.pending = {"/pending.txt"};
    f.status.rows["/running.txt"].refId = "R2";
    f.status.rows["/new.txt"].refId = "R7";
    EXPECT_EQ(f.dispatcher.stopDownloadForListingRecord(c.record, c.operation), c.stops) << c.name;
    EXPECT_EQ(f.host.log, c.stops ? Lines{"cancelled for listing"} : Lines{}) << c.name;
    EXPECT_EQ(f.engine.log, c.stops ? (Lines{"cancel file", "failure", "cancel"}) : Lines{}) << c.name;
  }
}

// The listing that follows a stop applies the record and, while downloads
// wait, starts again from the same index: the same record must not stop the
// restarted download again, or nothing would ever be fetched.
TEST(DownloadDispatcherTest, ARecordStopsTheDownloadOnlyOnce) {
  DispatchFixture f;
  f.engine.running = true;
  f.engine.set = {"/running.txt"};
  ServerRecord moved;
  moved.fname = "/new.txt";
  moved.fnameOld = "/running.txt";
  ServerRecord other = moved;
  other.fname = "/third.txt";
  EXPECT_TRUE(f.dispatcher.stopDownloadForListingRecord(moved, "3"));
  EXPECT_FALSE(f.dispatcher.stopDownloadForListingRecord(moved, "3"));
  EXPECT_TRUE(f.dispatcher.stopDownloadForListingRecord(other, "3"));
  EXPECT_TRUE(f.dispatcher.stopDownloadForListingRecord(moved, "3"));
  EXPECT_EQ(f.host.log, (Lines(3, "cancelled for listing")));
}

TEST(DownloadDispatcherTest, ClearsEntryFilesAndJournals) {
  DispatchFixture f;
  f.tmp.writeFile("entries118", "x");
  f.tmp.writeFile("j105/a.plist", "x");
  f.tmp.writeFile("j101/b.plist", "x");
  f.dispatcher.ClearRestoreRelatedFileEntries();
  EXPECT_FALSE(fileutil::exists(f.tmp.sub("entries118")));
  EXPECT_EQ(fileutil::listDirectory(f.tmp.sub("j105")), Lines{});
  EXPECT_TRUE(fileutil::exists(f.tmp.sub("j101/b.plist")));
  f.dispatcher.ClearBackupRelatedFileEntries();
  EXPECT_EQ(fileutil::listDirectory(f.tmp.sub("j101")), Lines{});
}

#ifndef NDEBUG
// The listing asks its questions from its own thread; the dispatch itself
// belongs to the main loop's cycle.
TEST(DownloadDispatcherDeathTest, ADispatchFromAnotherThreadStopsTheProcess) {
  DispatchFixture f;
  std::thread([&] { EXPECT_FALSE(f.dispatcher.checkFileisUnderRestoreSet("/a.txt")); }).join();
  testing::expectEachStopsOffItsLoop({
      {"dispatch", [&] { f.dispatcher.dispatch({{"/a.txt", "3"}}); }},
      {"start_restore", [&] { f.dispatcher.StartRestore(splitArraySizeWise({{"/a.txt", 3}})); }},
  });
}
#endif

}  // namespace
}  // namespace ulmora
