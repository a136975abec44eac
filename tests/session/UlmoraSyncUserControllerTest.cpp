#include "session/UlmoraSyncUserController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include <atomic>
#include <thread>

#include "OffLoopCalls.h"
#include "SessionTestSupport.h"
#include "capture/FileStateDatabaseQueries.h"
#include "database/DataBaseWrapper.h"
#include "ipc/IpcMessage.h"
#include "ipc/IpcMessageTypes.h"
#include "journal/JournalFolder.h"
#include "journal/JournalReader.h"
#include "journal/UMSDBSyncInputManger.h"
#include "foundation/QLUtility.h"
#include "platform/ManualClock.h"
#include "session/UMSSharedInstanceManager.h"
#include "engine/KVTBackupManager.h"
#include "platform/NetworkReachability.h"
#include "sync/MainSyncController.h"

namespace ulmora {
namespace {

using ::testing::_;
using ::testing::NiceMock;
using testing::MockSyncController;
using testing::RecordingSink;
using testing::TemporaryHome;

// A record of the file table with the given upload and download states.
std::vector<std::string> fileRecord(const std::string& path, const std::string& backup,
                                    const std::string& restore) {
  return {path, "2020-01-01 00:00:00 +0000", "10", "NA", "NA", "0", "NA", "NA",
          backup, "1", restore, "NA"};
}

class AccountTest : public ::testing::Test {
 protected:
  AccountTest() {
    UMSDBSyncInputManger::Options q;
    q.clock = &clock;
    queue = std::make_unique<UMSDBSyncInputManger>(q);
  }
  ~AccountTest() override {
    account.reset();
    queue.reset();
  }

  void make(bool unlinked = false, std::string root = "", const std::string& user = "demo") {
    if (root.empty()) root = home.sub("UlmoraSync");
    UlmoraSyncUserController::Options o;
    o.registry = &registry;
    o.inputQueue = queue.get();
    o.clock = &clock;
    o.mainLoop = &loop;
    if (recordFindings) o.journalSink = sink.get();
    o.watchSyncRoot = false;
    o.unlinked = unlinked;
    o.makeSyncController = [this, root](SyncContext) {
      auto m = std::make_unique<NiceMock<MockSyncController>>(root);
      mock = m.get();
      return m;
    };
    account = std::make_unique<UlmoraSyncUserController>(
        SyncSessionDetails{me, user, root}, std::move(o));
  }

  std::string dbFolder(const std::string& user = "demo") const {
    return home.accountFolder(user) + "/Database";
  }
  // An account that has been synced before: its local database exists.
  void createLocalDatabase(const std::string& user = "demo") const {
    home.writeRaw(dbFolder(user) + "/" + user + ".ql", "");
  }

  // Publishes one batch as the write-behind does; the merge thread leaves it
  // alone until asked, because its clock never moves.
  void publishBatch(const std::vector<std::vector<std::string>>& records,
                    const std::string& user = "demo") {
    DataBaseWrapper writer;
    ASSERT_TRUE(writer.initializewithDatabase(dbFolder(user), user));
    ASSERT_TRUE(writer.beginTransaction());
    for (const auto& r : records) ASSERT_TRUE(writer.insert(r));
    ASSERT_TRUE(writer.commitTransaction());
    ASSERT_TRUE(writer.unInitializeDatabase());
  }

  // Paths resolve only for the running user.
  const std::string me = QLUtility::currentConsoleUserName();
  TemporaryHome home;
  ManualClock clock;
  RunLoop loop{clock};
  UMSSharedInstanceManager registry;
  std::unique_ptr<RecordingSink> sink = std::make_unique<RecordingSink>();
  bool recordFindings = true;  // false: findings go to the account's event journal writer
  std::unique_ptr<UMSDBSyncInputManger> queue;
  MockSyncController* mock = nullptr;
  std::unique_ptr<UlmoraSyncUserController> account;
};

TEST_F(AccountTest, RelativePathsAreCutOnWholeComponents) {
  make(false, "/home/ann/Sync");
  struct Case {
    const char* path;
    const char* relative;
  } cases[] = {
      {"/home/ann/Sync/a.txt", "/a.txt"},
      {"/home/ann/Sync/d/e/f", "/d/e/f"},
      {"/home/ann/Sync", ""},
      {"/home/ann/Sync/", ""},
      {"/home/ann/Sync2/a.txt", "/home/ann/Sync2/a.txt"},
      {"/home/ann/Syn", "/home/ann/Syn"},
      {"/a.txt", "/a.txt"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(account->createRelativePathToUlmoraSync(c.path), c.relative);
  }
  EXPECT_EQ(account->syncFolderForUser("anything"), "/home/ann/Sync");
}

TEST_F(AccountTest, StartInitialisesTheSyncControllerAndStartsItUnlessUnlinked) {
  struct Case {
    const char* name;
    bool unlinked;
    bool rootIsAFile;
  } cases[] = {
      {"linked", false, false},
      {"unlinked", true, false},
      {"sync folder cannot be made", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = home.sub(std::string("root-") + (c.unlinked ? "u" : "l") +
                                      (c.rootIsAFile ? "f" : "d"));
    if (c.rootIsAFile) home.writeRaw(root, "not a folder");
    make(c.unlinked, root);
    EXPECT_CALL(*mock, initWithConsoleUser(SyncSessionDetails{me, "demo", root}));
    EXPECT_CALL(*mock, setSharedUlmoraSyncUserController(account.get()));
    EXPECT_CALL(*mock, startSync()).Times(c.unlinked ? 0 : 1);
    EXPECT_CALL(*mock, notAbleTOCreateFolderAtPath()).Times(c.rootIsAFile ? 1 : 0);
    account->start();
    EXPECT_EQ(fileutil::isDirectory(root), !c.rootIsAFile);
    EXPECT_EQ(registry.userControllerForCUser(me, "demo"), account.get());
    account.reset();
    EXPECT_EQ(registry.userControllerForCUser(me, "demo"), nullptr);
  }
}

TEST_F(AccountTest, MessengersOnlyWhileTheAccountIsLoggedIn) {
  auto* finder = reinterpret_cast<MessageSendingModule*>(0x1000);
  auto* monitor = reinterpret_cast<MessageSendingModule*>(0x2000);
  registry.setFinderMessenger(finder, me);
  registry.setMonitorMessenger(monitor, me);
  make();
  EXPECT_EQ(account->finderMessenger(), nullptr);
  account->start();
  EXPECT_NE(account->finderMessenger(), nullptr);
  EXPECT_NE(account->monitorMessenger(), nullptr);

  EXPECT_CALL(*mock, stopSyncForUnlink(true));
  account->deactivate();
  EXPECT_EQ(account->finderMessenger(), nullptr);
  EXPECT_EQ(account->monitorMessenger(), nullptr);

  EXPECT_CALL(*mock, startSync());
  account->activate(false);
  EXPECT_NE(account->monitorMessenger(), nullptr);
}

TEST_F(AccountTest, TheEventJournalWriterRunsFromTheStartAndWritesWhatIsQueuedOnShutdown) {
  recordFindings = false;
  const std::string root = home.sub("UlmoraSync");
  home.writeRaw(root + "/up.txt", "u");
  make();
  EXPECT_FALSE(account->syncFilesController().syncFCThread());
  account->start();
  EXPECT_TRUE(account->syncFilesController().syncFCThread());
  EXPECT_EQ(registry.syncFilesControllerForCUser(me, "demo"), &account->syncFilesController());

  // The database's pending upload goes through the writer. The writer's
  // timer has not fired, so only the stop can write it.
  publishBatch({fileRecord("/up.txt", "0", "1")});
  account->performQueryMainDB(1);
  const std::string uploads = home.accountFolder("demo") + "/Journal/Backup";
  EXPECT_TRUE(JournalReader::peekTextLines(JournalFolder(uploads)).empty());

  {
    // Writing a list pauses on the clock now and then; the pump lets those
    // pauses pass while staying far below the writer's 2 s tick.
    std::atomic<bool> stopped{false};
    std::jthread pump([&] {
      while (!stopped) {
        clock.advance(std::chrono::microseconds(100));
        std::this_thread::yield();
      }
    });
    account->shutdown();
    stopped = true;
  }
  EXPECT_EQ(JournalReader::peekTextLines(JournalFolder(uploads)),
            std::vector<std::string>{"/up.txt"});
  account.reset();
  EXPECT_EQ(registry.syncFilesControllerForCUser(me, "demo"), nullptr);
}

TEST_F(AccountTest, QueryMainDBWaitsForPublishedBatchesBeforeReading) {
  struct Case {
    int option;
    std::vector<std::string> uploads;
    std::vector<std::string> downloads;
  } cases[] = {
      {1, {"/up.txt"}, {}},
      {2, {}, {"/down.txt"}},
      {0, {"/up.txt"}, {"/down.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    const std::string user = "user" + std::to_string(c.option);
    sink = std::make_unique<RecordingSink>();
    make(false, "", user);
    account->start();
    publishBatch({fileRecord("/up.txt", "0", "1"), fileRecord("/down.txt", "1", "0")}, user);

    account->performQueryMainDB(c.option);

    EXPECT_EQ(sink->backups(), c.uploads);
    EXPECT_EQ(sink->restores(), c.downloads);
    account.reset();
  }
}

// A run that just ended has its records still in the queue's write-behind;
// read without them, the database would hand the run's own files out again
// and the next run would be the same set.
TEST_F(AccountTest, QueryMainDBCountsTheRecordsAFinishedRunLeftInTheQueue) {
  struct Case {
    int option;
    std::vector<std::string> uploads;
    std::vector<std::string> downloads;
  } cases[] = {
      {1, {"/other-up.txt"}, {}},
      {2, {}, {"/other-down.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option);
    const std::string user = "moved" + std::to_string(c.option);
    const std::string root = home.sub("Root" + std::to_string(c.option));
    home.writeRaw(root + "/done.txt", "0123456789");
    createLocalDatabase(user);
    sink = std::make_unique<RecordingSink>();
    make(false, root, user);
    account->start();
    // As the account's sync controller does for its queue.
    queue->initializeAppSupportFilePaths(me, user);
    ON_CALL(*mock, syncUserName()).WillByDefault(::testing::Return(user));
    publishBatch({fileRecord("/done.txt", c.option == 1 ? "0" : "1", c.option == 2 ? "0" : "1"),
                  fileRecord("/other-up.txt", "0", "1"), fileRecord("/other-down.txt", "1", "0")},
                 user);
    queue->addFileToUpdate({{root + "/done.txt", "Backup"}});  // the run's transfer of done.txt
    // Only what this query hands out counts (the start compares the folder too).
    const size_t uploadsBefore = sink->backups().size();
    const size_t downloadsBefore = sink->restores().size();

    account->performQueryMainDB(c.option);

    const auto uploads = sink->backups();
    const auto downloads = sink->restores();
    EXPECT_EQ(std::vector<std::string>(uploads.begin() + static_cast<long>(uploadsBefore), uploads.end()),
              c.uploads);
    EXPECT_EQ(std::vector<std::string>(downloads.begin() + static_cast<long>(downloadsBefore), downloads.end()),
              c.downloads);
    EXPECT_EQ(queue->getUpdateBackupFilesCount(), 1u) << "only the queue's writer thread writes rows";
    account.reset();
  }
}

// The rows a listing queued for files not here yet are downloads the
// query hands out at once, not after the queue has written them; and the
// files those downloads write are the server's, never sent back as local
// changes.
TEST_F(AccountTest, QueryMainDBHandsOutQueuedDownloadsAndMarksThemAsTheServers) {
  const std::string user = "late";
  const std::string root = home.sub("RootLate");
  home.writeRaw(root + "/here.txt", "0123456789");
  createLocalDatabase(user);
  sink = std::make_unique<RecordingSink>();
  make(false, root, user);
  account->start();
  queue->initializeAppSupportFilePaths(me, user);
  ON_CALL(*mock, syncUserName()).WillByDefault(::testing::Return(user));
  publishBatch({fileRecord("/listed.bin", "1", "0"), fileRecord("/here.txt", "1", "0")}, user);
  queue->addToUpdateRefID({{"/late.bin", "ref-9"}, {"/here.txt", "ref-1"}});
  const size_t before = sink->restores().size();

  account->performQueryMainDB(2);

  const auto restores = sink->restores();
  EXPECT_EQ(std::vector<std::string>(restores.begin() + static_cast<long>(before), restores.end()),
            (std::vector<std::string>{"/listed.bin", "/late.bin"}));
  EXPECT_EQ(queue->getUpdateRefIDFilesCount(), 2u) << "the query wrote no row";
  for (const char* path : {"/listed.bin", "/late.bin"}) {
    SCOPED_TRACE(path);
    // The old copy still here while the download has not written it is
    // not sent either.
    home.writeRaw(root + path, "old");
    EXPECT_EQ(account->excludedFiles().filterversionRestoredFile({path}), std::nullopt);
  }
  account.reset();
}

TEST_F(AccountTest, TotalsArriveOnAWorkerInOrder) {
  make();
  account->start();
  publishBatch({fileRecord("/a", "0", "1"), fileRecord("/b", "0", "1"), fileRecord("/c", "1", "1")});
  account->performQueryMainDB(1);  // merged

  std::atomic<bool> done{false};
  std::thread::id on;
  {
    ::testing::InSequence order;
    EXPECT_CALL(*mock, SetTotalBackupCount(2));
    EXPECT_CALL(*mock, SetTotalBackupSize(20));
    EXPECT_CALL(*mock, ResetNecessaryVariablesForBackup());
    EXPECT_CALL(*mock, SetQueriedForBackup(true)).WillOnce([&] {
      on = std::this_thread::get_id();
      done = true;
    });
  }
  account->queryMainDBForTotalCountAndSizeOfBackupFiles();
  ASSERT_TRUE(testing::pumpUntil(loop, [&] { return done.load(); }));
  EXPECT_NE(on, std::this_thread::get_id());
}

TEST_F(AccountTest, ReinitialiseDropsTheLocalDatabaseAndWalksTheRootAgain) {
  const std::string root = home.sub("UlmoraSync");
  home.writeRaw(root + "/a.txt", "a");
  home.writeRaw(root + "/d/b.txt", "b");
  createLocalDatabase();
  make();
  account->start();
  publishBatch({fileRecord("/old.txt", "0", "1")});
  account->performQueryMainDB(1);
  ASSERT_EQ(sink->backups(), std::vector<std::string>{"/old.txt"});
  // A batch published just before the command belongs to the old database.
  publishBatch({fileRecord("/stale.txt", "0", "1")});

  std::atomic<bool> listed{false};
  {
    ::testing::InSequence order;
    EXPECT_CALL(*mock, ReinitializeSync());
    EXPECT_CALL(*mock, setReinitializeState(true));
    EXPECT_CALL(*mock, startSyncListingAllFiles(0)).WillOnce([&] { listed = true; });
  }
  account->handleCommand(IpcMessage{PropertyList(""), 517, "status monitor", "sync agent"});
  ASSERT_TRUE(testing::pumpUntil(loop, [&] { return listed.load(); }));
  EXPECT_TRUE(account->isReinitializing());

  std::vector<std::string> walked = sink->backups();
  EXPECT_THAT(walked, ::testing::IsSupersetOf({root + "/a.txt", root + "/d/b.txt"}));
  auto pending = FileStateDatabaseQueries(dbFolder(), "demo").pathsToUpload();
  EXPECT_TRUE(!pending || pending->empty());
}

TEST_F(AccountTest, OnlyANewAccountIsWalkedInFullAtStartSkippingDeselectedFolders) {
  struct Case {
    const char* name;
    bool hasDatabase;
    std::vector<std::string> walked;
  } cases[] = {
      {"new account", false, {"/a.txt", "/kept/c.txt"}},
      {"synced before", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string user = c.hasDatabase ? "old" : "new";
    const std::string root = home.sub("Sync-" + user);
    home.writeRaw(root + "/a.txt", "a");
    home.writeRaw(root + "/skip/b.txt", "b");
    home.writeRaw(root + "/kept/c.txt", "c");
    home.writePlist(home.sub(".config/ulmora/accounts/" + user + "/SelectiveSync.plist"),
                    PropertyList(PropertyList::Dict{{"/skip", "0"}, {"/kept", "1"}}));
    if (c.hasDatabase) createLocalDatabase(user);
    sink = std::make_unique<RecordingSink>();
    make(false, root, user);
    std::atomic<bool> listed{false};
    EXPECT_CALL(*mock, setReinitializeState(true)).Times(c.hasDatabase ? 0 : 1);
    EXPECT_CALL(*mock, startSyncListingAllFiles(0)).Times(c.hasDatabase ? 0 : 1).WillRepeatedly([&] {
      listed = true;
    });
    account->start();
    if (!c.hasDatabase) {
      ASSERT_TRUE(testing::pumpUntil(loop, [&] { return listed.load(); }));
    }
    EXPECT_EQ(account->isReinitializing(), !c.hasDatabase);
    std::vector<std::string> walked;
    for (const std::string& p : sink->backups()) walked.push_back(p.substr(root.size()));
    std::sort(walked.begin(), walked.end());
    EXPECT_EQ(walked, c.walked);
    account.reset();
  }
}

TEST_F(AccountTest, QueryMainDBReturnsAtOnceAndQueriesOnTheWorker) {
  createLocalDatabase();
  make();
  account->start();
  publishBatch({fileRecord("/up.txt", "0", "1")});
  account->queryMainDB(1);
  ASSERT_TRUE(testing::pumpUntil(loop, [&] { return !sink->backups().empty(); }));
  EXPECT_EQ(sink->backups(), std::vector<std::string>{"/up.txt"});
}

TEST_F(AccountTest, TheDownloadQueryLeavesOutDownloadsAlreadyWaiting) {
  createLocalDatabase();
  make();
  account->start();
  // A listing queued "/listed.txt" a moment ago; its row already says "to
  // download". A second copy from the query would be taken by a later run,
  // after the file arrived, and that run would repeat the set before it.
  queue->addRestoreFiles({{"/listed.txt", "10"}});
  publishBatch({fileRecord("/listed.txt", "1", "0"), fileRecord("/older.txt", "1", "0")});
  account->queryMainDB(2);
  ASSERT_TRUE(testing::pumpUntil(loop, [&] { return !sink->restores().empty(); }));
  EXPECT_EQ(sink->restores(), std::vector<std::string>{"/older.txt"});
}

// The account's real sync controller, with a network that is always there.
class AlwaysReachable final : public NetworkReachability {
 public:
  std::optional<bool> isReachable() override { return true; }
  void start(RunLoop&, ChangeHandler) override {}
  void stop() override {}
};

TEST_F(AccountTest, TheRealControllerStopsFirstWithItsTimersAndRunsInFlight) {
  struct Case {
    const char* name;
    bool unlinkFirst;
  } cases[] = {{"destroyed while syncing", false}, {"unlinked, then destroyed", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    createLocalDatabase();
    UlmoraSyncUserController::Options o;
    o.registry = &registry;
    o.inputQueue = queue.get();
    o.clock = &clock;
    o.mainLoop = &loop;
    o.watchSyncRoot = false;
    MainSyncController* sync = nullptr;
    o.makeSyncController = [&](SyncContext ctx) {
      ctx.enginePath = home.sub("no-engine/ulmora-kvt");
      ctx.makeReachability = [] { return std::make_unique<AlwaysReachable>(); };
      auto made = std::make_unique<MainSyncController>(std::move(ctx));
      sync = made.get();
      return made;
    };
    home.logIn("demo", home.sub("UlmoraSync"));
    account = std::make_unique<UlmoraSyncUserController>(
        SyncSessionDetails{me, "demo", home.sub("UlmoraSync")}, std::move(o));
    account->start();
    clock.advance(std::chrono::seconds(5));
    loop.runUntilIdle();  // one tick
    // A download that waits on the clock until it is stopped.
    sync->restoreManager().setSameRestoreSetRepeated(true);
    sync->restoreManager().setFileFolderSetForOperation({"/b.txt"});
    sync->restoreManager().startRestore();
    sync->updateIconOverlay();
    if (c.unlinkFirst) {
      account->handleCommand(IpcMessage{PropertyList(""), messagetype::kUnlink, "status monitor",
                                        "sync agent"});
    }
    account.reset();
    EXPECT_EQ(MainSyncController::sharedController(), nullptr);
    // Its timers are gone with it.
    clock.advance(std::chrono::seconds(900));
    loop.runUntilIdle();
  }
}

#ifndef NDEBUG
// The life cycle and the commands belong to the main loop; the owner's
// queries (SyncControllerOwner) may come from any thread.
TEST_F(AccountTest, LifeCycleAndCommandsFromAnotherThreadStopTheProcess) {
  make();
  std::thread([&] {
    EXPECT_EQ(account->createRelativePathToUlmoraSync(home.sub("UlmoraSync") + "/a"), "/a");
    account->setisReinitializeState(false);
  }).join();
  testing::expectEachStopsOffItsLoop({
      {"start", [&] { account->start(); }},
      {"command", [&] { account->handleCommand(IpcMessage{"", messagetype::kStartSync, "status monitor", "sync agent"}); }},
      {"unlink", [&] { account->UnlinkSync(); }},
      {"journal_writer", [&] { account->didBackupSetOrUserChanged(); }},
      {"shutdown", [&] { account->shutdown(); }},
  });
}
#endif

}  // namespace
}  // namespace ulmora
