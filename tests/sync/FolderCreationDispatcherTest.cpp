// The folder-creation worker over a temporary sync root with fake ports.
#include "sync/server/FolderCreationDispatcher.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

using Calls = std::vector<std::string>;

class FakeQueue : public FolderCreationQueue {
 public:
  PropertyList readCreateDirJournal() override {
    PropertyList::Array a;
    for (auto& p : journal) a.emplace_back(p);
    journal.clear();
    return PropertyList(std::move(a));
  }
  void deleteCreateDirJournal() override {}
  void addDirectory(const std::string& p) override { requeued.push_back(p); }
  void recordFolderInSync(const std::string& p) override { recorded.push_back(p); }
  Calls journal, requeued, recorded;
};

// kRefuse: the engine ran and refused the folder; kFail: the run failed as a
// whole (no connection, the engine's own error) before judging it.
enum class Answer { kCreate, kRefuse, kFail, kCancel };

class FakeService : public FolderCreationService {
 public:
  void prepare() override {}
  void setCancel(bool) override {}
  void startCraeteDir(const std::string& folder) override {
    created.push_back(folder);
    delegate->createDirDidStart(controller);
    switch (answer) {
      case Answer::kCreate:
        delegate->createDirDidReceiveData(folder + "/");
        delegate->createDirDidFinishSuccessfully(controller);
        break;
      case Answer::kRefuse:
        delegate->createDirDidReceiveErrors("SFERROR: mkdir failed. Reason: Permission denied : " + folder + "/");
        delegate->createDirDidFailWithError("SFERROR: mkdir failed. Reason: Permission denied", controller);
        break;
      case Answer::kFail:
        delegate->createDirDidFailWithError("u123: connection refused", controller);
        break;
      case Answer::kCancel:
        delegate->createDirDidCancel(controller);
        break;
    }
    if (after) after();
  }
  KVTCreateDirHandlerProtocol* delegate = nullptr;
  KVTCreateDirController controller;
  Answer answer = Answer::kCreate;
  std::function<void()> after;
  Calls created;
};

class FakeEnv : public FolderCreationEnvironment {
 public:
  std::string syncRootPath() override { return root; }
  std::string syncUserName() override { return "u123"; }
  std::string accountUserName() override { return "ann"; }
  void setMonitorToolTip(const std::string& s) override { calls.push_back("status:" + s); }
  void removeItemFromToolTipFor(const std::string& s) override { calls.push_back("unstatus:" + s); }
  // As the file manager's lists decide: a run of 1 to 9 folders reports.
  bool sendMessageToFinder(const std::vector<std::string>& p) override {
    if (p.empty() || p.size() >= 10) return false;
    notInSync.push_back(p);
    return true;
  }
  void postInSyncList(const std::vector<std::string>& p) override { inSync.push_back(p); }
  void startPushing(const std::string& id, const std::string& text) override { calls.push_back("push:" + id + ":" + text); }
  void clearFolderCreationFilter() override {}
  void updateSSWindowRefresh() override {}
  void passwordChangedFromWeb() override {}
  std::string createSessionFileForOperation(int, const std::string& name) override { return name; }
  void writeSessionLog(const std::string&, const std::string& text, bool) override { session.push_back(text); }
  std::string root;
  Calls calls, session;
  std::vector<std::vector<std::string>> notInSync, inSync;
};

class FolderCreationTest : public ::testing::Test {
 public:
  FolderCreationTest() : loop(clock), dispatcher(queue, service, env, loop) {
    env.root = dir.path();
    service.delegate = &dispatcher;
  }
  void run(Calls journal) {
    queue.journal = std::move(journal);
    dispatcher.CreateFolder();
    dispatcher.join();
    loop.runUntilIdle();
  }
  void mkdir(const std::string& rel) { ASSERT_TRUE(fileutil::makeDirectories(dir.sub(rel))); }
  testing::TestTempDir dir;
  ManualClock clock;
  RunLoop loop;
  FakeQueue queue;
  FakeService service;
  FakeEnv env;
  FolderCreationDispatcher dispatcher;
};

struct QualifyRow {
  const char* name;
  std::function<void(FolderCreationTest&)> setUp;
  std::function<std::string(FolderCreationTest&)> journalled;
  Calls created;
};

class FolderQualifies : public FolderCreationTest, public ::testing::WithParamInterface<QualifyRow> {};

TEST_P(FolderQualifies, OnlyFoldersWithoutFilesAreCreated) {
  GetParam().setUp(*this);
  run({GetParam().journalled(*this)});
  EXPECT_EQ(service.created, GetParam().created);
  EXPECT_TRUE(dispatcher.collection().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FolderQualifies,
    ::testing::Values(
        QualifyRow{"OnlyDsStore", [](auto& t) { t.dir.writeFile("N/.DS_Store", ""); },
                   [](auto& t) { return t.dir.sub("N"); }, {"/N"}},
        QualifyRow{"HoldsAFile", [](auto& t) { t.dir.writeFile("N/a.txt", "x"); },
                   [](auto& t) { return t.dir.sub("N"); }, {}},
        QualifyRow{"NowAFile", [](auto& t) { t.dir.writeFile("N", "x"); }, [](auto& t) { return t.dir.sub("N"); }, {}},
        QualifyRow{"Gone", [](auto&) {}, [](auto& t) { return t.dir.sub("N"); }, {}},
        QualifyRow{"RelativeJournalPath", [](auto& t) { t.mkdir("Rel/Sub"); }, [](auto&) { return std::string("/Rel"); },
                   {"/Rel", "/Rel/Sub"}},
        QualifyRow{"EscapesTheRoot", [](auto& t) { t.mkdir("In"); },
                   [](auto& t) { return t.dir.path() + "/In/../../outside"; }, {}},
        QualifyRow{"EmptyTreeLeafAddedByTheWalk", [](auto& t) { t.mkdir("A/B/C"); },
                   [](auto& t) { return t.dir.sub("A"); }, {"/A", "/A/B/C"}},
        // Made in a folder renamed here before the folder was created: it is
        // created where the rename took it, which the server's rename did
        // not carry.
        QualifyRow{"FollowsItsFolderRenamedHere",
                   [](auto& t) {
                     t.mkdir("G/sub/N");
                     t.dispatcher.folderMovedHere("/F/", "/G/");
                   },
                   [](auto& t) { return t.dir.sub("F/sub/N"); }, {"/G/sub/N"}},
        QualifyRow{"FollowsTwoRenamesInTurn",
                   [](auto& t) {
                     t.mkdir("H/N");
                     t.dispatcher.folderMovedHere("/F", "/G");
                     t.dispatcher.folderMovedHere("/G/", "/H/");
                   },
                   [](auto& t) { return t.dir.sub("F/N"); }, {"/H/N"}},
        QualifyRow{"RenamedAndGoneThere", [](auto& t) { t.dispatcher.folderMovedHere("/F/", "/G/"); },
                   [](auto& t) { return t.dir.sub("F/N"); }, {}},
        QualifyRow{"AnotherFolderRenamed",
                   [](auto& t) {
                     t.mkdir("G/N");
                     t.dispatcher.folderMovedHere("/Fx/", "/G/");
                   },
                   [](auto& t) { return t.dir.sub("F/N"); }, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FolderCreationTest, FewFoldersAreReportedToTheFileManagerManyAreNot) {
  for (int i = 0; i < 3; ++i) mkdir("F" + std::to_string(i));
  run({dir.sub("F0"), dir.sub("F1"), dir.sub("F2")});
  EXPECT_EQ(env.notInSync.size(), 1u);
  EXPECT_EQ(env.inSync.size(), 3u);
  EXPECT_EQ(std::count(env.calls.begin(), env.calls.end(), "push:1008:Created Folder Successfully"), 3);

  env.notInSync.clear();
  env.inSync.clear();
  Calls many;
  for (int i = 0; i < 12; ++i) {
    mkdir("M" + std::to_string(i));
    many.push_back(dir.sub("M" + std::to_string(i)));
  }
  run(many);
  EXPECT_EQ(service.created.size(), 15u);
  EXPECT_TRUE(env.notInSync.empty());
  EXPECT_TRUE(env.inSync.empty());
}

TEST_F(FolderCreationTest, FailedCreationsAreQueuedAgainWhileEmptyAndBounded) {
  mkdir("E");
  service.answer = Answer::kRefuse;
  for (int i = 0; i < FolderCreationDispatcher::kMaxCreateTries; ++i) run({dir.sub("E")});
  EXPECT_EQ(queue.requeued, Calls(FolderCreationDispatcher::kMaxCreateTries - 1, dir.sub("E")));

  // A run that failed as a whole never judged the folder: it is no try, and
  // the folder waits for the engine to work again however long that takes.
  queue.requeued.clear();
  mkdir("F");
  service.answer = Answer::kFail;
  const int runs = FolderCreationDispatcher::kMaxCreateTries * 3;
  for (int i = 0; i < runs; ++i) {
    run({dir.sub("F")});
    clock.advance(FolderCreationDispatcher::kMaxRetryDelay);
  }
  EXPECT_EQ(queue.requeued, Calls(runs, dir.sub("F")));
  EXPECT_NE(std::find(env.session.begin(), env.session.end(), "ann: connection refused"), env.session.end());
  service.answer = Answer::kCreate;
  queue.requeued.clear();
  run({dir.sub("F")});
  EXPECT_TRUE(queue.requeued.empty());

  queue.requeued.clear();
  mkdir("G");
  service.after = [this] { dir.writeFile("G/now-a-file.txt", "x"); };
  run({dir.sub("G")});
  EXPECT_TRUE(queue.requeued.empty());
}

// A service that fails every run is not asked again each cycle: the queued
// folders stay in the journal 30 s, then twice as long after each failed run
// up to 15 min; a run that creates a folder ends the wait.
TEST_F(FolderCreationTest, RunsThatFailAsAWholeBackOff) {
  using std::chrono::seconds;
  mkdir("F");
  service.answer = Answer::kFail;
  run({dir.sub("F")});
  for (int wait : {30, 60, 120, 240, 480, 900, 900}) {
    const std::size_t runsBefore = service.created.size();
    clock.advance(seconds(wait - 1));
    run({dir.sub("F")});
    EXPECT_EQ(service.created.size(), runsBefore) << "a run " << wait - 1 << " s after a failed one";
    EXPECT_EQ(queue.journal, Calls{dir.sub("F")}) << "the folder waits in the journal";
    clock.advance(seconds(1));
    run({dir.sub("F")});
    EXPECT_EQ(service.created.size(), runsBefore + 1) << "a run " << wait << " s after a failed one";
  }
  clock.advance(FolderCreationDispatcher::kMaxRetryDelay);
  service.answer = Answer::kCreate;
  run({dir.sub("F")});
  service.answer = Answer::kFail;
  run({dir.sub("F")});
  EXPECT_EQ(service.created.size(), 10u) << "a created folder ends the wait";
  run({dir.sub("F")});
  EXPECT_EQ(service.created.size(), 10u) << "the wait starts again at 30 s";
}

TEST_F(FolderCreationTest, CancelLeavesTheRestQueuedWithoutCountingATry) {
  mkdir("X");
  mkdir("Y");
  service.answer = Answer::kCancel;
  service.after = [this] { dispatcher.cancel(); };
  run({dir.sub("X"), dir.sub("Y")});
  EXPECT_EQ(service.created, (Calls{"/X"}));
  EXPECT_EQ(queue.requeued, (Calls{dir.sub("X"), dir.sub("Y")}));
  EXPECT_EQ(env.calls.back(), "unstatus:Creating Folder...");
}

TEST_F(FolderCreationTest, NothingJournalledStartsNoWorker) {
  dispatcher.CreateFolder();
  EXPECT_FALSE(dispatcher.isRunning());
  dispatcher.join();
  EXPECT_TRUE(service.created.empty());
}

// A start compares the folder with the database: a folder the server holds
// must have its row, or its removal while the agent is down is never seen.
TEST_F(FolderCreationTest, AFolderCreatedAndTheFoldersAboveItAreRecorded) {
  mkdir("A/B");
  run({dir.sub("A/B")});
  EXPECT_EQ(queue.recorded, (Calls{"/A/B", "/A"}));
  for (Answer answer : {Answer::kRefuse, Answer::kFail, Answer::kCancel}) {
    queue.recorded.clear();
    service.answer = answer;
    mkdir("C");
    run({dir.sub("C")});
    EXPECT_TRUE(queue.recorded.empty()) << static_cast<int>(answer);
  }
}

}  // namespace
}  // namespace ulmora
