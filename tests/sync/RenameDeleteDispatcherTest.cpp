// The rename and delete worker with fake queue, controller and account.
#include "sync/server/RenameDeleteDispatcher.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "sync/RenameDeleteFakes.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::Calls;
using FakeQueue = testing::FakeRenameDeleteQueue;
using FakeEnv = testing::FakeRenameDeleteEnv;

// Each engine run is scripted: the script gets the entries and reports.
class FakeService : public RenameDeleteService {
 public:
  using Script = std::function<void(KVTRenameDeleteHandlerProtocol&, KVTRenameDeleteController&,
                                    const std::vector<std::string>&)>;
  void prepare() override {}
  void startOperation(const PropertyList& entries, const std::string& type) override {
    std::vector<std::string> items;
    olds.clear();
    news.clear();
    for (const auto& e : *entries.asArray()) {
      if (auto r = RenameEntry::fromPropertyList(e)) {
        items.push_back(r->originalPath + ">" + r->renamedPath);
        olds.push_back(r->originalPath);
        news.push_back(r->renamedPath);
      } else {
        items.push_back(*e.asString());
      }
    }
    std::string run = type + ":";
    for (auto& i : items) run += i + ";";
    runs.push_back(run);
    if (script) script(*delegate, controller, items);
  }
  void setCancel(bool v) override {
    if (v) ++cancels;
  }
  void addFilesToDelete(const std::vector<std::string>& p) override { pending.insert(pending.end(), p.begin(), p.end()); }
  std::vector<std::string> deleteItems() override { return pending; }
  std::vector<std::string> oldPathList() override { return olds; }
  std::vector<std::string> newPathList() override { return news; }
  void useSeenVersions(engineset::SeenVersions s) override { seen = std::move(s); }

  KVTRenameDeleteHandlerProtocol* delegate = nullptr;
  KVTRenameDeleteController controller;
  Script script;
  Calls runs;
  std::vector<std::string> olds, news, pending;
  engineset::SeenVersions seen;
  int cancels = 0;
};

// Reports for scripts.
void renamedAll(KVTRenameDeleteHandlerProtocol& d, KVTRenameDeleteController& c, const std::vector<std::string>& items) {
  d.renameDeleteDidStart(c, "rename");
  for (const auto& i : items) {
    auto gt = i.find('>');
    d.renameDidReceiveData(i.substr(0, gt), i.substr(gt + 1));
  }
  d.renameDeleteDidFinishSuccessfully(c, "rename");
}

class RenameDeleteDispatcherTest : public ::testing::Test {
 protected:
  RenameDeleteDispatcherTest() : loop(clock) {
    RenameDeleteOptions options;
    options.pause = [this](Clock::Duration d) {
      pauses.push_back(d);
      if (!pauseAnswer) dispatcher->cancel();
      return pauseAnswer;
    };
    dispatcher = std::make_unique<RenameDeleteDispatcher>(queue, service, env, loop, options);
    service.delegate = dispatcher.get();
  }
  ManualClock clock;
  RunLoop loop;
  FakeQueue queue;
  FakeService service;
  FakeEnv env;
  std::vector<Clock::Duration> pauses;
  bool pauseAnswer = true;
  std::unique_ptr<RenameDeleteDispatcher> dispatcher;
};

// However a delete set touching the running upload ends, uploads come back on.
struct EndRow {
  const char* name;
  FakeService::Script script;
  std::set<std::string> existing;
};

class DeleteRunEnds : public RenameDeleteDispatcherTest, public ::testing::WithParamInterface<EndRow> {};

TEST_P(DeleteRunEnds, UploadsAreSwitchedBackOn) {
  env.underUpload = true;
  env.existing = GetParam().existing;
  service.script = GetParam().script;
  queue.pushDelete({"/a.txt", "/b.txt"});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_TRUE(env.has("cancelUpload"));
  ASSERT_NE(std::find(queue.calls.begin(), queue.calls.end(), "uploads:off"), queue.calls.end());
  EXPECT_TRUE(queue.uploadsOn);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, DeleteRunEnds,
    ::testing::Values(
        EndRow{"Finished",
               [](auto& d, auto& c, auto&) {
                 d.renameDeleteDidStart(c, "delete");
                 d.renameDeleteDidFinishSuccessfully(c, "delete");
               },
               {}},
        EndRow{"Failed",
               [](auto& d, auto& c, auto&) { d.renameDeleteDidFailWithError("timed out", c, "delete"); }, {}},
        EndRow{"Cancelled", [](auto& d, auto& c, auto&) { d.deleteDidCancel(c); }, {}},
        EndRow{"NoReport", [](auto&, auto&, auto&) {}, {}},
        EndRow{"NothingLeftToDelete", [](auto&, auto&, auto&) { FAIL() << "no engine run expected"; },
               {"/a.txt", "/b.txt"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RenameDeleteDispatcherTest, UnconfirmedFolderRenameAfterConnectionErrorIsReplayedNotDeleted) {
  service.script = [](auto& d, auto& c, const std::vector<std::string>&) {
    d.renameDeleteDidStart(c, "rename");
    d.renameDidReceiveData("/Docs/a.txt", "/Docs/b.txt");  // this one made it
    d.renameDeleteDidFailWithError("rsync: connection unexpectedly closed", c, "rename");
  };
  queue.pushRename({{"/Docs/a.txt", "/Docs/b.txt"}, {"/Docs/Old", "/Docs/New"}});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_EQ(queue.calls, (Calls{"consumed:3", "rddb:/home/ann/Sync/Docs/a.txt", "rename:/Docs/Old>/Docs/New",
                                "consumed:daemoneventpath"}));
  loop.runUntilIdle();
  EXPECT_TRUE(env.has("push:1005:Collective rename - partial success"));
  // Only the confirmed rename hands its version on to the new name.
  EXPECT_TRUE(env.has("renamed:/Docs/a.txt>/Docs/b.txt"));
  EXPECT_FALSE(env.has("renamed:/Docs/Old>/Docs/New"));
}

TEST_F(RenameDeleteDispatcherTest, OnlyARenameTheServiceConfirmedIsKnownAsMadeHereAndOnlyOnce) {
  service.script = [](auto& d, auto& c, const std::vector<std::string>&) {
    d.renameDeleteDidStart(c, "rename");
    d.renameDidReceiveData("/Album/", "/Photos/");
    d.renameDeleteDidFailWithError("rsync: connection unexpectedly closed", c, "rename");
  };
  queue.pushRename({{"/Album", "/Photos"}, {"/Docs/Old", "/Docs/New"}});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_FALSE(dispatcher->takeRenamedHere("/Docs/Old", "/Docs/New"));
  EXPECT_TRUE(dispatcher->takeRenamedHere("/Album", "/Photos/"));
  EXPECT_FALSE(dispatcher->takeRenamedHere("/Album", "/Photos")) << "an echo is taken once";
}

TEST_F(RenameDeleteDispatcherTest, ReplaysAreBoundedThenTheNewTreeIsUploadedBeforeTheOldIsDeleted) {
  testing::TestTempDir dir;
  env.root = dir.path();
  dir.writeFile("New/inner/f.txt", "x");
  dir.writeFile("New/g.txt", "y");
  ASSERT_TRUE(fileutil::makeDirectories(dir.sub("New/empty")));
  service.script = [](auto& d, auto& c, auto&) {
    d.renameDeleteDidStart(c, "rename");
    d.renameDeleteDidFailWithError("Connection reset by peer", c, "rename");
  };
  for (int i = 0; i < RenameDeleteDispatcher::kMaxRenameReplays; ++i) {
    queue.calls.clear();
    queue.pushRename({{"/Old", "/New"}});
    dispatcher->StartExcutingEventsCaptured();
    EXPECT_EQ(std::count(queue.calls.begin(), queue.calls.end(), "rename:/Old>/New"), 1) << i;
    EXPECT_EQ(std::count(queue.calls.begin(), queue.calls.end(), "delete:/Old"), 0) << i;
  }
  queue.calls.clear();
  queue.pushRename({{"/Old", "/New"}});
  dispatcher->StartExcutingEventsCaptured();
  std::set<std::string> got(queue.calls.begin(), queue.calls.end());
  EXPECT_TRUE(got.count("upload:" + dir.path() + "/New/inner/f.txt"));
  EXPECT_TRUE(got.count("upload:" + dir.path() + "/New/g.txt"));
  EXPECT_TRUE(got.count("mkdir:" + dir.path() + "/New/empty"));
  EXPECT_TRUE(got.count("delete:/Old/inner/f.txt"));
  EXPECT_TRUE(got.count("delete:/Old/g.txt"));
  EXPECT_FALSE(got.count("delete:/Old"));
  EXPECT_FALSE(got.count("rename:/Old>/New"));
}

// The fallback after a refused rename deletes the old name on the server. A
// folder there may hold files another computer added that never came here:
// only the files that moved here go, each under its old name (so the delete
// carries the version synced here), never the folder nor an empty folder in
// it. A file's old name goes as before.
TEST_F(RenameDeleteDispatcherTest, AFallbackDeleteOfAFolderDeletesOnlyTheFilesThatMovedHere) {
  struct Case {
    const char* name;
    std::vector<std::string> files;  // under the sync folder before the run
    std::vector<std::string> folders;
    std::string from, to;
    std::set<std::string> deletes;  // every delete queued
  };
  const std::vector<Case> cases = {
      {"a folder with files and folders", {"photo/a.bin", "photo/sub/b.bin"}, {"photo/empty"}, "/data", "/photo",
       {"delete:/data/a.bin", "delete:/data/sub/b.bin"}},
      {"an empty folder", {}, {"photo"}, "/data", "/photo", {}},
      {"a folder given with a trailing slash", {"photo/a.bin"}, {}, "/data/", "/photo/", {"delete:/data/a.bin"}},
      {"a file", {"photo.bin"}, {}, "/data.bin", "/photo.bin", {"delete:/data.bin"}},
      {"a new name that is gone here", {}, {}, "/data", "/photo", {"delete:/data"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir dir;
    env.root = dir.path();
    for (const std::string& f : c.files) dir.writeFile(f, "x");
    for (const std::string& f : c.folders) ASSERT_TRUE(fileutil::makeDirectories(dir.sub(f)));
    service.script = [](auto& d, auto& ctl, auto&) {
      d.renameDeleteDidStart(ctl, "rename");
      d.renameDeleteDidFailWithError("SFERROR: rename failed. Reason: File exists", ctl, "rename");
    };
    queue.calls.clear();
    queue.pushRename({{c.from, c.to}});
    dispatcher->StartExcutingEventsCaptured();
    std::set<std::string> deletes;
    for (const std::string& call : queue.calls) {
      if (call.rfind("delete:", 0) == 0) deletes.insert(call);
    }
    EXPECT_EQ(deletes, c.deletes);
  }
}

TEST_F(RenameDeleteDispatcherTest, OtherRenameFailuresAreOnlyLoggedWithTheAccountName) {
  service.script = [](auto& d, auto& c, auto&) {
    d.renameDeleteDidStart(c, "rename");
    d.renameDeleteDidFailWithError("u123: No such file or directory", c, "rename");
  };
  queue.pushRename({{"/x", "/y"}});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_EQ(queue.calls, (Calls{"consumed:3", "consumed:daemoneventpath"}));
  EXPECT_NE(std::find(env.session.begin(), env.session.end(),
                      "Rename3|Rename operation failed with error: ann@example: No such file or directory"),
            env.session.end());
}

// A rename the run did not confirm stays a rename to send, whatever ended the
// run; the server holding only the old name and the folder only the new one
// would otherwise stay two trees for good.
TEST_F(RenameDeleteDispatcherTest, EveryUnconfirmedRenameIsSentAgainThenFallsBackToUpload) {
  struct Case {
    const char* name;
    std::string error;
    std::string from, to;
    bool replayed;     // queued again as a rename on the first failures
    bool oldDeleted;   // after the last replay
    bool atOnce = false;  // falls back on the first failure
  };
  const std::vector<Case> cases = {
      {"the new name taken on the server", "SFERROR: rename failed. Reason: File exists", "/Old", "/New", false, true,
       true},
      {"the engine ended", "umkvt error: the engine was killed by signal 9", "/Old", "/New", true, true},
      {"a refusal of the engine", "umkvt-error: harness says no", "/Old", "/New", true, true},
      {"a folder moved into itself", "SFERROR: rename failed. Reason: Invalid argument", "/New", "/New/Inner",
       true, false},
      {"the server lacks the old item", "SFERROR: No such file or directory", "/Old", "/New", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir dir;
    env.root = dir.path();
    dir.writeFile("New/Inner/f.txt", "x");
    const std::string error = c.error;
    service.script = [error](auto& d, auto& ctl, auto&) {
      d.renameDeleteDidStart(ctl, "rename");
      d.renameDeleteDidFailWithError(error, ctl, "rename");
    };
    const std::string rename = "rename:" + c.from + ">" + c.to;
    for (int i = 0; i < (c.atOnce ? 0 : RenameDeleteDispatcher::kMaxRenameReplays); ++i) {
      queue.calls.clear();
      queue.pushRename({{c.from, c.to}});
      dispatcher->StartExcutingEventsCaptured();
      EXPECT_EQ(std::count(queue.calls.begin(), queue.calls.end(), rename), c.replayed ? 1 : 0) << i;
      EXPECT_EQ(std::count(queue.calls.begin(), queue.calls.end(), "delete:" + c.from), 0) << i;
    }
    queue.calls.clear();
    queue.pushRename({{c.from, c.to}});
    dispatcher->StartExcutingEventsCaptured();
    const std::set<std::string> got(queue.calls.begin(), queue.calls.end());
    EXPECT_EQ(got.count("upload:" + dir.path() + "/New/Inner/f.txt"), c.replayed || c.atOnce ? 1u : 0u);
    EXPECT_EQ(got.count("delete:" + c.from + "/Inner/f.txt"), c.oldDeleted ? 1u : 0u);
    EXPECT_FALSE(got.count("delete:" + c.from));
    EXPECT_FALSE(got.count(rename));
  }
}

// Each refused rename of a batch is handled by the engine's text for it, not
// by the run's, which names the first refusal only.
TEST_F(RenameDeleteDispatcherTest, EachRefusedRenameOfABatchIsHandledByItsOwnRefusal) {
  testing::TestTempDir dir;
  env.root = dir.path();
  for (const char* name : {"draft.txt", "b.txt", "d.txt", "f.txt"}) dir.writeFile(name, "x");
  service.script = [](auto& d, auto& c, auto&) {
    d.renameDeleteDidStart(c, "rename");
    d.renameDidReceiveData("/e.txt", "/f.txt");
    d.renameItemRefused(RenameEntry{"/a.txt", "/b.txt"}, "SFERROR: rename failed. Reason: No such file or directory");
    d.renameItemRefused(RenameEntry{"/.draft.txt.tmp", "/draft.txt"}, "SFERROR: rename failed. Reason: File exists");
    d.renameItemRefused(RenameEntry{"/c.txt", "/d.txt"}, "SFERROR: rename failed. Reason: Permission denied");
    d.renameDeleteDidFailWithError("SFERROR: rename failed. Reason: No such file or directory (3 renames failed)", c,
                                   "rename");
  };
  queue.pushRename({{"/e.txt", "/f.txt"}, {"/a.txt", "/b.txt"}, {"/.draft.txt.tmp", "/draft.txt"}, {"/c.txt", "/d.txt"}});
  dispatcher->StartExcutingEventsCaptured();
  ASSERT_EQ(service.runs.size(), 1u) << "one batch";
  const std::set<std::string> got(queue.calls.begin(), queue.calls.end());
  struct Row {
    std::string call;
    bool queued;
  };
  const std::vector<Row> rows = {
      {"upload:" + dir.path() + "/draft.txt", true},  // the new name taken: uploaded at once
      {"delete:/.draft.txt.tmp", true},
      {"rename:/.draft.txt.tmp>/draft.txt", false},
      {"rename:/c.txt>/d.txt", true},  // another refusal is sent again
      {"delete:/c.txt", false},
      {"rename:/a.txt>/b.txt", false},  // the old item lacking: left to the controller
      {"upload:" + dir.path() + "/b.txt", false},
      {"delete:/a.txt", false},
      {"rename:/e.txt>/f.txt", false},
  };
  for (const Row& r : rows) EXPECT_EQ(got.count(r.call), r.queued ? 1u : 0u) << r.call;
}

TEST_F(RenameDeleteDispatcherTest, BatchesAreSentTwoSecondsApartWithAFinderMessageAfterEach) {
  service.script = renamedAll;
  queue.pushRename({{"/a", "/b"}, {"/c/d", "/c/e"}});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_EQ(service.runs, (Calls{"rename:/a>/b;", "rename:/c/d>/c/e;"}));
  EXPECT_EQ(pauses, (std::vector<Clock::Duration>{2s, 2s}));  // the last batch too
  int finder = 0;
  for (const auto& c : env.calls) finder += c.rfind("finder1:", 0) == 0;
  EXPECT_EQ(finder, 2);
  loop.runUntilIdle();
  EXPECT_EQ(std::count(env.calls.begin(), env.calls.end(), "push:1005:Collective rename success"), 2);
}

TEST_F(RenameDeleteDispatcherTest, CancelStopsTheRunBetweenBatchesAndKeepsTheRest) {
  service.script = renamedAll;
  queue.pushRename({{"/a", "/b"}, {"/c/d", "/c/e"}});
  queue.pushDelete({"/gone"});
  pauseAnswer = false;  // cancelled during the pause
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_EQ(service.runs, (Calls{"rename:/a>/b;"}));
  EXPECT_TRUE(dispatcher->hasHeldWork());
  pauseAnswer = true;
  dispatcher->ExcuteEventsCaptured();  // held work alone starts a run
  dispatcher->join();
  EXPECT_EQ(service.runs, (Calls{"rename:/a>/b;", "rename:/c/d>/c/e;", "delete:/gone;"}));
  EXPECT_FALSE(dispatcher->hasHeldWork());
}

TEST_F(RenameDeleteDispatcherTest, ADeleteOfARenamedItemGoesAfterTheRename) {
  service.script = [](auto& d, auto& c, const std::vector<std::string>& items) {
    if (items[0].find('>') != std::string::npos) renamedAll(d, c, items);
  };
  queue.pushDelete({"/b"});
  queue.pushRename({{"/a", "/b"}});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_EQ(service.runs, (Calls{"rename:/a>/b;", "delete:/b;"}));
}

TEST_F(RenameDeleteDispatcherTest, DeleteStatusAndLocalChecks) {
  env.existing = {"/still-here.txt"};
  queue.pushDelete({"/still-here.txt"});
  queue.pushDelete({"/Notes", "/README"});
  queue.pushDelete({"/a.txt"});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_EQ(service.runs, (Calls{"delete:/Notes;/README;", "delete:/a.txt;"}));
  Calls statuses;
  for (const auto& c : env.calls)
    if (c.rfind("status:", 0) == 0) statuses.push_back(c);
  EXPECT_EQ(statuses, (Calls{"status:T1016", "status:Deleting file(s)..."}));
}

TEST_F(RenameDeleteDispatcherTest, CancelledDeleteKeepsWhatWasNotDeleted) {
  service.script = [](auto& d, auto& c, auto&) {
    d.renameDeleteDidStart(c, "delete");
    d.deleteDidReceiveData("/one.txt");
    d.deleteDidCancel(c);
  };
  queue.pushDelete({"/one.txt", "/two.txt"});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_TRUE(dispatcher->hasHeldWork());
  service.script = nullptr;
  dispatcher->ExcuteEventsCaptured();
  dispatcher->join();
  EXPECT_EQ(service.runs, (Calls{"delete:/one.txt;/two.txt;", "delete:/two.txt;"}));
}

// A delete the service did not confirm is sent again at a later cycle, after
// 30 s; an item the service does not hold counts as deleted, one that is
// back in the folder is not deleted on the service, and one the service holds
// in a newer version from another computer is fetched instead.
TEST_F(RenameDeleteDispatcherTest, UnconfirmedDeletesAreSentAgainAfterAWait) {
  ::ulmora::testing::TestTempDir dir;
  env.root = dir.sub("Sync");
  dir.writeFile("Sync/.keep", "");
  int run = 0;
  service.script = [&run](auto& d, auto& c, const std::vector<std::string>& items) {
    d.renameDeleteDidStart(c, "delete");
    if (run++ == 0) {
      d.deleteDidReceiveData("/done.txt");
      d.renameDeleteDidReceiveErrors("/gone.txt", "delete");
      d.deleteItemRefused("/gone.txt", "SFERROR: delete failed. Reason: No such file or directory");
      d.renameDeleteDidReceiveErrors("/newer.txt", "delete");
      d.deleteItemRefused("/newer.txt", "SFERROR: version check failed. Reason: Stale file handle");
      d.renameDeleteDidFailWithError("rsync: connection unexpectedly closed", c, "delete");
      return;
    }
    for (const auto& i : items) d.deleteDidReceiveData(i);
    d.renameDeleteDidFinishSuccessfully(c, "delete");
  };
  queue.pushDelete({"/done.txt", "/gone.txt", "/late.txt", "/back.txt", "/newer.txt"});
  dispatcher->StartExcutingEventsCaptured();
  ASSERT_EQ(service.runs.size(), 1u);
  EXPECT_NE(std::find(env.session.begin(), env.session.end(),
                      "Delete4|Error: /late.txt was not deleted; it is tried again in 30 s"),
            env.session.end());
  EXPECT_NE(std::find(env.session.begin(), env.session.end(),
                      "Delete4|/newer.txt was changed on another computer and was not deleted; its newer "
                      "version is fetched"),
            env.session.end());
  loop.runUntilIdle();
  EXPECT_TRUE(env.has("fetch:/newer.txt"));
  EXPECT_FALSE(env.has("fetch:/late.txt"));

  auto cycle = [this] {
    dispatcher->ExcuteEventsCaptured();
    dispatcher->join();
  };
  clock.advance(29s);
  cycle();
  EXPECT_EQ(service.runs.size(), 1u);
  dir.writeFile("Sync/back.txt", "made again");
  clock.advance(1s);
  cycle();
  EXPECT_EQ(service.runs,
            (Calls{"delete:/done.txt;/gone.txt;/late.txt;/back.txt;/newer.txt;", "delete:/late.txt;"}));
  clock.advance(1h);
  cycle();
  EXPECT_EQ(service.runs.size(), 2u);
}

TEST_F(RenameDeleteDispatcherTest, ThumbnailUpdateRunsOnTheMainLoopAfterTenSeconds) {
  env.images = true;
  service.script = renamedAll;
  queue.pushRename({{"/p.jpg", "/q.jpg"}});
  dispatcher->StartExcutingEventsCaptured();
  loop.runUntilIdle();
  EXPECT_FALSE(env.has("thumb:/home/ann/Sync/p.jpg>/home/ann/Sync/q.jpg"));
  clock.advance(9s);
  loop.runUntilIdle();
  EXPECT_FALSE(env.has("thumb:/home/ann/Sync/p.jpg>/home/ann/Sync/q.jpg"));
  clock.advance(1s);
  loop.runUntilIdle();
  EXPECT_TRUE(env.has("thumb:/home/ann/Sync/p.jpg>/home/ann/Sync/q.jpg"));
}

TEST_F(RenameDeleteDispatcherTest, RenamesDuringAListingAreRememberedUntilTheRunEnds) {
  env.listing = true;
  std::set<std::string> seen;
  service.script = [&](auto& d, auto& c, const std::vector<std::string>& items) {
    seen = env.duringListing;
    renamedAll(d, c, items);
  };
  queue.pushRename({{"/a", "/b"}});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_EQ(seen, (std::set<std::string>{"/a"}));
  EXPECT_TRUE(env.duringListing.empty());
}

TEST_F(RenameDeleteDispatcherTest, WorkerThreadRunsWithTheFlagSetByTheStarter) {
  service.script = renamedAll;
  queue.pushRename({{"/a", "/b"}});
  dispatcher->ExcuteEventsCaptured();
  EXPECT_TRUE(dispatcher->isRunning() || !service.runs.empty());
  dispatcher->ExcuteEventsCaptured();  // never a second worker
  dispatcher->join();
  EXPECT_FALSE(dispatcher->isRunning());
  EXPECT_EQ(service.runs, (Calls{"rename:/a>/b;"}));
  dispatcher->ExcuteEventsCaptured();  // nothing to do: no thread
  dispatcher->join();
  EXPECT_EQ(service.runs.size(), 1u);
}

TEST_F(RenameDeleteDispatcherTest, AHeldRenameWhoseNewNameIsDeletedBecomesADeleteOfTheOldName) {
  env.held = {{"/draft.txt", "/final.txt"}};
  queue.pushDelete({"/final.txt"});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_NE(std::find(queue.calls.begin(), queue.calls.end(), "delete:/draft.txt"), queue.calls.end());
  EXPECT_TRUE(env.held.empty());
  EXPECT_TRUE(env.has("queryMainDB"));
  EXPECT_TRUE(queue.uploadsOn);
}

}  // namespace
}  // namespace ulmora

namespace ulmora {
namespace {

TEST_F(RenameDeleteDispatcherTest, ACancelledRenameRunKeepsItsUnconfirmedRenamesFirst) {
  service.script = [](auto& d, auto& c, auto&) {
    d.renameDeleteDidStart(c, "rename");
    d.renameDidReceiveData("/a", "/b");
    d.renameDeleteDidCancel(c, "rename");
  };
  queue.pushRename({{"/a", "/b"}, {"/c", "/d"}});
  queue.pushDelete({"/later"});
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_EQ(service.runs, (Calls{"rename:/a>/b;/c>/d;"}));
  service.script = renamedAll;
  dispatcher->ExcuteEventsCaptured();
  dispatcher->join();
  EXPECT_EQ(service.runs, (Calls{"rename:/a>/b;/c>/d;", "rename:/c>/d;", "delete:/later;"}));
}

}  // namespace
}  // namespace ulmora

namespace ulmora {
namespace {

TEST_F(RenameDeleteDispatcherTest, AOneCharacterFailureIsNotLoggedButThePartialPushGoesOut) {
  service.script = [](auto& d, auto& c, auto&) {
    d.renameDeleteDidStart(c, "rename");
    d.renameDeleteDidFailWithError("x", c, "rename");
  };
  queue.pushRename({{"/x", "/y"}});
  dispatcher->StartExcutingEventsCaptured();
  for (const auto& line : env.session) EXPECT_EQ(line.find("Rename operation failed"), std::string::npos) << line;
  loop.runUntilIdle();
  EXPECT_TRUE(env.has("push:1005:Collective rename - partial success"));
}

TEST_F(RenameDeleteDispatcherTest, AnUnknownSetTypeIsConsumedAndDropped) {
  PropertyList set(PropertyList::Dict{});
  set.set("createdir", PropertyList(PropertyList::Array{PropertyList("/n")}));
  queue.sets.push_back(set);
  dispatcher->StartExcutingEventsCaptured();
  EXPECT_TRUE(service.runs.empty());
  EXPECT_EQ(queue.calls, (Calls{"consumed:daemoneventpath"}));
}

}  // namespace
}  // namespace ulmora
