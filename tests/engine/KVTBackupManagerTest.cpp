#include "engine/KVTBackupManager.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "TestTempDir.h"
#include "engine/EngineSetFiles.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using testing::RecordingDelegate;
using namespace std::chrono_literals;

class ManagerRun : public ::testing::Test {
 protected:
  void SetUp() override {
    store = dir.sub("store");
    root = dir.sub("Sync");
    support = dir.sub("support");
    app = dir.sub("app");
    for (const std::string& d : {store, root, support, app}) ASSERT_TRUE(fileutil::makeDirectories(d));
  }

  User account() const {
    User u;
    u.setUserName("alice");
    u.setPassword("pw");
    u.setPort("--port=443");
    u.setKVTServerIP(store);
    return u;
  }

  std::string appFile(int index) const { return app + "/" + std::to_string(index); }

  // A manager set up the way the sync controller sets one up before a run.
  std::unique_ptr<KVTBackupManager> makeManager(bool restore, RecordingDelegate& d) {
    auto m = std::make_unique<KVTBackupManager>(clock);
    m->setDelegate(&d);
    m->setExecutorPath(testing::enginePath());
    m->setApplicationSupportFolder(support);
    m->setApplicationFileResolver([this](int i) { return appFile(i); });
    m->setRestore(restore);
    m->setRestoreMirrorPath(restore ? 1 : 0);
    m->setBackupSourceFolder(root);
    m->setDestinationPath("/");
    m->setUserInfo(account());
    m->deleteTempFilePaths();
    m->createTempFilePaths();
    m->setCancel(false);
    return m;
  }

  void writeLocal(const std::string& rel, const std::string& contents) {
    std::string path = root + rel;
    ASSERT_TRUE(fileutil::makeDirectories(fileutil::parentPath(path)));
    ASSERT_TRUE(fileutil::writeFileAtomically(path, contents));
  }

  void faults(const std::string& lines) { ASSERT_TRUE(fileutil::writeFileAtomically(store + "/faults", lines)); }

  // Uploads `entries` with a manager of its own; the files must exist locally.
  void seedServer(const std::vector<std::string>& entries) {
    RecordingDelegate d;
    auto m = makeManager(false, d);
    m->setFileFolderSetForOperation(entries);
    m->startBackup();
    ASSERT_TRUE(d.waitForEnding());
    ASSERT_EQ(d.ending(), "operationDidFinishSuccessfully");
  }

  std::vector<std::string> setFileLines(const std::string& name) const {
    std::vector<std::string> lines;
    std::ifstream in(fileutil::joinPath(manager->workFolder(), name));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  ManualClock clock;
  testing::TestTempDir dir;
  std::string store, root, support, app;
  RecordingDelegate delegate;
  std::unique_ptr<KVTBackupManager> manager;
};

TEST_F(ManagerRun, UploadReportsEachFileAndTheSummaryThenSucceeds) {
  writeLocal("/a.txt", "hello");
  writeLocal("/d/b.txt", "x");
  writeLocal("/d/tab\there.txt", "tabbed");
  manager = makeManager(false, delegate);
  std::vector<std::string> set = {"/a.txt", "/d/b.txt", "/d/tab\there.txt", "/a.txt"};
  manager->setFileFolderSetForOperation(set);
  manager->startBackup();
  EXPECT_TRUE(manager->isRunning()) << "running from the moment startBackup returns";
  ASSERT_TRUE(delegate.waitForEnding());

  EXPECT_EQ(delegate.ending(), "operationDidFinishSuccessfully");
  std::vector<std::string> names = delegate.names();
  EXPECT_EQ(names.front(), "operationDidStart");
  EXPECT_EQ(names.back(), "operationDidFinishSuccessfully");
  EXPECT_EQ(delegate.count("operationDidReceiveData"), 3);
  for (const auto& c : delegate.calls()) EXPECT_NE(c.thread, std::this_thread::get_id()) << c.name;

  std::vector<KVTProgressRecord> records = delegate.records();
  ASSERT_EQ(records.size(), 3u);
  for (const KVTProgressRecord& r : records) {
    EXPECT_EQ(r.transferMode, KVTProgressRecord::kFullBackup);
    EXPECT_TRUE(r.isDone());
    EXPECT_EQ(r.totalFileCount, 3);
  }
  EXPECT_EQ(records.back().backedUpFileCount, 3);
  EXPECT_EQ(records.back().totalTransferedSize, 12);
  auto tab = std::find_if(records.begin(), records.end(), [](auto& r) { return r.filename == "/d/tab\there.txt"; });
  ASSERT_NE(tab, records.end());
  EXPECT_EQ(tab->filesize, "6");

  EXPECT_EQ(manager->succesFileCount(), 3);
  EXPECT_EQ(manager->syncFileCount(), 0);
  EXPECT_EQ(manager->failureFileCount(), 0);
  EXPECT_FALSE(manager->fileSuccessfullySynced().empty());
  EXPECT_FALSE(manager->isCanceled());
  EXPECT_EQ(manager->errorCode(), 0);
  EXPECT_TRUE(testing::eventually([&] { return !manager->isRunning(); }));
  EXPECT_EQ(testing::serverFiles(store), (std::set<std::string>{"/a.txt", "/d/b.txt", "/d/tab\there.txt"}));
  EXPECT_EQ(fileutil::readFile(appFile(113)), "/a.txt\n/d/b.txt\n/d/tab\there.txt");
}

TEST_F(ManagerRun, SecondUploadSeesFilesInSyncAndChangedOnesAsIncremental) {
  writeLocal("/a.txt", "hello");
  writeLocal("/b.txt", "world");
  seedServer({"/a.txt", "/b.txt"});
  writeLocal("/b.txt", "changed contents");
  manager = makeManager(false, delegate);
  manager->setFileFolderSetForOperation({"/a.txt", "/b.txt"});
  manager->startBackup();
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), "operationDidFinishSuccessfully");
  EXPECT_EQ(manager->syncFileCount(), 1);
  EXPECT_EQ(manager->succesFileCount(), 1);
  EXPECT_EQ(manager->incSuccessFileCount(), 1);
  EXPECT_EQ(manager->fileIncSuccessSynced(), "/b.txt");
}

TEST_F(ManagerRun, LargeSetIsCarriedBySetFilesOfAtMost950PathsOnTwoEngines) {
  std::vector<std::string> set;
  for (int i = 0; i < 2000; ++i) {
    std::string rel = "/many/f" + std::to_string(i) + ".txt";
    writeLocal(rel, std::to_string(i));
    set.push_back(rel);
  }
  manager = makeManager(false, delegate);
  manager->setFileFolderSetForOperation(set);
  manager->startBackup();
  ASSERT_TRUE(delegate.waitForEnding(std::chrono::seconds(600)));
  EXPECT_EQ(delegate.ending(), "operationDidFinishSuccessfully");
  EXPECT_EQ(manager->succesFileCount(), 2000);
  EXPECT_EQ(delegate.records().back().totalFileCount, 2000);

  std::vector<std::string> carried;
  for (const char* name : {"set1_1", "set1_2", "set2_1", "set2_2"}) {
    std::vector<std::string> lines = setFileLines(name);
    ASSERT_FALSE(lines.empty()) << name;
    EXPECT_EQ(lines.front(), root) << "upload set files start with the local root";
    EXPECT_LE(lines.size() - 1, engineset::kMaxPathsPerSetFile) << name;
    carried.insert(carried.end(), lines.begin() + 1, lines.end());
  }
  EXPECT_FALSE(fileutil::exists(fileutil::joinPath(manager->workFolder(), "set1_3")));
  EXPECT_EQ(carried, set);
  EXPECT_EQ(testing::serverFiles(store).size(), 2000u);
}

TEST_F(ManagerRun, DownloadGivesEachEngineItsSideOfTheSplitPoint) {
  std::vector<std::string> set = {"/1.txt", "/2.txt", "/d/3.txt", "/d/4.txt", "/5.txt", "/6.txt"};
  for (const std::string& p : set) writeLocal(p, "content of " + p);
  seedServer(set);
  ASSERT_TRUE(fileutil::removeAll(root));
  ASSERT_TRUE(fileutil::makeDirectories(root));

  manager = makeManager(true, delegate);
  manager->setFileFolderSetForOperation(set);
  manager->setSplitPoint(2);
  manager->startRestore();
  EXPECT_TRUE(manager->isRunning());
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), "operationDidFinishSuccessfully");

  EXPECT_EQ(setFileLines("set1_1"), (std::vector<std::string>{"/1.txt", "/2.txt"}));
  EXPECT_EQ(setFileLines("set2_1"), (std::vector<std::string>{"/d/3.txt", "/d/4.txt", "/5.txt", "/6.txt"}));
  for (const std::string& p : set) EXPECT_EQ(fileutil::readFile(root + p), "content of " + p);
  EXPECT_EQ(fileutil::readFile(appFile(118)), "/1.txt\n/2.txt\n/d/3.txt\n/d/4.txt\n/5.txt\n/6.txt");
  EXPECT_EQ(delegate.count("operationDidFinishFileListGeneration"), 1);
  EXPECT_EQ(manager->succesFileCount(), 6);
  for (const KVTProgressRecord& r : delegate.records()) EXPECT_EQ(r.transferMode, KVTProgressRecord::kFullRestore);
  // Whole files must not be named as half received: the clean-up would remove them.
  EXPECT_FALSE(fileutil::exists(appFile(139)));
  EXPECT_FALSE(fileutil::exists(appFile(140)));
}

TEST_F(ManagerRun, CancelFileStopsTheRunWithOneCancelEnding) {
  for (const char* p : {"/a", "/b", "/c", "/d"}) writeLocal(p, std::string(4096, 'x'));
  faults("slow 4096\n");
  manager = makeManager(false, delegate);
  manager->setFileFolderSetForOperation({"/a", "/b", "/c", "/d"});
  manager->startBackup();
  ASSERT_TRUE(delegate.waitForCall("operationDidReceiveData"));
  manager->setCancel(true);
  EXPECT_EQ(fileutil::readFile(manager->cancelFilePath()), "3");
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), "operationDidCancel");
  EXPECT_EQ(delegate.count("operationCanceld"), 0);
  EXPECT_TRUE(manager->isCanceled());
  EXPECT_LT(delegate.count("operationDidReceiveData"), 4);
}

TEST_F(ManagerRun, StoppingTheEnginesEndsTheRunAsCancelled) {
  for (const char* p : {"/a", "/b", "/c"}) writeLocal(p, std::string(4096, 'x'));
  faults("slow 4096\n");
  manager = makeManager(false, delegate);
  manager->setFileFolderSetForOperation({"/a", "/b", "/c"});
  manager->startBackup();
  ASSERT_TRUE(delegate.waitForCall("operationDidReceiveData"));
  manager->stopRSyncOperation();
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), "operationDidCancel");
  EXPECT_EQ(delegate.count("operationCanceld"), 0);
}

bool hasPartFile(const std::string& folder) {
  bool found = false;
  DIR* d = ::opendir(folder.c_str());
  if (d == nullptr) return false;
  while (dirent* e = ::readdir(d)) {
    if (std::string(e->d_name).find(".kvt-part.") != std::string::npos) found = true;
  }
  ::closedir(d);
  return found;
}

class CancelBackupProcess : public ManagerRun, public ::testing::WithParamInterface<bool> {};

// CancelBackupProcess from the sync controller's thread (false) and from
// inside a progress callback on the run's own thread (true).
TEST_P(CancelBackupProcess, StopsTheEnginesBeforeCleaningUpThenSendsBothNotices) {
  const bool fromCallback = GetParam();
  std::vector<std::string> set = {"/a", "/b", "/c"};
  for (const std::string& p : set) writeLocal(p, std::string(16384, 'y'));
  seedServer(set);
  ASSERT_TRUE(fileutil::removeAll(root));
  ASSERT_TRUE(fileutil::makeDirectories(root));
  faults("slow 8192\n");

  manager = makeManager(true, delegate);
  bool partFileAtCleanUp = true;
  delegate.onDeleteHalfRestored = [&] { partFileAtCleanUp = hasPartFile(root); };
  if (fromCallback) {
    delegate.onData = [&](const KVTProgressRecord&) { manager->CancelBackupProcess(false); };
  }
  manager->setFileFolderSetForOperation(set);
  manager->startRestore();
  ASSERT_TRUE(delegate.waitForCall("operationDidReceiveData"));
  if (!fromCallback) manager->CancelBackupProcess(false);
  ASSERT_TRUE(delegate.waitForCall("operationCanceld"));

  std::vector<std::string> names = delegate.names();
  auto pos = [&](const char* n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
  EXPECT_LT(pos("deleteHalfRestoredFiles"), pos("ClearRestoreRelatedFileEntries"));
  EXPECT_LT(pos("ClearRestoreRelatedFileEntries"), pos("operationDidCancel"));
  EXPECT_LT(pos("operationDidCancel"), pos("operationCanceld"));
  EXPECT_EQ(names.back(), "operationCanceld");
  EXPECT_EQ(delegate.ending(), "operationDidCancel");
  EXPECT_EQ(delegate.count("operationCanceld"), 1);
  EXPECT_FALSE(partFileAtCleanUp) << "an engine was still writing when the clean-up ran";
  EXPECT_TRUE(manager->isCanceled());
  EXPECT_TRUE(testing::eventually([&] { return !manager->isRunning(); }));
  if (!fromCallback) {
    EXPECT_EQ(delegate.calls().back().thread, std::this_thread::get_id());
  }
}

INSTANTIATE_TEST_SUITE_P(FromWhere, CancelBackupProcess, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? std::string("FromCallback") : std::string("FromAnotherThread");
                         });

TEST_F(ManagerRun, ThrottleHoldIsNotMistakenForAStallAndARateResumesIt) {
  for (const char* p : {"/a", "/b", "/c"}) writeLocal(p, "data");
  manager = makeManager(false, delegate);
  manager->setNoProgressTimeout(5s);
  manager->setBandwidthThrottleValue("-1");
  EXPECT_EQ(fileutil::readFile(manager->throttleFilePath()), "-1");
  manager->setFileFolderSetForOperation({"/a", "/b", "/c"});
  manager->startBackup();
  ASSERT_TRUE(testing::eventually([&] { return manager->isHeldByThrottle(); }));

  clock.advance(1h);
  ASSERT_TRUE(clock.awaitBlockedThreads(1, 10s));
  EXPECT_EQ(delegate.ending(), "") << "a held transfer was ended";
  EXPECT_EQ(delegate.count("operationDidReceiveData"), 0);
  EXPECT_TRUE(manager->isRunning());

  manager->setBandwidthThrottleValue("1000000");
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), "operationDidFinishSuccessfully");
  EXPECT_EQ(manager->succesFileCount(), 3);
}

TEST_F(ManagerRun, EngineThatGoesSilentIsStoppedAndTheRunFails) {
  for (const char* p : {"/a", "/b", "/c"}) writeLocal(p, "data");
  faults("stall-after 1\n");
  manager = makeManager(false, delegate);
  manager->setNoProgressTimeout(30s);
  manager->setFileFolderSetForOperation({"/a", "/b", "/c"});
  manager->startBackup();
  ASSERT_TRUE(delegate.waitForCall("operationDidReceiveData"));
  clock.advance(31s);
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), "operationDidFailWithError");
  EXPECT_NE(delegate.calls().back().text.find("no progress"), std::string::npos);
  EXPECT_FALSE(manager->isCanceled());
}

struct RepeatedCase {
  const char* name;
  bool restore;
};

void PrintTo(const RepeatedCase& c, std::ostream* os) { *os << c.name; }

class RepeatedSet : public ManagerRun, public ::testing::WithParamInterface<RepeatedCase> {};

TEST_P(RepeatedSet, WaitsAMinuteOnTheRunsThreadThenRunsAndForgetsTheFlag) {
  const bool restore = GetParam().restore;
  writeLocal("/a", "data");
  if (restore) seedServer({"/a"});
  manager = makeManager(restore, delegate);
  manager->setFileFolderSetForOperation({"/a"});
  if (restore) {
    manager->setSameRestoreSetRepeated(true);
    manager->startRestore();
  } else {
    manager->setSameBackupSetRepeated(true);
    manager->startBackup();
  }
  // The caller is back at once and the manager already counts as running.
  EXPECT_TRUE(manager->isRunning());
  ASSERT_TRUE(clock.awaitBlockedThreads(1, 10s));
  EXPECT_TRUE(delegate.names().empty());
  clock.advance(59s);
  ASSERT_TRUE(clock.awaitBlockedThreads(1, 10s));
  EXPECT_TRUE(delegate.names().empty()) << "started before the minute was over";
  clock.advance(1s);
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), "operationDidFinishSuccessfully");
  EXPECT_EQ(delegate.names().front(), "operationDidStart");

  ASSERT_TRUE(testing::eventually([&] { return !manager->isRunning(); }));
  RecordingDelegate second;
  manager->setDelegate(&second);
  manager->createTempFilePaths();
  if (restore) {
    manager->startRestore();
  } else {
    manager->startBackup();
  }
  ASSERT_TRUE(second.waitForEnding()) << "the flag outlived its run";
  EXPECT_EQ(second.ending(), "operationDidFinishSuccessfully");
}

INSTANTIATE_TEST_SUITE_P(Directions, RepeatedSet,
                         ::testing::Values(RepeatedCase{"Upload", false}, RepeatedCase{"Download", true}),
                         [](const ::testing::TestParamInfo<RepeatedCase>& i) { return std::string(i.param.name); });

// An edit made here in the minute a repeated download set waits is newer
// than what the set was sent for: that file leaves the set, the rest arrive.
TEST_F(ManagerRun, ARepeatedDownloadSetLeavesFilesEditedWhileItWaited) {
  const std::vector<std::vector<std::string>> editedRows = {{"/a"}, {"/a", "/b"}};
  for (const std::vector<std::string>& edited : editedRows) {
    SCOPED_TRACE(edited.size());
    writeLocal("/a", "server a");
    writeLocal("/b", "server b");
    seedServer({"/a", "/b"});
    writeLocal("/a", "stale");
    writeLocal("/b", "stale");
    RecordingDelegate d;
    manager = makeManager(true, d);
    manager->setFileFolderSetForOperation({"/a", "/b"});
    manager->setSameRestoreSetRepeated(true);
    manager->startRestore();
    ASSERT_TRUE(clock.awaitBlockedThreads(1, 10s));
    for (const std::string& p : edited) writeLocal(p, "edited while the set waited");
    clock.advance(60s);
    ASSERT_TRUE(d.waitForEnding());
    EXPECT_EQ(d.ending(), "operationDidFinishSuccessfully");
    for (const char* p : {"/a", "/b"}) {
      const bool wasEdited = std::find(edited.begin(), edited.end(), p) != edited.end();
      EXPECT_EQ(fileutil::readFile(root + p), wasEdited ? "edited while the set waited" : std::string("server ") + (p + 1))
          << p;
    }
    ASSERT_TRUE(testing::eventually([&] { return !manager->isRunning(); }));
  }
}

TEST_F(ManagerRun, CancelDuringTheRepeatedSetWaitEndsWithoutAnEngine) {
  writeLocal("/a", "data");
  manager = makeManager(false, delegate);
  manager->setFileFolderSetForOperation({"/a"});
  manager->setSameBackupSetRepeated(true);
  manager->startBackup();
  ASSERT_TRUE(clock.awaitBlockedThreads(1, 10s));
  manager->setCancel(true);
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.names(), (std::vector<std::string>{"operationDidStart", "operationDidCancel"}));
  EXPECT_TRUE(testing::serverFiles(store).empty());
}

struct FailureCase {
  const char* name;
  const char* faults;
  bool restore;
  const char* ending;
  int errorCode;
  const char* errorFragment;                 // in the failure's error text
  std::vector<const char*> alsoCalled;       // calls that must be there
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class InjectedFailure : public ManagerRun, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(InjectedFailure, ReachesTheRightCallbackAndErrorCode) {
  const FailureCase& c = GetParam();
  std::vector<std::string> set = {"/a.txt", "/b.txt", "/c.txt", "/d.txt"};
  for (const std::string& p : set) writeLocal(p, "data of " + p);
  if (c.restore) {
    seedServer(set);
    ASSERT_TRUE(fileutil::removeAll(root));
    ASSERT_TRUE(fileutil::makeDirectories(root));
  }
  faults(c.faults);
  manager = makeManager(c.restore, delegate);
  manager->setFileFolderSetForOperation(set);
  if (c.restore) {
    manager->startRestore();
  } else {
    manager->startBackup();
  }
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), c.ending);
  EXPECT_EQ(manager->errorCode(), c.errorCode);
  if (std::string(c.ending) == "operationDidFailWithError") {
    EXPECT_NE(delegate.calls().back().text.find(c.errorFragment), std::string::npos) << delegate.calls().back().text;
  }
  for (const char* name : c.alsoCalled) EXPECT_GE(delegate.count(name), 1) << name;
  EXPECT_TRUE(testing::eventually([&] { return !manager->isRunning(); }));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, InjectedFailure,
    ::testing::Values(
        FailureCase{"Maintenance", "maintenance\n", false, "operationDidFailWithError", 1004,
                    "account is under maintenance", {}},
        FailureCase{"AuthFailed", "auth-failed\n", false, "operationDidFailWithError", 1004,
                    "auth failed on module quellar", {}},
        FailureCase{"Blocked", "blocked\n", true, "operationDidFailWithError", 1006, "account has been blocked", {}},
        FailureCase{"AccountCancelled", "account-cancelled\n", false, "operationDidFailWithError", 1001,
                    "account has been cancelled", {}},
        FailureCase{"PasswordMismatch", "password-mismatch\n", false, "operationDidFailWithError", 0,
                    "password mismatch", {}},
        FailureCase{"ProtocolMismatch", "protocol-mismatch\n", false, "operationDidFailWithError", 0,
                    "protocol version mismatch", {}},
        FailureCase{"ConnectFail", "connect-fail\n", false, "operationDidFailWithError", 0, "failed to connect",
                    {"makeScriptCallForObject"}},
        FailureCase{"OverQuota", "over-quota\n", false, "operationDidFailWithOverQuota", 0, "", {}},
        FailureCase{"UmkvtError", "umkvt-error disk on fire\n", true, "operationDidFailWithError", 0,
                    "umkvt error: disk on fire", {}},
        FailureCase{"MissingUploadSource", "missing /b.txt\n", false, "operationDidFailWithError", 0,
                    "not transferred", {"operationDidReceiveErrors", "removeSfErrorFileFromDb"}},
        FailureCase{"MissingOnServer", "missing /c.txt\n", true, "operationDidFailWithError", 0, "not transferred",
                    {"operationDidReceiveErrors", "removeSfErrorFileFromDb"}},
        FailureCase{"ConnectionResetUpload", "reset-after 1\n", false, "operationDidFailWithError", 0,
                    "reset by peer", {"operationStartedRetrying"}},
        FailureCase{"ConnectionResetDownload", "reset-after 1\n", true, "operationDidFailWithError", 0,
                    "reset by peer", {"operationStartedRetrying", "restoreRestarted"}},
        FailureCase{"EngineCrash", "crash-after 1\n", false, "operationDidFailWithError", 0, "signal", {}}),
    [](const ::testing::TestParamInfo<FailureCase>& i) { return std::string(i.param.name); });

TEST_F(ManagerRun, PerFileErrorNamesThePathAndTheReason) {
  writeLocal("/a.txt", "a");
  faults("missing /a.txt\n");
  manager = makeManager(false, delegate);
  manager->setFileFolderSetForOperation({"/a.txt"});
  manager->startBackup();
  ASSERT_TRUE(delegate.waitForEnding());
  auto calls = delegate.calls();
  auto err = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.name == "operationDidReceiveErrors"; });
  ASSERT_NE(err, calls.end());
  EXPECT_NE(err->text.find("Reason: No such file or directory|/a.txt"), std::string::npos) << err->text;
  EXPECT_EQ(manager->failureFileCount(), 1);
  EXPECT_GE(manager->backupOrRestorFailCount(), 1);
}

TEST_F(ManagerRun, ConnectionLostTwiceThenFinishedCountsAsSuccess) {
  // Each attempt ends two files before the reset: 6 files need the two retries.
  std::vector<std::string> set;
  for (int i = 0; i < 6; ++i) {
    set.push_back("/f" + std::to_string(i));
    writeLocal(set.back(), "x");
  }
  faults("reset-after 2\n");
  manager = makeManager(false, delegate);
  manager->setFileFolderSetForOperation(set);
  manager->startBackup();
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.count("operationStartedRetrying"), 2);
  EXPECT_EQ(delegate.ending(), "operationDidFinishSuccessfully");
  EXPECT_EQ(manager->succesFileCount(), 6);
  EXPECT_EQ(delegate.records().back().backedUpFileCount, 6);
  EXPECT_EQ(testing::serverFiles(store).size(), 6u);
}

TEST_F(ManagerRun, EngineThatCannotStartFailsTheRun) {
  manager = makeManager(false, delegate);
  manager->setExecutorPath(dir.sub("no-such-engine"));
  writeLocal("/a", "x");
  manager->setFileFolderSetForOperation({"/a"});
  manager->startBackup();
  ASSERT_TRUE(delegate.waitForEnding());
  EXPECT_EQ(delegate.ending(), "operationDidFailWithError");
}

TEST_F(ManagerRun, PasswordReachesTheEngineWithoutTheCommandLine) {
  ASSERT_TRUE(fileutil::writeFileAtomically(store + "/passwd", "alice:right\n"));
  writeLocal("/a", "x");
  for (const char* password : {"right", "wrong"}) {
    RecordingDelegate d;
    auto m = makeManager(false, d);
    m->editUserInfo([&](User& u) { u.setPassword(password); });
    m->setFileFolderSetForOperation({"/a"});
    m->startBackup();
    ASSERT_TRUE(d.waitForEnding());
    if (std::string(password) == "right") {
      EXPECT_EQ(d.ending(), "operationDidFinishSuccessfully");
    } else {
      EXPECT_EQ(d.ending(), "operationDidFailWithError");
      EXPECT_NE(d.calls().back().text.find("password mismatch"), std::string::npos);
    }
  }
}

// --- set-up and state without an engine -----------------------------------------

TEST_F(ManagerRun, WorkFolderIsOwnerOnlyWithAClearedCancelFile) {
  manager = makeManager(false, delegate);
  EXPECT_EQ(manager->workFolder(), support + "/Operation/syncUp");
  for (const std::string& f : {support + "/Operation", manager->workFolder()}) {
    struct stat st {};
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << f;
  }
  EXPECT_EQ(fileutil::readFile(manager->cancelFilePath()), "0");
  manager->setCancel(true);
  EXPECT_EQ(fileutil::readFile(manager->cancelFilePath()), "3");
  manager->setRestore(true);
  EXPECT_EQ(manager->workFolder(), support + "/Operation/syncDown");
  manager->setRestore(false);
  manager->removeTempFilePaths();
  EXPECT_FALSE(fileutil::exists(support + "/Operation/syncUp"));
}

TEST_F(ManagerRun, RunSetIsDeduplicatedAndAnEmptySetKeepsThePreviousOne) {
  manager = makeManager(false, delegate);
  manager->setFileFolderSetForOperation({"/A/x", "/B", "/A/x"});
  EXPECT_EQ(manager->fileFolderSetForOperation(), (std::vector<std::string>{"/A/x", "/B"}));
  manager->setFileFolderSetForOperation({});
  EXPECT_EQ(manager->fileFolderSetForOperation(), (std::vector<std::string>{"/A/x", "/B"}));
  EXPECT_TRUE(manager->folderSetHasPrefix("/A"));
  EXPECT_TRUE(manager->folderSetHasPrefix("/B"));
  EXPECT_FALSE(manager->folderSetHasPrefix("/A/xy"));
  EXPECT_FALSE(manager->folderSetHasPrefix("/Bb"));
}

TEST_F(ManagerRun, BackupEntryListGetsTheSetInFrontOfItsLines) {
  manager = makeManager(false, delegate);
  ASSERT_TRUE(fileutil::writeFileAtomically(appFile(113), "/old1\n/old2"));
  manager->writeBackupsetObjectsToFile({"/n1", "/n2"});
  EXPECT_EQ(fileutil::readFile(appFile(113)), "/n1\n/n2\n/old1\n/old2");
}

// A stop that arrives while the run is still laying out its engines' sets
// meets the run's own set-up: each way of stopping, many times over, ends the
// run once as cancelled (the ThreadSanitizer build also sees the two threads
// share the engine slots).
TEST_F(ManagerRun, AStopDuringTheRunsSetUpEndsItOnceAsCancelled) {
  for (const char* p : {"/a", "/b"}) writeLocal(p, "data");
  const struct {
    const char* name;
    void (*stop)(KVTBackupManager&);
  } stops[] = {
      {"engines stopped", [](KVTBackupManager& m) { m.stopRSyncOperation(); }},
      {"shut down", [](KVTBackupManager& m) { m.shutdown(); }},
  };
  for (const auto& s : stops) {
    for (int i = 0; i < 10; ++i) {
      RecordingDelegate d;
      auto m = makeManager(false, d);
      m->setFileFolderSetForOperation({"/a", "/b"});
      m->startBackup();
      s.stop(*m);
      ASSERT_TRUE(testing::eventually([&] { return !m->isRunning(); })) << s.name;
      EXPECT_LE(d.count("operationDidCancel") + d.count("operationDidFinishSuccessfully"), 1) << s.name;
    }
  }
}

TEST_F(ManagerRun, ShutdownStopsAHeldRunSilentlyAndRefusesLaterRuns) {
  for (const char* p : {"/a", "/b"}) writeLocal(p, "data");
  manager = makeManager(false, delegate);
  manager->setBandwidthThrottleValue("-1");
  manager->setFileFolderSetForOperation({"/a", "/b"});
  manager->startBackup();
  ASSERT_TRUE(testing::eventually([&] { return manager->isHeldByThrottle(); }));

  manager->shutdown();
  EXPECT_FALSE(manager->isRunning());
  EXPECT_EQ(delegate.ending(), "");
  const size_t calls = delegate.calls().size();
  manager->startBackup();
  EXPECT_FALSE(manager->isRunning());
  manager->shutdown();  // again: nothing
  EXPECT_EQ(delegate.calls().size(), calls);
}

}  // namespace
}  // namespace ulmora
