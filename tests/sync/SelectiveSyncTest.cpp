#include "sync/control/SelectiveSync.h"
#include "sync/control/SelectiveSyncRuns.h"

#include <gtest/gtest.h>

#include "OffLoopCalls.h"
#include "TestTempDir.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::TestTempDir;
using Log = std::vector<std::string>;

// ------------------------------------------------------------ pure rules

TEST(SelectiveSyncRulesTest, ExcludedFoldersFromTheList) {
  PropertyList list(PropertyList::Dict{});
  list.set("/A", "0");
  list.set("/A/B", "0");
  list.set("/C", "1");
  list.set("/D/", "0");
  list.set("/a", "0");
  list.set("relative", "0");
  list.set("/x/../y", "0");
  list.set("/N", 0);  // not a text
  EXPECT_EQ(selective::unselectedFromList(list), (std::set<std::string>{"/A", "/D", "/a"}));
  EXPECT_TRUE(selective::unselectedFromList(PropertyList("garbage")).empty());
}

TEST(SelectiveSyncRulesTest, EveryFolderInsideAnExcludedOneIsCoveredWhateverSortsBetween) {
  struct Case {
    std::vector<std::string> excluded;
    std::set<std::string> kept;
  } cases[] = {
      {{"/A", "/A B", "/A/B"}, {"/A", "/A B"}},
      {{"/A", "/A-1", "/A/B", "/A/B/C"}, {"/A", "/A-1"}},
      {{"/A", "/A.app", "/A/B"}, {"/A", "/A.app"}},
      {{"/A", "/A B", "/A-1", "/A.x", "/A/B", "/A/C", "/A B/D"}, {"/A", "/A B", "/A-1", "/A.x"}},
      {{"/A B/D", "/A B", "/A"}, {"/A", "/A B"}},
      {{"/A/B", "/AB"}, {"/A/B", "/AB"}},
  };
  for (const Case& c : cases) {
    PropertyList list(PropertyList::Dict{});
    std::string shown;
    for (const auto& folder : c.excluded) {
      list.set(folder, "0");
      shown += "[" + folder + "]";
    }
    EXPECT_EQ(selective::unselectedFromList(list), c.kept) << shown;
  }
}

struct PathCase {
  std::string excluded;
  std::string path;
  bool under;
  bool matches;
};

TEST(SelectiveSyncRulesTest, UnderAndMatchesOnWholeComponents) {
  const std::vector<PathCase> cases = {
      {"/A", "/A/B/x.txt", true, false},
      {"/A", "/AB/y", false, false},
      {"/A", "/A", false, false},
      {"/A", "/A/", true, true},
      {"/Docs/Photos.lib", "/Docs/Photos.lib", true, true},
      {"/Docs/Photos.lib", "/Docs/Photos.lib/z", true, false},
      {"/Docs/Photos.lib", "/Docs/Photos.libx/z", false, false},
      {"/Docs/Photos.lib", "/Docs/Photos.lib.old", false, false},
      {"/Docs/Photos.lib", "/Docs/Photos.lib/", true, false},
      {"/.hidden", "/.hidden/f", true, false},
      {"/.hidden", "/.hiddenx", false, false},
      {"/v1.", "/v1.x", false, false},
  };
  for (const auto& c : cases) {
    const std::set<std::string> set{c.excluded};
    EXPECT_EQ(selective::isUnder(set, c.path), c.under) << c.excluded << " " << c.path;
    EXPECT_EQ(selective::matches(set, c.path), c.matches) << c.excluded << " " << c.path;
  }
  EXPECT_FALSE(selective::isUnder({}, "/A/x"));
}

TEST(SelectiveSyncRulesTest, ConflictNamesAndSafePaths) {
  EXPECT_EQ(selective::conflictName("/h/P", 0), "/h/P (Selective Sync Conflict)");
  EXPECT_EQ(selective::conflictName("/h/P", 2), "/h/P (Selective Sync Conflict 2)");
  for (const char* ok : {"/a", "/a/b.txt", "/a/b/"}) EXPECT_TRUE(selective::isSafeRelativePath(ok)) << ok;
  for (const char* bad : {"", "/", "a/b", "/a/../b", "/..", "/a//b", "/./a"})
    EXPECT_FALSE(selective::isSafeRelativePath(bad)) << bad;
  EXPECT_FALSE(selective::isSafeRelativePath(std::string("/a\0b", 4)));
}

// ------------------------------------------------------------ applying a change

class FakePort final : public SelectiveSyncPort {
 public:
  bool deferToReinitialise() override {
    if (reinitializing) calledDuringReinitialization = true;
    return reinitializing;
  }
  bool isPaused() override { return paused; }
  bool isNetworkAvailable() override { return network; }
  void setRefreshSS() override { refresh = true; }
  bool refreshSS() override { return refresh; }
  std::vector<std::string> pendingUploads() override { return uploads; }
  void clearForSelectiveSync() override { log.push_back("clear"); }
  void cancelTransfers() override { log.push_back("cancel"); }
  bool hasDownloads() override { return downloads; }
  void listDroppedDownloadsAgain() override { log.push_back("list again"); }
  void queueUpload(const std::string& p) override { log.push_back("upload " + p); }
  void requeuePendingUploads() override { log.push_back("requeue"); }
  void queueDownload(const std::string& p, const std::string& ref, const std::string& size) override {
    log.push_back("download " + p + " " + ref + " " + size);
  }
  bool moveFromCache(const std::string& p, const std::string& time, const std::string& size,
                     const std::string& ref) override {
    if (!cached.count(p)) return false;
    log.push_back("from cache " + p + " " + time + " " + size + " " + ref);
    return true;
  }
  void startSearch(const std::string& f) override { log.push_back("search " + f); }
  void createFolder(const std::string& p) override { log.push_back("mkdir " + p); }
  bool exists(const std::string& p) override { return local.count(p) > 0; }
  bool containsFile(const std::string& p) override { return withFiles.count(p) > 0; }
  fileutil::RenameResult moveAside(const std::string& from, const std::string& to) override {
    log.push_back("move " + from + " -> " + to);
    if (failMoves) return fileutil::RenameResult::kFailed;
    if (local.count(to)) return fileutil::RenameResult::kTargetExists;
    local.erase(from);
    local.insert(to);
    return fileutil::RenameResult::kOk;
  }
  void addToExclude(const std::string& p) override { ++excludedCount[p]; }
  void removeFromExclude(const std::string& p) override { --excludedCount[p]; }
  void enumerateForUpload(const std::vector<std::string>& paths) override {
    for (const auto& p : paths) log.push_back("enumerate " + p);
  }
  void setMonitorToolTip(const std::string& s) override { log.push_back("status " + s); }
  void removeItemFromToolTipFor(const std::string& s) override { log.push_back("unstatus " + s); }
  void sendMonitorMessage(int type) override { log.push_back("message " + std::to_string(type)); }

  int stillExcluded() const {
    int n = 0;
    for (const auto& [p, c] : excludedCount) n += c;
    return n;
  }

  bool reinitializing = false, paused = false, network = true, failMoves = false, downloads = false;
  bool refresh = false, calledDuringReinitialization = false;
  std::vector<std::string> uploads;
  std::set<std::string> cached, local, withFiles;
  std::map<std::string, int> excludedCount;
  Log log;
};

struct Rig {
  TestTempDir dir;
  ManualClock clock;
  RunLoop mainLoop{clock};
  FakePort port;
  std::string root = "/h/Sync";
  SelectiveSync ss{dir.sub("ss.plist"), root, port, mainLoop};

  void writeList(std::map<std::string, std::string> entries) {
    PropertyList list(PropertyList::Dict{});
    for (const auto& [k, v] : entries) list.set(k, v);
    list.writeFile(dir.sub("ss.plist"));
  }
  void start(std::map<std::string, std::string> entries) {
    writeList(std::move(entries));
    ss.initializeSelctiveSyncSet();
  }
  Log change(std::map<std::string, std::string> entries) {
    writeList(std::move(entries));
    port.log.clear();
    ss.selectiveSyncModefied();
    return withoutStatus(port.log);
  }
  static Log withoutStatus(const Log& log) {
    Log out;
    for (const auto& l : log)
      if (l.rfind("status ", 0) != 0) out.push_back(l);
    return out;
  }
  std::set<std::string> excluded() const { return *ss.excludedSet(); }
};

// Deselecting drops every queued and running download, those of folders
// still selected too: their changes must be listed again.
TEST(SelectiveSyncTest, DroppedDownloadsAreListedAgain) {
  for (bool downloads : {false, true}) {
    Rig rig;
    rig.start({{"/C", "1"}});
    rig.port.downloads = downloads;
    Log expected = {"clear", "cancel", "requeue"};
    if (downloads) expected.insert(expected.begin() + 2, "list again");
    EXPECT_EQ(rig.change({{"/A", "0"}}), expected) << downloads;
  }
}

TEST(SelectiveSyncTest, ExcludingStopsTransfersButKeepsUnrelatedUploads) {
  Rig rig;
  rig.start({{"/C", "1"}});
  rig.port.uploads = {"/A/x", "/B/y", "/Ab/z", "/A"};
  const Log expected = {"clear", "cancel", "upload /B/y", "upload /Ab/z", "requeue"};
  EXPECT_EQ(rig.change({{"/A", "0"}}), expected);
  EXPECT_EQ(rig.excluded(), std::set<std::string>{"/A"});
  EXPECT_TRUE(rig.ss.checkForFileisUnderSSyncSet("/A/x"));
}

TEST(SelectiveSyncTest, IncludingMovesLocalContentAsideThenFetches) {
  Rig rig;
  rig.start({{"/P", "0"}, {"/Q", "0"}, {"/E", "0"}});
  rig.port.local = {"/h/Sync/P", "/h/Sync/Q", "/h/Sync/E"};
  rig.port.withFiles = {"/h/Sync/P"};  // Q is empty, E is missing below
  rig.port.local.erase("/h/Sync/E");
  const Log expected = {"move /h/Sync/P -> /h/Sync/P (Selective Sync Conflict)",
                        "enumerate /h/Sync/P (Selective Sync Conflict)", "search /E/", "search /P/",
                        "search /Q/"};
  EXPECT_EQ(rig.change({}), expected);
  EXPECT_TRUE(rig.excluded().empty());
  EXPECT_EQ(rig.ss.ssFolderToSearch(), (std::set<std::string>{"/E", "/P", "/Q"}));

  // The capture ignores the move until the exclusion is lifted.
  EXPECT_EQ(rig.port.stillExcluded(), 2);
  rig.clock.advance(2s);
  rig.mainLoop.runUntilIdle();
  EXPECT_EQ(rig.port.stillExcluded(), 0);
  rig.clock.advance(3s);
  rig.mainLoop.runUntilIdle();
  EXPECT_EQ(rig.port.log.back(), "unstatus Applying Selective Sync changes...");
}

struct ConflictCase {
  const char* name;
  std::set<std::string> taken;
  bool failMoves;
  int moveAttempts;
  bool fetched;
};

class SelectiveSyncConflictTest : public ::testing::TestWithParam<ConflictCase> {};

TEST_P(SelectiveSyncConflictTest, ConflictNameLoopEndsAndFailureSkipsTheFolder) {
  Rig rig;
  rig.start({{"/P", "0"}});
  rig.port.local = {"/h/Sync/P"};
  rig.port.local.insert(GetParam().taken.begin(), GetParam().taken.end());
  rig.port.withFiles = {"/h/Sync/P"};
  rig.port.failMoves = GetParam().failMoves;
  const Log log = rig.change({});
  int moves = 0;
  bool searched = false;
  for (const auto& l : log) {
    moves += l.rfind("move ", 0) == 0;
    searched |= l == "search /P/";
  }
  EXPECT_EQ(moves, GetParam().moveAttempts);
  EXPECT_EQ(searched, GetParam().fetched);
  EXPECT_EQ(rig.ss.ssFolderToSearch().count("/P"), GetParam().fetched ? 1u : 0u);
  EXPECT_EQ(rig.port.local.count("/h/Sync/P"), GetParam().fetched ? 0u : 1u);
  // A folder that could not be moved aside stays out of sync.
  EXPECT_EQ(rig.ss.checkForFileisUnderSSyncSet("/P/x"), !GetParam().fetched);
  rig.clock.advance(2s);
  rig.mainLoop.runUntilIdle();
  EXPECT_EQ(rig.port.stillExcluded(), 0);
}

std::set<std::string> takenNames(int n) {
  std::set<std::string> out;
  for (int i = 0; i < n; ++i) out.insert(selective::conflictName("/h/Sync/P", i));
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectiveSyncConflictTest,
    ::testing::Values(ConflictCase{"first_name_free", {}, false, 1, true},
                      ConflictCase{"first_name_taken", takenNames(1), false, 2, true},
                      ConflictCase{"move_refused", {}, true, 1, false},
                      ConflictCase{"every_name_taken", takenNames(SelectiveSync::kMaxConflictAttempts),
                                   false, SelectiveSync::kMaxConflictAttempts, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelectiveSyncTest, AFolderThatCouldNotBeMovedIsTriedAgainWithTheNextChange) {
  Rig rig;
  rig.start({{"/P", "0"}});
  rig.port.local = {"/h/Sync/P"};
  rig.port.withFiles = {"/h/Sync/P"};
  rig.port.failMoves = true;
  rig.change({});
  rig.port.failMoves = false;
  const Log expected = {"move /h/Sync/P -> /h/Sync/P (Selective Sync Conflict)",
                        "enumerate /h/Sync/P (Selective Sync Conflict)", "search /P/"};
  EXPECT_EQ(rig.change({}), expected);
  EXPECT_TRUE(rig.excluded().empty());
}

TEST(SelectiveSyncTest, IncludingWhilePausedWaitsForTheRefresh) {
  Rig rig;
  rig.start({{"/P", "0"}});
  rig.port.paused = true;
  EXPECT_EQ(rig.change({}), Log{});
  EXPECT_TRUE(rig.port.refresh);
  EXPECT_EQ(rig.excluded(), std::set<std::string>{"/P"});
  EXPECT_TRUE(rig.ss.checkForFileisUnderSSyncSet("/P/x"));

  rig.port.paused = false;
  ASSERT_TRUE(std::exchange(rig.port.refresh, false));
  rig.port.log.clear();
  rig.ss.selectiveSyncModefied();
  EXPECT_EQ(Rig::withoutStatus(rig.port.log), Log{"search /P/"});
  EXPECT_TRUE(rig.excluded().empty());
}

TEST(SelectiveSyncTest, OfflineMarksTheRefreshToo) {
  Rig rig;
  rig.start({{"/P", "0"}});
  rig.port.network = false;
  EXPECT_EQ(rig.change({}), Log{});
  EXPECT_TRUE(rig.port.refresh);
}

TEST(SelectiveSyncTest, AChangeDuringReinitialisationWaits) {
  Rig rig;
  rig.start({{"/P", "0"}});
  rig.port.reinitializing = true;
  EXPECT_EQ(rig.change({}), Log{});
  EXPECT_TRUE(rig.port.calledDuringReinitialization);
  EXPECT_EQ(rig.excluded(), std::set<std::string>{"/P"});
}

TEST(SelectiveSyncTest, MissingListIncludesEverythingUnreadableListChangesNothing) {
  Rig rig;
  rig.start({{"/P", "0"}});
  fileutil::removeAll(rig.dir.sub("ss.plist"));
  rig.port.log.clear();
  rig.ss.selectiveSyncModefied();
  EXPECT_EQ(Rig::withoutStatus(rig.port.log), Log{"search /P/"});

  Rig other;
  other.start({{"/P", "0"}});
  fileutil::writeFileAtomically(other.dir.sub("ss.plist"), "<plist><dict><key>/P");
  other.port.log.clear();
  other.ss.selectiveSyncModefied();
  EXPECT_TRUE(other.port.log.empty());
  EXPECT_EQ(other.excluded(), std::set<std::string>{"/P"});
}

PropertyList entry(std::map<std::string, std::string> fields) {
  PropertyList e(PropertyList::Dict{});
  for (const auto& [k, v] : fields) e.set(k, v);
  return e;
}

TEST(SelectiveSyncTest, SearchResultsQueueDownloadsAndSkipWhatTheyCannotUse) {
  Rig rig;
  rig.start({{"/P/skip", "0"}});
  rig.port.cached = {"/P/cached.txt"};
  PropertyList entries(PropertyList::Array{});
  entries.append(entry({{"FileName", "/P/"}}));
  entries.append(entry({{"FileName", "/P/sub/"}}));
  entries.append(entry({{"FileName", "/P/a.txt"}, {"ref_id", "r1"}, {"FileSize", "10"}}));
  entries.append(entry({{"FileName", "/P/skip/b.txt"}, {"ref_id", "r2"}, {"FileSize", "1"}}));
  entries.append(entry({{"FileName", "/P/skip/"}}));
  entries.append(entry({{"FileName", "/P/cached.txt"}, {"ref_id", "r3"}, {"FileSize", "1"},
                        {"FileModificationDate", "2026-01-02 03:04:05"}}));
  entries.append(entry({{"FileName", "/P/noref.txt"}, {"FileSize", "1"}}));
  entries.append(entry({{"FileName", "/P/nosize.txt"}, {"ref_id", "r4"}}));
  entries.append(entry({{"ref_id", "r5"}, {"FileSize", "1"}}));
  entries.append(entry({{"FileName", "/P/../../etc/passwd"}, {"ref_id", "r6"}, {"FileSize", "1"}}));
  entries.append(PropertyList("not a dictionary"));
  rig.port.log.clear();
  rig.ss.searchDidReceiveData(entries);
  // A cached copy is offered the server's time, size and ref id, so that
  // only a copy of the same version is put back.
  const Log expected = {"mkdir /h/Sync/P", "mkdir /h/Sync/P/sub", "download /P/a.txt r1 10",
                        "from cache /P/cached.txt 2026-01-02 03:04:05 1 r3"};
  EXPECT_EQ(rig.port.log, expected);
}

TEST(SelectiveSyncTest, AFailedSearchStaysPendingUntilTheNextExclusion) {
  Rig rig;
  rig.start({{"/P", "0"}, {"/Q", "0"}});
  rig.change({});
  rig.ss.searchDidFinishSuccessfully("/P/");
  rig.ss.searchDidFailWithError("engine gone", "/Q/");
  EXPECT_EQ(rig.ss.ssFolderToSearch(), std::set<std::string>{"/Q"});
  const Log expected = {"clear", "cancel", "requeue", "search /Q"};
  EXPECT_EQ(rig.change({{"/Z", "0"}}), expected);
  // Excluding the pending folder itself drops it.
  rig.change({{"/Z", "0"}, {"/Q", "0"}});
  EXPECT_TRUE(rig.ss.ssFolderToSearch().empty());
}

TEST(SelectiveSyncTest, FoundFilesAreQueuedRelativeAndTheWindowIsRefreshed) {
  Rig rig;
  rig.ss.didFoundFile("/h/Sync/P (Selective Sync Conflict)/a.txt");
  rig.ss.updateSSWindowRefresh();
  const Log expected = {"upload /P (Selective Sync Conflict)/a.txt", "message 514"};
  EXPECT_EQ(rig.port.log, expected);
}

TEST(SelectiveSyncRunsTest, WalksOfMovedFoldersQueueTheirFilesRelative) {
  TestTempDir dir;
  dir.writeFile("Sync/P (Selective Sync Conflict)/a.txt", "a");
  dir.writeFile("Sync/P (Selective Sync Conflict)/sub/b.txt", "b");
  RunLoop loop(Clock::systemClock());
  FakePort port;
  SelectiveSync ss(dir.sub("ss.plist"), dir.sub("Sync"), port, loop);
  SelectiveSyncRuns runs("/nonexistent/engine", nullptr, "", ss, loop);
  runs.enumerate({dir.sub("Sync/P (Selective Sync Conflict)")});
  // The walk is released on the loop once it has ended.
  for (int i = 0; i < 1000 && runs.runningWalks() > 0; ++i) loop.runFor(10ms);
  ASSERT_EQ(runs.runningWalks(), 0u);
  std::sort(port.log.begin(), port.log.end());
  const Log expected = {"upload /P (Selective Sync Conflict)/a.txt",
                        "upload /P (Selective Sync Conflict)/sub/b.txt"};
  EXPECT_EQ(port.log, expected);
}

#ifndef NDEBUG
// Applying a changed choice and the searches' results belong to the main
// loop; the checks the listing makes, the found files of a walk and the
// window refresh a run's end asks for may come from any thread.
TEST(SelectiveSyncDeathTest, ApplyingAChoiceFromAnotherThreadStopsTheProcess) {
  Rig rig;
  rig.start({{"/A", "0"}});
  std::thread([&] {
    EXPECT_TRUE(rig.ss.checkForFileisUnderSSyncSet("/A/x"));
    rig.ss.didFoundFile("/h/Sync/P/a.txt");
    rig.ss.updateSSWindowRefresh();
  }).join();
  testing::expectEachStopsOffItsLoop({
      {"choice_changed", [&] { rig.ss.selectiveSyncModefied(); }},
      {"search_result", [&] { rig.ss.searchDidFinishSuccessfully("/B/"); }},
      {"pending_search", [&] { rig.ss.searchPendingSSFolder(); }},
  });
}
#endif

}  // namespace
}  // namespace ulmora
