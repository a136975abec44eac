#include <gtest/gtest.h>

#include "OffLoopCalls.h"
#include "UploadRoadFakes.h"
#include "platform/FileUtil.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/files/SyncPathHelpers.h"
#include "sync/upload/UploadDispatcher.h"
#include "sync/upload/UploadRoadAdapters.h"

namespace ulmora {
namespace {

using testing::UploadRoadRig;
using Outcome = UploadDispatcher::Outcome;
using Set = std::vector<std::string>;

TEST(RepeatedSetRule, DecidesFromPreviousSetAndCounter) {
  const struct {
    const char* name;
    Set previous, fresh;
    int32_t count;
    bool dispatch, repeated;
    int32_t after;
  } cases[] = {
      {"first run never repeats", {}, {"/a"}, 0, true, false, 0},
      {"empty previous keeps the counter", {}, {"/a"}, 5, true, false, 5},
      {"same set counts", {"/a", "/b"}, {"/b", "/a"}, 0, true, true, 1},
      {"tenth repeat still runs", {"/a"}, {"/a"}, 9, true, true, 10},
      {"above nine stops", {"/a"}, {"/a"}, 10, false, false, 10},
      {"negative counter compares unsigned", {"/a"}, {"/a"}, -1, false, false, -1},
      {"different set starts over", {"/a"}, {"/a", "/b"}, 10, true, false, 0},
  };
  for (const auto& c : cases) {
    auto d = decideRepeatedSet(c.previous, c.fresh, c.count);
    EXPECT_EQ(d.dispatch, c.dispatch) << c.name;
    EXPECT_EQ(d.repeated, c.repeated) << c.name;
    EXPECT_EQ(d.count, c.after) << c.name;
  }
  auto stop = decideRepeatedSet({"/a"}, {"/a"}, 10);
  EXPECT_EQ(stop.traces.back(), "Stoping backup");
}

struct DispatchRig : UploadRoadRig {
  DispatchRig()
      : dispatcher({[this] { return root; }, dir.sub("app/113"), dir.sub("app/114"), dir.sub("app/84"),
                    [this](const std::string& path) -> std::optional<engineset::SeenVersion> {
                      asked.push_back(path);
                      auto found = rows.find(path);
                      if (found == rows.end()) return std::nullopt;
                      return found->second;
                    }},
                   queue, upload, host, renames, repeatedSets) {}
  std::string entryList() { return fileutil::readFile(dir.sub("app/113")).value_or("<none>"); }

  UploadRenames renames;
  RepeatedSetCounts repeatedSets;
  int32_t repeats() { return testing::uploadRepeats(repeatedSets); }
  void setRepeats(int32_t count) { testing::setUploadRepeats(repeatedSets, count); }
  engineset::SeenVersions rows;  // what the database recorded as synced
  std::vector<std::string> asked;
  UploadDispatcher dispatcher;
};

TEST(UploadDispatcher, EachRunCarriesTheServerVersionsItsFilesMayReplace) {
  DispatchRig rig;
  rig.rows = {{"/synced", {5, 100, "7"}}, {"/other", {1, 1, ""}}, {"/folder/", {0, 0, ""}}};
  rig.queue.batch = {"/synced", "/new", "/folder/"};
  ASSERT_EQ(rig.dispatcher.startBackup(), Outcome::kStarted);
  // Folders carry no version; a file without a synced row goes unchecked;
  // rows of files outside the set are not asked for.
  EXPECT_EQ(rig.asked, (Set{"/synced", "/new"}));
  EXPECT_EQ(rig.upload.seen, (engineset::SeenVersions{{"/synced", {5, 100, "7"}}}));

  // The next run starts from its own rows, never the last run's.
  rig.upload.running = false;
  rig.queue.batch = {"/new"};
  ASSERT_EQ(rig.dispatcher.startBackup(), Outcome::kStarted);
  EXPECT_TRUE(rig.upload.seen.empty());
}

TEST(UploadDispatcher, BuildsTheSetFromJournalAndInterruptedEntries) {
  const struct {
    const char* name;
    Set batch;
    const char* file114;  // nullptr: no file
    bool returnEntries;
    Set filteredOut;
    Outcome outcome;
    const char* entryList;  // file 113 after the dispatch
    bool file114Left;
  } cases[] = {
      {"repeats within the batch go once", {"/a", "/b", "/a"}, nullptr, true, {}, Outcome::kStarted, "/a\n/b", false},
      {"interrupted entries come first", {"/c"}, "/a\n/b\n", true, {}, Outcome::kStarted, "/a\n/b\n/c", false},
      {"interrupted entries wait while held back", {"/c"}, "/a\n/b", false, {}, Outcome::kStarted, "/c", true},
      {"empty lines never stand for the root", {"", "/c"}, "\n/a\n\n", true, {}, Outcome::kStarted, "/a\n/c", false},
      {"nothing to upload", {}, nullptr, true, {}, Outcome::kNothingToUpload, "<none>", false},
      {"only interrupted entries", {}, "/a", true, {}, Outcome::kStarted, "/a", false},
      {"everything filtered", {"/a"}, nullptr, true, {"/a"}, Outcome::kFilteredOut, "<none>", false},
      {"filter keeps the rest", {"/a", "/b"}, nullptr, true, {"/a"}, Outcome::kStarted, "/b", false},
  };
  for (const auto& c : cases) {
    DispatchRig rig;
    rig.queue.batch = c.batch;
    rig.queue.returnEntries = c.returnEntries;
    if (c.file114) rig.dir.writeFile("app/114", c.file114);
    rig.host.filteredOut = std::set<std::string>(c.filteredOut.begin(), c.filteredOut.end());
    EXPECT_EQ(rig.dispatcher.startBackup(), c.outcome) << c.name;
    EXPECT_EQ(rig.entryList(), c.entryList) << c.name;
    EXPECT_EQ(fileutil::exists(rig.dir.sub("app/114")), c.file114Left) << c.name;
    EXPECT_EQ(rig.upload.starts, c.outcome == Outcome::kStarted ? 1 : 0) << c.name;
    EXPECT_EQ(rig.log.has("ResetCumulativeCountVariablesForBackup"), c.outcome == Outcome::kNothingToUpload)
        << c.name;
  }
}

TEST(UploadDispatcher, StartedRunCarriesAccountAndAnnouncesTheSet) {
  DispatchRig rig;
  rig.queue.batch = {"/a", "/b"};
  rig.renames.recordRename("/old", "/new");
  ASSERT_EQ(rig.dispatcher.startBackup(), Outcome::kStarted);
  EXPECT_EQ(rig.upload.sourceFolder, rig.root);
  EXPECT_EQ(rig.upload.proxyFile, rig.dir.sub("app/84"));
  EXPECT_EQ(rig.upload.user.userName(), "syncuser");
  EXPECT_TRUE(rig.upload.user.isDefaultKey());
  EXPECT_EQ(rig.upload.set, (Set{"/a", "/b"}));
  EXPECT_EQ(rig.log.calls(), (std::vector<std::string>{"backupSetDispatched",
                                                       "GetTotalCountAndTotalSizeOfBackupFiles",
                                                       "videoUser syncuser", "FilessyncListGot /a,/b",
                                                       "BackupRestoreStarted up"}));
  // A new set forgets the renames of the previous one.
  EXPECT_FALSE(rig.renames.followRename("/old", [](const std::string&) { return true; }));

  // Engine controllers get the same account without the default-key flag.
  User other = rig.dispatcher.userForEngineController();
  EXPECT_EQ(other.kvtServerIP(), "storage.example");
  EXPECT_FALSE(other.isDefaultKey());
  EXPECT_EQ(other.proxySettingsFilePath(), rig.dir.sub("app/84"));
}

TEST(UploadDispatcher, FilteredOutSetDropsSyncingUpOnlyWhenNoJournalWaits) {
  for (bool pending : {false, true}) {
    DispatchRig rig;
    rig.queue.batch = {"/a"};
    rig.queue.uploadJournalPending = pending;
    rig.host.filteredOut = {"/a"};
    rig.dispatcher.startBackup();
    EXPECT_EQ(rig.log.has("removeTooltip Syncing Up"), !pending);
  }
}

TEST(UploadDispatcher, SameSetTwelveTimesStopsAfterEleventhRunUntilAnotherSetComes) {
  DispatchRig rig;
  std::vector<Outcome> outcomes;
  std::vector<bool> flags;
  for (int cycle = 0; cycle < 13; ++cycle) {
    rig.queue.batch = {"/same"};
    outcomes.push_back(rig.dispatcher.startBackup());
    flags.push_back(rig.upload.repeated);
  }
  for (int i = 0; i < 11; ++i) EXPECT_EQ(outcomes[i], Outcome::kStarted) << "cycle " << i + 1;
  EXPECT_EQ(outcomes[11], Outcome::kRepeatStopped);
  EXPECT_EQ(outcomes[12], Outcome::kRepeatStopped);
  EXPECT_FALSE(flags[0]);
  for (int i = 1; i < 11; ++i) EXPECT_TRUE(flags[i]) << "cycle " << i + 1;
  EXPECT_EQ(rig.upload.starts, 11);

  rig.queue.batch = {"/other"};
  EXPECT_EQ(rig.dispatcher.startBackup(), Outcome::kStarted);
  EXPECT_EQ(rig.repeats(), 0);
  EXPECT_FALSE(rig.upload.repeated);
}

// A changed throttle preference reaches the next run, not only the run after
// a pause: each run's fresh work folder gets the value as it stands then.
TEST(UploadDispatcher, EachUploadRunTakesTheThrottleAsItStandsThen) {
  testing::TestTempDir dir;
  KVTBackupManager manager;
  manager.setApplicationSupportFolder(dir.path());
  std::string preference;
  KVTManagerPort port(manager, [&] { return preference; });
  for (const char* value : {"100", "50", "900"}) {
    preference = value;
    port.prepareUploadRun(dir.sub("root"), User(), dir.sub("84"));
    EXPECT_EQ(fileutil::readFile(manager.throttleFilePath()).value_or("(none)"), value);
  }
}

#ifndef NDEBUG
// The dispatch reads the journal and starts the run from the main loop only:
// one started from a run's thread would race the cycle's own.
TEST(UploadDispatcherDeathTest, ADispatchFromAnotherThreadStopsTheProcess) {
  DispatchRig rig;
  testing::expectEachStopsOffItsLoop({{"start_backup", [&] { rig.dispatcher.startBackup(); }}});
}
#endif

}  // namespace
}  // namespace ulmora
