#include "sync/control/AccountControl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using testing::TestTempDir;
using Flag = AccountControlPort::Flag;
using Worker = AccountControlPort::Worker;

// A controller in miniature: workers that run until cancelled, timers that
// are valid until invalidated, queues that count markers.
class FakeControlPort final : public AccountControlPort {
 public:
  bool flag(Flag f) override { return flags[f]; }
  void setFlag(Flag f, bool v) override { flags[f] = v; }
  void setIndexingWithZeroToAvoidRefId(const std::string& v) override { indexingWithZero = v; }
  void setPreviousIndexStr(const std::string& v) override { previousIndex = v; }
  void setBackupFilesCount(int64_t c) override { backupFilesCount = c; }
  void setReinitializeState(bool s) override {
    reinitialize = s;
    events.push_back("reinitialize");
  }
  bool hasSyncUserName() override { return true; }

  bool isPresent(Worker) override { return true; }
  bool isRunning(Worker w) override { return running.count(w) > 0; }
  void setCancel(Worker w) override {
    running.erase(w);
    cancelled.insert(w);
    events.push_back("cancel");
  }
  void cancelBackupProcess(Worker w) override {
    running.erase(w);
    cancelled.insert(w);
  }
  void cancelListing() override { running.erase(Worker::Listing); }
  void stopOtherEngineRuns() override { ++otherRunsStopped; }

  void setUploadThrottle(const std::string& v) override { throttle = v; }
  void giveUploadPreviousTransferredSize() override { ++previousSizeGiven; }
  void setUploadStartTime(int64_t s) override { uploadStart = s; }

  void addNotificationFilesInfo() override { ++markers; }
  bool hasPendingDownloads() override { return pendingDownloads; }
  void stopListingAndAddNotificationFile() override {
    if (running.erase(Worker::Listing)) ++markers;
  }
  void deleteHalfRestoredFiles() override {}
  void ClearRestoreRelatedFileEntries() override { pendingDownloads = false; }
  void stopDBSyncInput() override { ++dbInputStops; }

  bool isPeriodicTimerValid() override { return periodic; }
  void invalidatePeriodicTimer() override { periodic = false; }
  void schedulePeriodicTimer() override { periodic = true; }
  bool isSyncOperationTimerValid() override { return cycle; }
  void invalidateSyncOperationTimer() override { cycle = false; }
  void invalidateKeepAliveTimer() override { keepAlive = false; }
  void cancelAllSyncTimers() override {
    periodic = cycle = false;
    events.push_back("timers");
  }
  void setEnableListeningNotifications(bool e) override { listening = e; }

  int shouldSync() override { return gate; }
  void startListing(int64_t index) override { listings.push_back(index); }
  void writeSessionLine(const std::string& line) override { sessionLines.push_back(line); }

  bool takeSelectiveSyncRefresh() override { return std::exchange(refreshSS, false); }
  void selectiveSyncModefied() override { ++selectiveApplied; }
  void setMonitorToolTip(const std::string& s) override { statuses.push_back(s); }

  std::map<Flag, bool> flags;
  std::string indexingWithZero = "?", previousIndex = "?", throttle;
  int64_t backupFilesCount = 7, uploadStart = 0;
  bool reinitialize = false, pendingDownloads = false, periodic = true, cycle = true,
       keepAlive = true, listening = true, refreshSS = false;
  std::set<Worker> running, cancelled;
  int otherRunsStopped = 0, previousSizeGiven = 0, markers = 0, dbInputStops = 0,
      selectiveApplied = 0, gate = 4;
  std::vector<int64_t> listings;
  std::vector<std::string> sessionLines, statuses, events;
};

struct Rig {
  TestTempDir dir;
  ManualClock clock;
  FakeControlPort port;
  AccountControl::Paths paths{dir.sub("Root/indexFile.txt"), dir.sub("ListingFiles"),
                              dir.sub("ListingDeleteFiles"), dir.sub("Restore"),
                              dir.sub("InstallerRef")};
  RunLoop loop{clock};
  AccountControl control{paths, port, clock, loop};

  void run(const std::string& command) {
    if (command == "pause") control.PauseSync();
    else if (command == "resume") control.ResumeSync();
    else if (command == "unlink") { control.stopSyncForUnlink(true); }
    else if (command == "reinit") control.ReinitializeSync();
    else if (command == "push") port.setFlag(Flag::DuringPauseGotPns, true);
    else if (command == "gate3-tick") control.clearRestoreForPause();
    else FAIL() << command;
  }
};

struct Expected {
  bool periodic = true;
  bool cycle = true;
  bool keepAlive = true;
  bool listening = true;
  int markers = 0;
  std::set<Worker> cancelled = {};
  bool unlinked = false;
  int dbInputStops = 0;
  bool reinitialize = false;
  bool pendingDownloads = false;
};

struct SequenceCase {
  const char* name;
  std::set<Worker> running;
  bool pendingDownloads;
  std::vector<std::string> commands;
  Expected expected;
};

class CommandSequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(CommandSequenceTest, EndsInAnAllowedState) {
  Rig rig;
  rig.port.running = GetParam().running;
  rig.port.pendingDownloads = GetParam().pendingDownloads;
  for (const auto& c : GetParam().commands) rig.run(c);
  const Expected& e = GetParam().expected;
  EXPECT_EQ(rig.port.periodic, e.periodic);
  EXPECT_EQ(rig.port.cycle, e.cycle);
  EXPECT_EQ(rig.port.keepAlive, e.keepAlive);
  EXPECT_EQ(rig.port.listening, e.listening);
  EXPECT_EQ(rig.port.markers, e.markers);
  EXPECT_EQ(rig.port.cancelled, e.cancelled);
  EXPECT_EQ(rig.port.flags[Flag::AccountLoggedOutUnlinked], e.unlinked);
  EXPECT_EQ(rig.port.dbInputStops, e.dbInputStops);
  EXPECT_EQ(rig.port.reinitialize, e.reinitialize);
  EXPECT_EQ(rig.port.pendingDownloads, e.pendingDownloads);
}

const std::set<Worker> kAll = {Worker::Download, Worker::Upload, Worker::Listing,
                               Worker::RenameDelete, Worker::CreateFolder};
const std::set<Worker> kManagers = {Worker::Download, Worker::Upload};

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandSequenceTest,
    ::testing::Values(
        SequenceCase{"pause_while_only_uploading", {Worker::Upload}, false, {"pause"},
                     {.periodic = false}},
        SequenceCase{"pause_during_download", {Worker::Download}, true, {"pause"},
                     {.periodic = false, .markers = 2, .cancelled = {Worker::Download}}},
        SequenceCase{"pause_drops_queued_downloads", {}, true, {"pause"},
                     {.periodic = false, .markers = 1}},
        SequenceCase{"pause_with_listing_running", {Worker::Listing}, false, {"pause"},
                     {.periodic = false, .markers = 1}},
        SequenceCase{"pause_twice", {}, true, {"pause", "pause"}, {.periodic = false, .markers = 1}},
        SequenceCase{"gate3_tick_with_new_downloads", {}, true, {"pause", "gate3-tick"},
                     {.periodic = false, .markers = 1}},
        SequenceCase{"resume_without_pause", {}, false, {"resume"}, {}},
        SequenceCase{"pause_then_resume", {Worker::Upload}, false, {"pause", "resume"}, {}},
        SequenceCase{"push_during_pause_listed_once", {}, false,
                     {"pause", "push", "resume", "resume"}, {.markers = 1}},
        SequenceCase{"unlink_during_run", kAll, true, {"unlink"},
                     {.periodic = false, .cycle = false, .keepAlive = false, .listening = false,
                      .cancelled = kAll, .unlinked = true, .dbInputStops = 1, .pendingDownloads = true}},
        SequenceCase{"unlink_twice_stops_once", kAll, false, {"unlink", "unlink"},
                     {.periodic = false, .cycle = false, .keepAlive = false, .listening = false,
                      .cancelled = kAll, .unlinked = true, .dbInputStops = 1}},
        SequenceCase{"resume_after_unlink_keeps_it_stopped", {}, false, {"unlink", "resume"},
                     {.periodic = false, .cycle = false, .keepAlive = false, .listening = false,
                      .cancelled = kManagers, .unlinked = true, .dbInputStops = 1}},
        SequenceCase{"pause_after_unlink", {}, false, {"unlink", "pause"},
                     {.periodic = false, .cycle = false, .keepAlive = false, .listening = false,
                      .cancelled = kManagers, .unlinked = true, .dbInputStops = 1}},
        SequenceCase{"reinitialise_during_run", kAll, true, {"reinit"},
                     {.periodic = false, .cycle = false,
                      .cancelled = {Worker::Download, Worker::Upload, Worker::Listing, Worker::CreateFolder},
                      .reinitialize = true}},
        SequenceCase{"reinitialise_twice", {}, false, {"reinit", "reinit"},
                     {.periodic = false, .cycle = false, .cancelled = kManagers, .reinitialize = true}},
        SequenceCase{"unlink_during_reinitialise", kAll, false, {"reinit", "unlink"},
                     {.periodic = false, .cycle = false, .keepAlive = false, .listening = false,
                      .cancelled = kAll, .unlinked = true, .dbInputStops = 1, .reinitialize = true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AccountControlTest, ReinitialiseIsMarkedAfterEverythingWasCancelled) {
  Rig rig;
  rig.port.running = kAll;
  rig.port.flags[Flag::ExcuteEventsCapturedRunning] = true;
  rig.run("reinit");
  ASSERT_FALSE(rig.port.events.empty());
  EXPECT_EQ(rig.port.events.back(), "reinitialize");
  EXPECT_TRUE(rig.port.cancelled.count(Worker::RenameDelete));
  EXPECT_FALSE(rig.port.flags[Flag::ExcuteEventsCapturedRunning]);
  EXPECT_EQ(rig.port.backupFilesCount, 0);
  EXPECT_GE(rig.port.otherRunsStopped, 1);
}

TEST(AccountControlTest, UnlinkRemovesListingWorkAndQueuedDownloadsButKeepsTheFolder) {
  Rig rig;
  rig.dir.writeFile("ListingFiles", "x");
  rig.dir.writeFile("ListingDeleteFiles", "y");
  rig.dir.writeFile("Restore/a.plist", "z");
  rig.dir.writeFile("Restore/sub/b", "z");
  rig.dir.writeFile("InstallerRef", "r");
  rig.run("unlink");
  EXPECT_FALSE(fileutil::exists(rig.paths.listingFiles));
  EXPECT_FALSE(fileutil::exists(rig.paths.listingDeleteFiles));
  EXPECT_TRUE(fileutil::isDirectory(rig.paths.restoreFolder));
  EXPECT_EQ(fileutil::listDirectory(rig.paths.restoreFolder)->size(), 0u);
  EXPECT_TRUE(fileutil::exists(rig.paths.installerRef));
  rig.run("reinit");
  EXPECT_FALSE(fileutil::exists(rig.paths.installerRef));
}

TEST(AccountControlTest, ResumeRestartsTheUploadClockAndStatus) {
  Rig rig;
  rig.port.running = {Worker::Upload};
  rig.port.refreshSS = true;
  rig.run("pause");
  rig.run("resume");
  EXPECT_EQ(rig.port.uploadStart, 1577836800);
  EXPECT_EQ(rig.port.previousSizeGiven, 1);
  EXPECT_EQ(rig.port.throttle, "-1");
  EXPECT_EQ(rig.port.selectiveApplied, 1);
  EXPECT_EQ(rig.port.statuses, std::vector<std::string>{"Performing Sync Up..."});
}

TEST(AccountControlTest, UnknownAccountFoldersWriteNothingInTheWorkingFolder) {
  ManualClock clock;
  FakeControlPort port;
  RunLoop loop(clock);
  AccountControl control(AccountControl::Paths{}, port, clock, loop);
  control.startSyncListingAllFiles(0);
  control.stopSyncForUnlink(true);
  control.ReinitializeSync();
  EXPECT_EQ(port.listings, std::vector<int64_t>{0});
  EXPECT_FALSE(fileutil::exists("indexFile.txt"));
}

struct ListingCase {
  const char* name;
  int mode;
  std::optional<std::string> indexFile;
  int gate;
  std::optional<int64_t> startedAt;
  bool restoreDirectly;
  std::string indexingWithZero;
  std::optional<std::string> fileAfter;
};

class StartListingTest : public ::testing::TestWithParam<ListingCase> {};

TEST_P(StartListingTest, ReadsOrResetsTheIndex) {
  const auto& c = GetParam();
  Rig rig;
  rig.port.gate = c.gate;
  rig.port.running = {Worker::Listing};
  rig.port.flags[Flag::NotificationFileRead] = true;
  rig.port.flags[Flag::ShouldRestoreFileDirectly] = !c.restoreDirectly;
  if (c.indexFile) rig.dir.writeFile("Root/indexFile.txt", *c.indexFile);
  rig.control.startSyncListingAllFiles(c.mode);
  EXPECT_FALSE(rig.port.isRunning(Worker::Listing));  // a running listing is always stopped
  if (!c.startedAt) {
    EXPECT_TRUE(rig.port.listings.empty());
    return;
  }
  EXPECT_EQ(rig.port.listings, std::vector<int64_t>{*c.startedAt});
  EXPECT_EQ(rig.port.flags[Flag::ShouldRestoreFileDirectly], c.restoreDirectly);
  EXPECT_EQ(rig.port.indexingWithZero, c.indexingWithZero);
  EXPECT_EQ(fileutil::readFile(rig.paths.indexFile), c.fileAfter);
  EXPECT_FALSE(rig.port.flags[Flag::NotificationFileRead]);
  EXPECT_EQ(rig.port.flags[Flag::ListingStartedFromZeroIndex], c.mode == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartListingTest,
    ::testing::Values(
        ListingCase{"stored_index", 1, "5", 4, 5, true, "1", "5"},
        ListingCase{"stored_index_gate7", 1, "12\n", 7, 12, true, "1", "12\n"},
        ListingCase{"no_index_file", 1, std::nullopt, 4, 0, false, "0", std::nullopt},
        ListingCase{"negative_index", 1, "-3", 4, 0, false, "0", "-3"},
        ListingCase{"zero_index", 1, "0", 4, 0, false, "0", "0"},
        ListingCase{"garbage_index", 1, "abc", 4, 0, false, "0", "abc"},
        ListingCase{"overflowing_index", 1, "99999999999999999999", 4, 0, false, "0",
                    "99999999999999999999"},
        ListingCase{"full_listing_rewrites", 0, "42", 4, 0, false, "0", "0"},
        ListingCase{"full_listing_without_file", 0, std::nullopt, 4, 0, false, "0", "0"},
        ListingCase{"paused_gate", 1, "5", 3, std::nullopt, false, "", std::nullopt},
        ListingCase{"unlinked_gate", 0, "5", 2, std::nullopt, false, "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

#ifndef NDEBUG
// The commands belong to the main loop: one reached from another thread
// stops a test at once instead of racing the loop's own work.
TEST(AccountControlDeathTest, ACommandFromAnotherThreadStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Rig rig;
  rig.control.clearEventCounts();  // the loop's own thread
  EXPECT_DEATH(std::thread([&] { rig.control.PauseSync(); }).join(), "not its loop's");
}
#endif

}  // namespace
}  // namespace ulmora
