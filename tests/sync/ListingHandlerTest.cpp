#include "sync/server/ListingHandler.h"

#include <gtest/gtest.h>

#include "OffLoopCalls.h"
#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "sync/ServerRoadFakes.h"
#include "sync/ServerRoadTestSupport.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

class FakeListing : public ListingPort {
 public:
  bool running = false;
  bool noData = false;
  int cancels = 0;
  std::vector<int64_t> starts;
  bool isRunning() const override { return running; }
  void cancel() override {
    ++cancels;
    running = false;
  }
  void start(int64_t index) override { starts.push_back(index); }
  bool IsRetryListingCalledForNoData() const override { return noData; }
  void SetIsRetryListingCalledForNoData(bool v) override { noData = v; }
};

class FakeHost : public ListingHost {
 public:
  Lines log;
  bool uploadRunning = false, downloadRunning = false, lastRunFailed = false, canStart = true;
  bool isUploadRunning() override { return uploadRunning; }
  bool isDownloadRunning() override { return downloadRunning; }
  bool lastDownloadRunFailed() override { return lastRunFailed; }
  bool startListingFromStoredIndex() override {
    log.push_back("startListing");
    return canStart;
  }
  void setMonitorToolTip(const std::string& c) override { log.push_back("tip " + c); }
  void removeItemFromToolTipFor(const std::string& c) override { log.push_back("untip " + c); }
  void removePNSRelatedToolTips() override { log.push_back("untip push"); }
  void showDesktopPushNotification(const std::string& c) override { log.push_back("notify " + c); }
  void passwordChangedFromWeb() override { log.push_back("password"); }
  void accountCancelledFromListing() override { log.push_back("cancelled"); }
  void selectiveSyncModefied() override { log.push_back("selective"); }
  void setQueueReinitializeState(bool s) override {
    log.push_back(std::string("queueReinit ") + (s ? "1" : "0"));
    if (duringReinitialiseEnd) duringReinitialiseEnd();
  }
  // What another thread does while the reinitialise ends.
  std::function<void()> duringReinitialiseEnd;
  void reinitialiseEnded() override { log.push_back("reinitEnded"); }
  void createAllSyncTimers() override { log.push_back("timers"); }
  void getLoginDetailForUlmoraSyncUser() override { log.push_back("login"); }
  void clearRecentItems() override { log.push_back("clearRecent"); }
};

std::string madeFolder(const std::string& path) {
  fileutil::makeDirectories(path);
  return path;
}

struct HandlerFixture {
  testing::TestTempDir tmp;
  FakeListing change, refId;
  testing::FakeQueue queue;
  testing::FakeFilters filters;
  testing::FakeSelective selective;
  FakeHost host;
  AccountState::Listing shared;
  ListingIndexStore index{tmp.sub("indexFile.txt")};
  ListingTally tally;
  std::vector<std::pair<std::function<void()>, Clock::Duration>> posted;
  std::string root = madeFolder(tmp.sub("root"));
  SyncRootFiles files{root};
  ListingHandler handler{{change, refId, queue, filters, selective, host, files},
                         shared,
                         index,
                         tally,
                         [this](std::function<void()> t, Clock::Duration d) { posted.emplace_back(t, d); }};

  void runPosted() {
    auto tasks = std::exchange(posted, {});
    for (auto& [task, delay] : tasks) task();
  }
  std::optional<std::string> indexText() const { return fileutil::readFile(index.path()); }

  // One field of the shared state, under its mutex.
  template <typename T>
  T get(T AccountState::Listing::*field) {
    MutexLock hold(shared.mutex);
    return shared.*field;
  }
  template <typename T>
  void set(T AccountState::Listing::*field, T value) {
    MutexLock hold(shared.mutex);
    shared.*field = value;
  }
};

using Shared = AccountState::Listing;

TEST(ListingHandlerTest, IndexMovesOnlyPastFinishedDownloads) {
  struct Case {
    const char* name;
    bool itemsFound;
    std::function<void(HandlerFixture&)> setup;
    std::optional<std::string> written;
    std::optional<int64_t> held;
    int relistRequests;
  } cases[] = {
      {"nothing found", false, [](auto&) {}, std::nullopt, std::nullopt, 0},
      {"all done", true, [](auto&) {}, "500", std::nullopt, 0},
      {"download running", true, [](auto& f) { f.host.downloadRunning = true; }, std::nullopt, 500, 0},
      {"download in journal", true, [](auto& f) { f.queue.pending = {"/a"}; }, std::nullopt, 500, 0},
      {"download queued", true, [](auto& f) { f.queue.queued = 1; }, std::nullopt, 500, 0},
      {"download being written", true, [](auto& f) { f.queue.writing = 1; }, std::nullopt, 500, 0},
      // A listing held back while /a downloaded queued it again; the run wrote it.
      {"only downloads a run wrote since they were queued", true,
       [](auto& f) {
         f.queue.pending = {"/a"};
         f.queue.queued = 1;
         f.filters.writtenSinceQueued = {"/a"};
       },
       "500", std::nullopt, 0},
      {"beside them, one still to fetch", true,
       [](auto& f) {
         f.queue.pending = {"/a", "/b"};
         f.queue.queued = 2;
         f.filters.writtenSinceQueued = {"/a"};
       },
       std::nullopt, 500, 0},
      {"last run failed", true, [](auto& f) { f.host.lastRunFailed = true; }, std::nullopt, 500, 0},
      {"listing stopped a download", true, [](auto& f) { f.handler.setRestoreCancelledDuringListing(); },
       std::nullopt, std::nullopt, 1},
  };
  for (const auto& c : cases) {
    HandlerFixture f;
    f.handler.changeListingStarting(false);
    if (c.itemsFound) f.handler.listingGotEventsOccurred();
    c.setup(f);
    f.handler.listingDidReceiveData(500);
    EXPECT_FALSE(f.indexText()) << c.name << ": written off the main loop";
    f.runPosted();
    EXPECT_EQ(f.indexText(), c.written) << c.name;
    EXPECT_EQ(f.handler.heldIndex(), c.held) << c.name;
    EXPECT_EQ(f.queue.notificationRequests, c.relistRequests) << c.name;
  }
}

TEST(ListingHandlerTest, HeldIndexIsStoredOnceDownloadsAreDone) {
  HandlerFixture f;
  f.index.write(100);
  f.handler.listingGotEventsOccurred();
  f.queue.queued = 3;
  f.handler.listingDidReceiveData(500);
  f.handler.commitHeldIndex();
  EXPECT_EQ(f.indexText(), "100");
  f.queue.queued = 0;
  f.queue.pending = {"/next.txt"};
  f.handler.commitHeldIndex();
  EXPECT_EQ(f.indexText(), "100");
  // The run wrote /next.txt, which a listing held back meanwhile queued again.
  f.filters.writtenSinceQueued = {"/next.txt"};
  // The run that reports its clean end still counts as running meanwhile.
  f.host.downloadRunning = true;
  f.handler.commitHeldIndex();
  EXPECT_EQ(f.indexText(), "100") << "written off the main loop";
  f.runPosted();
  EXPECT_EQ(f.indexText(), "500");
  EXPECT_FALSE(f.handler.heldIndex());
}

TEST(ListingHandlerTest, RetriesBackOffAndStop) {
  struct Case {
    int count;
    bool noData;
    std::optional<Clock::Duration> delay;
    Lines host;
  } cases[] = {
      {0, false, 2s, {}},  {4, false, 2s, {}},    {5, false, 30s, {}}, {10, false, 30s, {}},
      {11, false, std::nullopt, {}},
      {11, true, std::nullopt, {"untip push", "untip Syncing Down"}},
      {40, false, std::nullopt, {}},
  };
  for (const auto& c : cases) {
    HandlerFixture f;
    f.set(&Shared::retryCount, c.count);
    f.change.noData = c.noData;
    f.handler.RetryListing(false);
    ASSERT_EQ(f.posted.size(), c.delay ? 1u : 0u) << c.count;
    if (c.delay) {
      EXPECT_EQ(f.posted[0].second, *c.delay) << c.count;
      EXPECT_EQ(f.get(&Shared::retryCount), c.count + 1);
      f.runPosted();
      EXPECT_EQ(f.host.log, Lines{"startListing"}) << c.count;
    } else {
      EXPECT_EQ(f.host.log, c.host) << c.count;
      EXPECT_FALSE(f.change.noData);
    }
  }
}

TEST(ListingHandlerTest, NoRetryForTenMinuteListingsOrTheReferenceListing) {
  HandlerFixture f;
  f.set(&Shared::isTenMinutesListing, true);
  f.change.noData = true;
  f.handler.RetryListing(false);
  EXPECT_TRUE(f.posted.empty());
  EXPECT_FALSE(f.get(&Shared::isTenMinutesListing));
  EXPECT_FALSE(f.change.noData);
  f.handler.RetryListing(true);
  EXPECT_TRUE(f.posted.empty());
  EXPECT_EQ(f.get(&Shared::retryCount), 0);
}

TEST(ListingHandlerTest, RetryThatCannotStartLeavesARequest) {
  HandlerFixture f;
  f.host.canStart = false;
  f.handler.syncListing();
  EXPECT_EQ(f.queue.notificationRequests, 1);
  f.change.running = true;
  f.handler.syncListing();
  EXPECT_EQ(f.queue.notificationRequests, 1);
  EXPECT_EQ(f.host.log, Lines{"startListing"});
}

TEST(ListingHandlerTest, ReinitialiseEndsOnceWithTimersPostedLater) {
  struct Case {
    const char* name;
    std::function<void(ListingHandler&)> report;
    Lines host;
  } cases[] = {
      {"success", [](auto& h) { h.listingDidFinishSuccessfully(false); },
       {"selective", "queueReinit 1", "reinitEnded"}},
      {"failure", [](auto& h) { h.listingDidFailWithError("boom", false); }, {"selective", "reinitEnded"}},
      {"cancel", [](auto& h) { h.listingDidCancel(); }, {"selective", "reinitEnded"}},
  };
  for (const auto& c : cases) {
    HandlerFixture f;
    f.set(&Shared::isReinitialize, true);
    f.set(&Shared::selectivesyncCalledDuringReinitialization, true);
    c.report(f.handler);
    EXPECT_EQ(f.host.log, c.host) << c.name;
    EXPECT_FALSE(f.get(&Shared::isReinitialize)) << c.name;
    ASSERT_EQ(f.posted.size(), 1u) << c.name;
    EXPECT_EQ(f.posted[0].second, 5s);
    f.runPosted();
    EXPECT_EQ(f.host.log.back(), "timers");
  }
}

// A selective-sync change that finds the reinitialise still under way
// after its end has taken the deferred changes is not left for the next
// reinitialise: it is applied at this one's end.
TEST(ListingHandlerTest, AChangeDeferredWhileTheReinitialiseEndsIsApplied) {
  HandlerFixture f;
  f.set(&Shared::isReinitialize, true);
  f.host.duringReinitialiseEnd = [&f] {
    // What the selective-sync port does on the main loop meanwhile.
    MutexLock hold(f.shared.mutex);
    if (f.shared.isReinitialize) f.shared.selectivesyncCalledDuringReinitialization = true;
  };
  f.handler.listingDidFinishSuccessfully(false);
  EXPECT_EQ(f.host.log, (Lines{"queueReinit 1", "selective", "reinitEnded"}));
  EXPECT_FALSE(f.get(&Shared::selectivesyncCalledDuringReinitialization));
  EXPECT_FALSE(f.get(&Shared::isReinitialize));
}

TEST(ListingHandlerTest, FailureReactions) {
  struct Case {
    std::string error;
    bool refId;
    Lines host;
  } cases[] = {
      {"x password mismatch y", false, {"password"}},
      {"your account has been cancelled", false, {"cancelled"}},
      {"umkvt: failed to connect to host", false, {"notify N1030"}},
      {"umkvt: failed to connect to host", true, {}},
      {"Password mismatch", false, {}},
      {"other", false, {}},
  };
  for (const auto& c : cases) {
    HandlerFixture f;
    f.handler.listingDidFailWithError(c.error, c.refId);
    EXPECT_EQ(f.host.log, c.host) << c.error;
  }
}

TEST(ListingHandlerTest, ReferenceIdEntries) {
  auto rec = [](std::string fname, std::string refId, std::string old = "") {
    ServerRecord r;
    r.fname = std::move(fname);
    r.refId = std::move(refId);
    r.fnameOld = std::move(old);
    return r;
  };
  struct Case {
    ServerRecord record;
    std::string op;
    bool queued;
  } cases[] = {
      {rec("/a.txt", "R"), "4", true},
      {rec("/a.txt", "R", "/b.txt"), "3", true},
      {rec("/a.txt", "R"), "2", false},
      {rec("/d/", "R"), "4", false},
      {rec("/a.txt", ""), "4", false},
      {rec("", "R"), "4", false},
      {rec("/Out of Box/m/a.txt", "R"), "4", false},
      {rec("/hidden/a.txt", "R"), "4", false},
      {rec("/hidden/a.txt", "R", "/hidden/b.txt"), "3", false},
      {rec("/hidden/a.txt", "R", "/shown/b.txt"), "3", true},
      {rec("/../a.txt", "R"), "4", false},
      {rec("/fails.txt", "R"), "4", false},  // the entry whose handling throws is dropped
  };
  for (const auto& c : cases) {
    HandlerFixture f;
    f.selective.deselected = {"/hidden/"};
    f.selective.failsFor = "/fails.txt";
    f.handler.updateRefID(c.record, c.op);
    EXPECT_EQ(f.queue.log, c.queued ? Lines{"refid " + c.record.fname + "=R"} : Lines{}) << c.record.fname;
  }
}

// The id is recorded with the local file's date and size as in sync: an entry
// for a copy other than the one here (another computer's newer edit) must not
// mark it so, or the download it needs never comes.
TEST(ListingHandlerTest, ReferenceIdOnlyForTheCopyHere) {
  constexpr const char* kTime = "2024-03-05 10:20:30";
  struct Case {
    const char* name;
    std::optional<std::string> local;  // the file's contents; nullopt for none
    std::chrono::seconds localAge;     // against the entry's time
    std::string size;                  // the entry's
    bool queued;
  } cases[] = {
      {"the copy here", "0123456789", 0s, "10", true},
      {"within the same second", "0123456789", 0s, "10", true},
      {"another size", "0123", 0s, "10", false},
      {"another date", "0123456789", -30s, "10", false},
      {"local copy newer", "0123456789", 30s, "10", false},
      {"no file here: a download", std::nullopt, 0s, "10", true},
      {"no size to compare", "0123", 0s, "", true},
  };
  for (const auto& c : cases) {
    HandlerFixture f;
    ServerRecord r;
    r.fname = "/d/a.txt";
    r.refId = "R";
    r.modTime = kTime;
    r.size = c.size;
    if (c.local) {
      fileutil::makeDirectories(f.root + "/d");
      ASSERT_TRUE(fileutil::writeFileAtomically(f.root + "/d/a.txt", *c.local)) << c.name;
      auto when = testing::serverTime(kTime, c.localAge);
      if (std::string(c.name) == "within the same second") when += 400ms;
      testing::setModified(f.root + "/d/a.txt", when);
    }
    f.handler.updateRefID(r, "4");
    EXPECT_EQ(f.queue.log, c.queued ? Lines{"refid /d/a.txt=R"} : Lines{}) << c.name;
  }
}

TEST(ListingHandlerTest, OnlyTheChangeListingClearsItsItems) {
  HandlerFixture f;
  f.handler.clearItems();
  EXPECT_TRUE(f.host.log.empty());
  f.change.running = true;
  f.handler.clearItems();
  EXPECT_EQ(f.host.log, Lines{"clearRecent"});
}

TEST(ListingHandlerTest, ReferenceIdListingStart) {
  HandlerFixture f;
  f.index.write(77);
  f.change.running = true;
  f.handler.updateRefIDwithListingIndex(false);
  EXPECT_TRUE(f.refId.starts.empty());
  f.handler.updateRefIDwithListingIndex(true);
  EXPECT_EQ(f.change.cancels, 1);
  EXPECT_EQ(f.refId.starts, std::vector<int64_t>{0});
  f.handler.updateRefIDwithListingIndex(false);
  EXPECT_EQ(f.refId.starts, (std::vector<int64_t>{0, 77}));
}

// A changed record-change id asks for the reference ids from zero. Outside a
// reinitialise the running change listing gives way; a reinitialise's
// listing runs to its end first, so the reinitialise ends as done.
TEST(ListingHandlerTest, ReferenceIdRelistWaitsForAReinitialisesListing) {
  struct Case {
    const char* name;
    bool reinitialise;
    std::function<void(ListingHandler&)> end;  // the change listing's end
    int cancels;
    Lines host;
  } cases[] = {
      {"outside a reinitialise", false, [](auto&) {}, 1, {}},
      {"reinitialise listing completes", true,
       [](auto& h) {
         h.listingDidFinishSuccessfully(false);
         h.listingDataProcessedComplete(false);
       },
       0, {"queueReinit 1", "reinitEnded", "timers"}},
      {"reinitialise listing fails", true,
       [](auto& h) {
         h.listingDidFailWithError("boom", false);
         h.listingDataProcessedComplete(false);
       },
       0, {"reinitEnded", "timers"}},
      {"reinitialise listing cancelled by a pause", true, [](auto& h) { h.listingDidCancel(); }, 0,
       {"reinitEnded", "timers"}},
  };
  for (const auto& c : cases) {
    HandlerFixture f;
    f.set(&Shared::isReinitialize, c.reinitialise);
    f.change.running = true;
    f.handler.updateRefIDwithListingIndex(true);
    EXPECT_EQ(f.change.cancels, c.cancels) << c.name;
    EXPECT_EQ(f.refId.starts.empty(), c.reinitialise) << c.name;
    // Another report of the reference-id listing starts nothing waiting.
    f.handler.listingDataProcessedComplete(true);
    c.end(f.handler);
    f.runPosted();
    EXPECT_EQ(f.host.log, c.host) << c.name;
    EXPECT_EQ(f.refId.starts, std::vector<int64_t>{0}) << c.name;
  }
}

TEST(ListingHandlerTest, StartOfChangeListingForgetsExpectedEvents) {
  HandlerFixture f;
  f.tally.countDeletion("/x");
  f.handler.listingDidStart(true);
  EXPECT_TRUE(f.filters.log.empty());
  f.handler.listingDidStart(false);
  EXPECT_EQ(f.filters.log, (Lines{"clearRenameFilter", "clearAutoDeleteList"}));
  EXPECT_EQ(f.queue.log, Lines{"deletejournal 5 read"});
  EXPECT_EQ(f.tally.snapshot().deleted, 0);
}

TEST(ListingHandlerTest, ListingToolTipFollowsFoundItemsAndPauseStop) {
  HandlerFixture f;
  f.handler.listingGotEventsOccurred();
  f.handler.listingGotEventsOccurred();
  f.handler.listingCompleted();
  f.handler.listingCompleted();
  EXPECT_EQ(f.host.log, (Lines{"tip T1016", "untip T1016"}));

  f.handler.StopListingAndAddNotificationFile();
  EXPECT_EQ(f.queue.notificationRequests, 0);
  f.change.running = true;
  f.handler.StopListingAndAddNotificationFile();
  EXPECT_EQ(f.queue.notificationRequests, 1);
  EXPECT_EQ(f.change.cancels, 1);
  EXPECT_TRUE(f.handler.listingStartedfromZeroIndex());
  EXPECT_TRUE(f.handler.listingDataProcessedComplete(false));
  EXPECT_FALSE(f.handler.listingStartedfromZeroIndex());
  EXPECT_FALSE(f.handler.listingDataProcessedComplete(true));
}

#ifndef NDEBUG
// The reports and the download's commit decide on their own threads; the
// index file itself is written by the main loop alone.
TEST(ListingHandlerDeathTest, WritingTheIndexFromAnotherThreadStopsTheProcess) {
  HandlerFixture f;
  std::thread([&] {
    f.handler.listingGotEventsOccurred();
    f.handler.listingDidReceiveData(500);
    f.handler.commitHeldIndex();
  }).join();
  f.runPosted();
  EXPECT_EQ(f.indexText(), "500");
  testing::expectEachStopsOffItsLoop({{"write_index", [&] { f.handler.writeListingIndexFile(600); }}});
}
#endif

}  // namespace
}  // namespace ulmora
