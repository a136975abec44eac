#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>

#include "FakeListingEngine.h"
#include "ServiceTestSupport.h"
#include "service/SynListingController.h"
#include "tools/EngineHarness.h"

namespace ulmora::testing {
namespace {

class RecordingListDelegate : public SynListHandlerProtocol {
 public:
  void listingDidStart(SynListingController&) override {
    log.add("listingDidStart");
    throwIfAsked("listingDidStart");
  }
  void listingDidReceiveData(int64_t index) override {
    log.add("listingDidReceiveData", std::to_string(index));
    throwIfAsked("listingDidReceiveData");
  }
  void listingDidFinishSuccessfully(SynListingController&) override {
    log.add("listingDidFinishSuccessfully");
    throwIfAsked("listingDidFinishSuccessfully");
  }
  void listingDidFailWithError(const std::string& error, SynListingController&) override {
    log.add("listingDidFailWithError", error);
  }
  void listingDidCancel(SynListingController&) override { log.add("listingDidCancel"); }
  void listingDataProcessedComplete(SynListingController&) override {
    log.add("listingDataProcessedComplete");
    throwIfAsked("listingDataProcessedComplete");
  }
  void validateFiles(const ServerRecord& record, const std::string& op) override {
    log.add("validateFiles", op + " " + record.fname + " " + record.fnameOld);
    {
      std::lock_guard<std::mutex> lock(mu);
      records[record.fname] = record;
    }
    if (onRecord) onRecord();
    throwIfAsked("validateFiles");
  }
  void updateRefID(const ServerRecord& record, const std::string& op) override {
    log.add("updateRefID", op + " " + record.fname + " " + record.fnameOld);
  }
  void listingCompleted() override { log.add("listingCompleted"); }
  void listingGotEventsOccurred() override { log.add("listingGotEventsOccurred"); }
  void RetryListing(SynListingController&) override { log.add("RetryListing"); }
  void PerformLoginAgainDueToAccountMaintanence() override { log.add("PerformLoginAgain"); }
  void clearItems() override {
    log.add("clearItems");
    throwIfAsked("clearItems");
  }
  bool isTenMinutesListingCalled() override { return tenMinutes; }
  void resetTenminutesListing() override { log.add("resetTenminutesListing"); }

  void throwIfAsked(const std::string& report) {
    if (throwIn == report) throw std::runtime_error(report + " failed");
  }

  CallLog log;
  std::string throwIn;  // a report that fails; set while no listing runs
  bool tenMinutes = false;
  std::function<void()> onRecord;
  std::mutex mu;
  std::map<std::string, ServerRecord> records;
};

class SynListingControllerTest : public EngineHarness {
 protected:
  void SetUp() override {
    listing_ = std::make_unique<SynListingController>();
    listing_->setExecutorPath(ULMORA_ENGINE_PATH);
    listing_->setDelegate(&delegate_);
    listing_->setUser(storageUser(storage()));
  }
  void TearDown() override { listing_.reset(); }

  // Runs a listing to its last report.
  void list(int64_t index) {
    listing_->startListingWithIndexNumber(index);
    ASSERT_TRUE(delegate_.log.waitFor("listingDataProcessedComplete"));
    ASSERT_TRUE(eventuallyTrue([&] { return !listing_->isRunning(); }));
  }
  void serverRun(std::vector<std::string> args) {
    args.push_back(remote());
    ASSERT_EQ(0, run(args).status);
  }
  std::string script(const std::string& name, const std::string& text) {
    return tmp_.writeFile("scripts/" + name, text);
  }

  RecordingListDelegate delegate_;
  std::unique_ptr<SynListingController> listing_;
};

TEST_F(SynListingControllerTest, ChangesSinceAnIndexCarryTheirCodesAndFoldersGoApart) {
  writeLocal("/a.txt", "a");
  writeLocal("/dir/b.txt", "bb");
  writeLocal("/dir/sub/c.txt", "ccc");
  ASSERT_EQ(0, upload({"/a.txt", "/dir/b.txt", "/dir/sub/c.txt"}).status);
  const int64_t before = highestIndex();

  serverRun({"--rename", "--files-from=" + writeSet({"/dir/b.txt", "/dir/b2.txt"}, "")});
  serverRun({"--remove", "--files-from=" + writeSet({"/a.txt"}, "")});
  serverRun({"--rename", "--files-from=" + writeSet({"/dir/sub", "/dir/sub2"}, "")});
  writeLocal("/new.txt", "n");
  ASSERT_EQ(0, upload({"/new.txt"}).status);
  ASSERT_EQ(0, run({"--mkdir", remote("/empty/")}).status);
  const int64_t after = highestIndex();

  list(before);

  std::vector<std::string> validated = delegate_.log.texts("validateFiles");
  EXPECT_THAT(validated,
              ::testing::UnorderedElementsAre("3 /dir/b2.txt /dir/b.txt", "2 /a.txt ", "4 /new.txt ",
                                              "3 /dir/sub2/ /dir/sub/", "3 /dir/sub2/c.txt /dir/sub/c.txt"));
  std::vector<std::string> folders;
  for (const ServerRecord& r : listing_->foldersFromServer()) folders.push_back(r.fname);
  EXPECT_THAT(folders, ::testing::ElementsAre("/empty/"));
  EXPECT_TRUE(listing_->deletedFoldersFromServer().empty());
  EXPECT_EQ(6, listing_->fileChangeCount());
  EXPECT_EQ(std::vector<std::string>{std::to_string(after)}, delegate_.log.texts("listingDidReceiveData"));

  // The record carries the engine's texts under the nine keys.
  ServerRecord renamed = delegate_.records.at("/dir/b2.txt");
  PropertyList dict = renamed.toPropertyList();
  EXPECT_EQ(9u, dict.asDict()->size());
  EXPECT_EQ("2", renamed.size);
  EXPECT_EQ("0", renamed.inTrash);
  EXPECT_EQ("1", renamed.rcId);
  EXPECT_FALSE(renamed.refId.empty());
  EXPECT_EQ(19u, renamed.modTime.size());

  std::vector<std::string> names = delegate_.log.names();
  std::vector<std::string> frame;
  for (const std::string& n : names)
    if (n != "validateFiles") frame.push_back(n);
  EXPECT_THAT(frame, ::testing::ElementsAre("listingDidStart", "clearItems", "listingGotEventsOccurred",
                                            "listingDidReceiveData", "listingDidFinishSuccessfully",
                                            "listingDataProcessedComplete"));
}

// Whatever report fails, the listing still ends, so the next one can start.
TEST_F(SynListingControllerTest, AFailingReportStillEndsTheListing) {
  writeLocal("/a.txt", "a");
  ASSERT_EQ(0, upload({"/a.txt"}).status);
  for (const char* report : {"listingDidStart", "clearItems", "validateFiles", "listingDidReceiveData",
                             "listingDidFinishSuccessfully", "listingDataProcessedComplete"}) {
    SCOPED_TRACE(report);
    delegate_.throwIn = report;
    listing_->startListingWithIndexNumber(0);
    ASSERT_TRUE(eventuallyTrue([&] { return delegate_.log.count(report) == 1 && !listing_->isRunning(); }));
    delegate_.throwIn.clear();
    delegate_.log.clear();
    list(0);
    EXPECT_EQ(1, delegate_.log.count("validateFiles"));
    delegate_.log.clear();
  }
}

TEST_F(SynListingControllerTest, ReportsComeOnTheirThreads) {
  writeLocal("/a.txt", "a");
  ASSERT_EQ(0, upload({"/a.txt"}).status);
  list(0);
  auto calls = delegate_.log.calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(std::this_thread::get_id(), calls.front().thread);  // listingDidStart
  for (size_t i = 1; i < calls.size(); ++i)
    EXPECT_NE(std::this_thread::get_id(), calls[i].thread) << calls[i].name;
}

TEST_F(SynListingControllerTest, TrashedFoldersAndTenMinuteListing) {
  writeLocal("/keep/x.txt", "x");
  writeLocal("/old/y.txt", "y");
  ASSERT_EQ(0, upload({"/keep/x.txt", "/old/y.txt"}).status);
  serverRun({"--remove", "--files-from=" + writeSet({"/old"}, "")});
  delegate_.tenMinutes = true;

  list(0);

  std::vector<std::string> trashed;
  for (const ServerRecord& r : listing_->deletedFoldersFromServer()) trashed.push_back(r.fname);
  EXPECT_THAT(trashed, ::testing::ElementsAre("/old/"));
  std::vector<std::string> live;
  for (const ServerRecord& r : listing_->foldersFromServer()) live.push_back(r.fname);
  EXPECT_THAT(live, ::testing::ElementsAre("/keep/"));
  EXPECT_THAT(delegate_.log.texts("validateFiles"),
              ::testing::UnorderedElementsAre("4 /keep/x.txt ", "2 /old/y.txt "));
  EXPECT_EQ(1, delegate_.log.count("resetTenminutesListing"));
}

TEST_F(SynListingControllerTest, ReferenceIdModeReportsNoIndex) {
  writeLocal("/a.txt", "a");
  ASSERT_EQ(0, upload({"/a.txt"}).status);
  listing_->setforRefIDUpdate(true);
  list(0);
  EXPECT_THAT(delegate_.log.texts("updateRefID"), ::testing::ElementsAre("4 /a.txt "));
  EXPECT_EQ(0, delegate_.log.count("validateFiles"));
  EXPECT_EQ(0, delegate_.log.count("listingDidReceiveData"));
  EXPECT_EQ(1, delegate_.log.count("listingDidFinishSuccessfully"));
}

TEST_F(SynListingControllerTest, AListingWithoutChangesAsksForARetry) {
  writeLocal("/a.txt", "a");
  ASSERT_EQ(0, upload({"/a.txt"}).status);
  list(highestIndex());
  EXPECT_EQ(0, delegate_.log.count("listingGotEventsOccurred"));
  EXPECT_EQ(1, delegate_.log.count("RetryListing"));
  EXPECT_TRUE(listing_->IsRetryListingCalledForNoData());
  EXPECT_EQ("RetryListing", delegate_.log.names().back());
}

TEST_F(SynListingControllerTest, EngineErrorsReachTheDelegateWithTheAccountTexts) {
  struct Case {
    std::string fault;
    std::vector<std::string> errors;
    bool retry;
    bool loginAgain;
  };
  const std::string maintenance = SynListingController::kMaintenanceMessage;
  const std::string blocked = SynListingController::kBlockedMessage;
  const std::vector<Case> cases = {
      {"maintenance", {maintenance, "@ERROR: account is under maintenance"}, false, true},
      {"auth-failed", {maintenance, "@ERROR: auth failed on module quellar"}, false, true},
      {"blocked", {blocked, "@ERROR: account has been blocked"}, true, false},
      {"umkvt-error disk on fire", {"umkvt error: disk on fire"}, true, false},
      {"connect-fail", {"umkvt: failed to connect to " + storage() + ": Connection refused"}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    writeFaults(c.fault + "\n");
    RecordingListDelegate delegate;
    SynListingController listing;
    listing.setExecutorPath(ULMORA_ENGINE_PATH);
    listing.setDelegate(&delegate);
    listing.setUser(storageUser(storage()));
    listing.startListingWithIndexNumber(0);
    ASSERT_TRUE(delegate.log.waitFor(c.loginAgain ? "PerformLoginAgain" : "RetryListing"));
    EXPECT_EQ(c.errors, delegate.log.texts("listingDidFailWithError"));
    EXPECT_EQ(c.retry ? 1 : 0, delegate.log.count("RetryListing"));
    EXPECT_EQ(c.loginAgain ? 1 : 0, delegate.log.count("PerformLoginAgain"));
    EXPECT_EQ(0, delegate.log.count("listingDidReceiveData"));
    EXPECT_EQ(0, delegate.log.count("listingDidFinishSuccessfully"));
    EXPECT_EQ(1, delegate.log.count("listingDataProcessedComplete"));
  }
}

TEST_F(SynListingControllerTest, CancelFromARecordReportEndsTheListingThere) {
  for (int i = 0; i < 20; ++i) writeLocal("/f" + std::to_string(i), "x");
  std::vector<std::string> all;
  for (int i = 0; i < 20; ++i) all.push_back("/f" + std::to_string(i));
  ASSERT_EQ(0, upload(all).status);
  delegate_.onRecord = [&] { listing_->cancel(); };

  listing_->startListingWithIndexNumber(0);
  ASSERT_TRUE(delegate_.log.waitFor("listingDidCancel"));
  ASSERT_TRUE(eventuallyTrue([&] { return !listing_->isRunning(); }));
  listing_.reset();  // joins the worker: whatever it still had to say is said by now

  EXPECT_EQ(1, delegate_.log.count("validateFiles"));
  EXPECT_EQ("listingDidCancel", delegate_.log.names().back());
  EXPECT_EQ(0, delegate_.log.count("listingCompleted"));  // the engine had already exited
}

TEST_F(SynListingControllerTest, CancelWhileTheEngineRunsSaysNothingAfterItsCancelReports) {
  ScopedFakeEngineScript engine(script("held.hold",
                                       "COUNT\t2\n"
                                       "LIST\t5\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t/a.txt\t\n"));
  listing_->setExecutorPath(fakeEnginePath());
  listing_->startListingWithIndexNumber(0);
  ASSERT_TRUE(eventuallyTrue([&] { return listing_->announcedCount() == 2; }));
  EXPECT_TRUE(listing_->isRunning());

  listing_->cancel();
  EXPECT_FALSE(listing_->isRunning());
  listing_.reset();

  EXPECT_THAT(delegate_.log.names(),
              ::testing::ElementsAre("listingDidStart", "listingCompleted", "listingDidCancel"));
}

TEST_F(SynListingControllerTest, ANewListingAfterACancelIsNotDisturbedByTheOldOne) {
  ScopedFakeEngineScript held(script("first.hold", "COUNT\t1\n"));
  listing_->setExecutorPath(fakeEnginePath());
  listing_->startListingWithIndexNumber(0);
  ASSERT_TRUE(eventuallyTrue([&] { return listing_->announcedCount() == 1; }));
  listing_->cancel();

  ScopedFakeEngineScript quick(script("second",
                                      "COUNT\t1\n"
                                      "LIST\t7\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t/b.txt\t\n"
                                      "INDEX\t7\nSUMMARY\tlist\t0\t1\t7\n"));
  listing_->startListingWithIndexNumber(0);
  ASSERT_TRUE(delegate_.log.waitFor("listingDataProcessedComplete"));
  listing_.reset();
  EXPECT_EQ(2, delegate_.log.count("listingDidStart"));
  EXPECT_EQ(1, delegate_.log.count("listingDidCancel"));
  EXPECT_THAT(delegate_.log.texts("validateFiles"), ::testing::ElementsAre("4 /b.txt "));
}

TEST_F(SynListingControllerTest, HostileAndBrokenLinesAreDropped) {
  std::string nul("/evil\0name", 10);
  ScopedFakeEngineScript engine(
      script("hostile",
             "COUNT\t7\n"
             "LIST\t1\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t/../etc/passwd\t\n"
             "LIST\t2\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t/a/./b\t\n"
             "LIST\t3\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t" +
                 nul +
                 "\t\n"
                 "LIST\t4\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t/.UMSCache/x\t\n"
                 "LIST\t5\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t/\t\n"
                 "LIST\t6\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t/moved.txt\t/../outside.txt\n"
                 "LIST\tnot-a-number\t0\n"
                 "GARBAGE LINE\n"
                 "LIST\t8\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\tok.txt\t\n"
                 "INDEX\t8\nSUMMARY\tlist\t0\t7\t8\n"));
  listing_->setExecutorPath(fakeEnginePath());
  list(0);
  EXPECT_THAT(delegate_.log.texts("validateFiles"), ::testing::ElementsAre("4 /ok.txt "));
  EXPECT_EQ(1, listing_->fileChangeCount());
  EXPECT_EQ(std::vector<std::string>{"8"}, delegate_.log.texts("listingDidReceiveData"));
}

TEST_F(SynListingControllerTest, AnEngineThatDiesMidListingIsAFailure) {
  ScopedFakeEngineScript engine(script("died",
                                       "COUNT\t3\nLIST\t1\t0\t1\t3\t2024-01-01 00:00:00\t9\t1\t/a\t\n"
                                       "FATAL\t12\tumkvt error: read error: Connection reset by peer\n"
                                       "SUMMARY\tlist\t12\n"));
  listing_->setExecutorPath(fakeEnginePath());
  list(0);
  EXPECT_EQ(std::vector<std::string>{"umkvt error: read error: Connection reset by peer"},
            delegate_.log.texts("listingDidFailWithError"));
  EXPECT_EQ(0, delegate_.log.count("listingDidReceiveData"));
  EXPECT_EQ(1, delegate_.log.count("RetryListing"));
}

// A listing keeps its lines as they came until it ends: every byte and the
// order survive, across the store's chunks too.
TEST(KeptListingLinesTest, GivesBackEveryLineAsItCameInOrder) {
  const std::string longLine(300 * 1024, 'r');  // longer than a chunk
  std::string odd("a\0b\nc\r", 7);
  struct Case {
    const char* name;
    std::vector<std::string> lines;
  };
  std::vector<std::string> many;
  for (int i = 0; i < 3000; ++i) many.push_back("1|f|/d/f" + std::to_string(i) + std::string(i % 300, 'x'));
  std::vector<std::string> mixed = many;
  mixed.insert(mixed.begin() + 1000, longLine);
  mixed.insert(mixed.begin() + 1001, "");
  mixed.push_back(odd);
  for (const Case& c : {Case{"none", {}}, Case{"one empty line", {""}},
                        Case{"lines over several chunks", many},
                        Case{"a line longer than a chunk, empty and odd bytes", mixed}}) {
    SCOPED_TRACE(c.name);
    KeptListingLines kept;
    for (const std::string& line : c.lines) kept.add(line);
    EXPECT_EQ(kept.size(), c.lines.size());
    std::vector<std::string> back;
    kept.forEach([&back](std::string_view line) {
      back.emplace_back(line);
      return true;
    });
    EXPECT_TRUE(back == c.lines);
  }
}

TEST(KeptListingLinesTest, StopsWhereTheHandlerSays) {
  KeptListingLines kept;
  for (int i = 0; i < 10; ++i) kept.add(std::to_string(i));
  std::vector<std::string> seen;
  kept.forEach([&seen](std::string_view line) {
    seen.emplace_back(line);
    return seen.size() < 4;
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"0", "1", "2", "3"}));
}

}  // namespace
}  // namespace ulmora::testing
