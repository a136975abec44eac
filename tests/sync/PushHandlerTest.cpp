// The push handler with fake clients on a ManualClock main loop.
#include "sync/push/PushHandler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ManualClock.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;

// What one fake client saw; outlives the client.
struct ClientRecord {
  PushClientEvents* events = nullptr;
  PushClient* client = nullptr;
  std::vector<std::string> calls;
  bool destroyed = false;
  bool reporting = false;
  bool destroyedWhileReporting = false;
};

class FakePushClient : public PushClient {
 public:
  explicit FakePushClient(std::shared_ptr<ClientRecord> r) : r_(std::move(r)) { r_->client = this; }
  ~FakePushClient() override {
    r_->destroyed = true;
    if (r_->reporting) r_->destroyedWhileReporting = true;
  }
  bool startListening(const std::string& topic) override { return add("listen:" + topic); }
  bool pushNotification(const std::string& topic, const std::string& id, const std::string& path) override {
    return add("push:" + topic + ":" + id + ":" + path);
  }
  bool PushDummyNotificationForUser(const std::string& topic) override { return add("dummy:" + topic); }
  void stopRequest() override { add("stop"); }

 private:
  bool add(std::string c) {
    r_->calls.push_back(std::move(c));
    return true;
  }
  std::shared_ptr<ClientRecord> r_;
};

class FakeHost : public PushHost {
 public:
  int shouldSync() override { return gate; }
  bool isReinitialize() override { return reinit; }
  std::optional<std::string> machineID() override { return std::string("MID"); }
  void setMonitorToolTip(const std::string& s) override { add("tooltip:" + s); }
  void showDesktopPushNotification(const std::string& c) override { add("notify:" + c); }
  void sendToMonitor(const std::string& t, int type) override { add("ipc" + std::to_string(type) + ":" + t); }
  void addNotificationFilesInfo() override { ++listingRequests; }
  void calculateQuota(bool byDelete) override { add(byDelete ? "quota:YES" : "quota:NO"); }
  bool isBackupRunning() override { return false; }
  void queryMainDB(bool) override { add("queryMainDB"); }
  void passwordChangedFromWeb() override { add("password"); }
  void removeLoginDetailsFile() override { add("removeLogin"); }
  bool isListingRunning() override { return listingRunning; }
  void cancelListing() override { add("cancelListing"); }
  void startSyncListingAllFiles(int mode) override { add("listing:" + std::to_string(mode)); }
  bool isSyncTimerValid() override { return true; }
  std::string syncTimerDescription() override { return "timer"; }
  // The controller's two timers, on the test's loop.
  bool isPeriodicTimerValid() override { return periodic && periodic->isValid(); }
  void resetPeriodicTimer() override {
    if (periodic) periodic->invalidate();
    periodic = loop->scheduleTimer(900s, true, [this](RunLoopTimer&) { handler->periodicListening(); });
  }
  bool isDummyTimerValid() override { return dummy && dummy->isValid(); }
  void resetDummyTimer() override {
    if (dummy) dummy->invalidate();
    dummy = loop->scheduleTimer(600s, true, [this](RunLoopTimer&) { handler->PushDummyNotification(); });
  }
  void setIsTenMinutesListing(bool v) override { tenMinutes = v; }
  void setDuringPauseGotPns(bool v) override { duringPause = v; }
  ~FakeHost() override {
    if (periodic) periodic->invalidate();
    if (dummy) dummy->invalidate();
  }

  void add(std::string s) { calls.push_back(std::move(s)); }
  int gate = 4;
  bool reinit = false;
  bool listingRunning = false;
  int listingRequests = 0;
  bool tenMinutes = false;
  bool duringPause = false;
  std::vector<std::string> calls;
  RunLoop* loop = nullptr;
  PushHandler* handler = nullptr;
  std::shared_ptr<RunLoopTimer> periodic, dummy;
};

class PushHandlerTest : public ::testing::Test {
 protected:
  PushHandlerTest()
      : loop(clock),
        handler(std::make_unique<PushHandler>(host, loop, [this](PushClientEvents& e, const std::string& url) {
          auto r = std::make_shared<ClientRecord>();
          r->events = &e;
          r->calls.push_back("url:" + url);
          records.push_back(r);
          return std::make_unique<FakePushClient>(r);
        })) {
    host.loop = &loop;
    host.handler = handler.get();
    handler->setUserName("Bob.Smith");
    handler->setServerURL("https://push.example/pns/broadcast");
  }

  void advance(Clock::Duration d) {
    // Step in one-second slices so each timer fires at its own time.
    for (auto left = d; left > 0s; left -= 1s) {
      clock.advance(std::min<Clock::Duration>(1s, left));
      loop.runUntilIdle();
    }
  }

  template <typename F>
  void report(ClientRecord& r, F f) {
    r.reporting = true;
    f(*r.events, *r.client);
    r.reporting = false;
    loop.runUntilIdle();
  }
  void finish(ClientRecord& r, const std::string& action = "subscribe") {
    report(r, [&](PushClientEvents& e, PushClient& c) { e.clientDidFinish(c, action); });
  }
  void fail(ClientRecord& r, const std::string& action = "subscribe") {
    report(r, [&](PushClientEvents& e, PushClient& c) { e.clientDidFail(c, "timed out", action); });
  }
  void start(ClientRecord& r) {
    report(r, [&](PushClientEvents& e, PushClient& c) { e.clientDidStart(c); });
  }
  void data(ClientRecord& r, const PropertyList& d) {
    report(r, [&](PushClientEvents& e, PushClient& c) { e.clientDidReceiveData(c, d, "subscribe"); });
  }
  int subscribes() const {
    int n = 0;
    for (const auto& r : records)
      for (const auto& c : r->calls) n += c.rfind("listen:", 0) == 0;
    return n;
  }
  static PropertyList msg(int64_t id) {
    PropertyList m(PropertyList::Dict{});
    m.set("id", PropertyList(id));
    m.set("UID", "othermachine");
    return m;
  }

  ManualClock clock;
  RunLoop loop;
  FakeHost host;
  std::vector<std::shared_ptr<ClientRecord>> records;
  std::unique_ptr<PushHandler> handler;
};

TEST_F(PushHandlerTest, SubscribesOnTheLowerCasedTopicAndRenewsAnEndedPoll) {
  handler->setEnableListeningNotifications(true);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->calls, (std::vector<std::string>{"url:https://push.example/pns/broadcast",
                                                         "listen:bob.smith"}));
  advance(30s);
  finish(*records[0]);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]->calls.back(), "listen:bob.smith");
  EXPECT_TRUE(records[0]->destroyed);
  for (const auto& r : records) EXPECT_FALSE(r->destroyedWhileReporting);
}

TEST_F(PushHandlerTest, APollThatEndsAtOnceIsNotRenewedFasterThanTheFloor) {
  handler->setEnableListeningNotifications(true);
  for (int i = 0; i < 50; ++i) finish(*records.back());
  EXPECT_EQ(subscribes(), 1);
  advance(PushHandler::kMinSubscribeSpacing);
  EXPECT_EQ(subscribes(), 2);
  // Each renewal that ends at once waits for the next slot again.
  for (int round = 0; round < 5; ++round) {
    finish(*records.back());
    finish(*records.back());
    advance(PushHandler::kMinSubscribeSpacing);
  }
  EXPECT_EQ(subscribes(), 7);
}

TEST_F(PushHandlerTest, RetrySequenceAfterFailures) {
  handler->setEnableListeningNotifications(true);
  advance(10s);
  fail(*records.back());  // first failure: timer plus an immediate retry
  EXPECT_TRUE(handler->isRetryTimerValid());
  EXPECT_EQ(handler->notificationRetryCount(), 1);
  EXPECT_EQ(subscribes(), 2);

  fail(*records.back());  // second failure: nothing new, the timer keeps trying
  EXPECT_EQ(subscribes(), 2);
  advance(149s);
  EXPECT_EQ(subscribes(), 2);
  advance(1s);
  EXPECT_EQ(subscribes(), 3);
  EXPECT_EQ(handler->notificationRetryCount(), 2);
  advance(150s);
  EXPECT_EQ(subscribes(), 4);

  data(*records.back(), PropertyList("Ack::"));  // data ends the retries
  EXPECT_FALSE(handler->isRetryTimerValid());
  EXPECT_EQ(handler->notificationRetryCount(), 0);
  EXPECT_EQ(host.listingRequests, 1);
  advance(300s);
  EXPECT_EQ(subscribes(), 4);
}

TEST_F(PushHandlerTest, FirstFailureRightAfterSubscribeRetriesAtTheFloor) {
  handler->setEnableListeningNotifications(true);
  fail(*records.back());
  EXPECT_EQ(subscribes(), 1);
  advance(PushHandler::kMinSubscribeSpacing);
  EXPECT_EQ(subscribes(), 2);
}

TEST_F(PushHandlerTest, AnAcceptedPollAfterAFailedOneListsForTheMissedMessages) {
  // Each step acts on the newest client; `fail` and `start` are its reports.
  enum Step { kFail, kStart, kEnd, kReplace, kFailOld };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    int listings;
  };
  const std::vector<Case> cases = {
      {"a first poll", {kStart}, 0},
      {"polls renewed without a failure", {kStart, kEnd, kStart, kEnd, kStart}, 0},
      {"accepted after one failure", {kStart, kFail, kStart}, 1},
      {"accepted after several failures", {kStart, kFail, kFail, kFail, kStart}, 1},
      {"once, not at every renewal after it", {kFail, kStart, kEnd, kStart}, 1},
      {"each outage on its own", {kFail, kStart, kFail, kStart}, 2},
      {"failed but not yet accepted again", {kStart, kFail}, 0},
      {"a replaced poll that fails lost nothing", {kStart, kReplace, kFailOld, kStart}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    records.clear();
    handler = std::make_unique<PushHandler>(host, loop, [this](PushClientEvents& e, const std::string&) {
      auto r = std::make_shared<ClientRecord>();
      r->events = &e;
      records.push_back(r);
      return std::make_unique<FakePushClient>(r);
    });
    host.handler = handler.get();
    host.listingRequests = 0;
    handler->setUserName("bob");
    handler->setEnableListeningNotifications(true);
    for (Step step : c.steps) {
      switch (step) {
        case kFail:
          fail(*records.back());
          advance(PushHandler::kRetryInterval);  // the retry timer subscribes again
          break;
        case kStart:
          start(*records.back());
          break;
        case kEnd:
          finish(*records.back());
          advance(PushHandler::kMinSubscribeSpacing);
          break;
        case kReplace:
          advance(PushHandler::kMinSubscribeSpacing);
          handler->startListeningNotifications();
          break;
        case kFailOld:
          fail(*records[records.size() - 2]);
          break;
      }
    }
    EXPECT_EQ(host.listingRequests, c.listings);
  }
}

TEST_F(PushHandlerTest, DisablingStopsWithoutRenewalAndReleasesLater) {
  handler->setEnableListeningNotifications(true);
  handler->setEnableListeningNotifications(false);
  EXPECT_EQ(records[0]->calls.back(), "stop");
  finish(*records[0]);
  advance(10s);
  EXPECT_EQ(subscribes(), 1);
  EXPECT_TRUE(records[0]->destroyed);
  EXPECT_FALSE(records[0]->destroyedWhileReporting);
}

TEST_F(PushHandlerTest, AReplacedSubscriptionIsStoppedThenDestroyedOutsideItsReports) {
  handler->setEnableListeningNotifications(true);
  advance(5s);
  handler->startListeningNotifications();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]->calls.back(), "stop");
  loop.runUntilIdle();
  EXPECT_TRUE(records[0]->destroyed);
  EXPECT_FALSE(records[1]->destroyed);
}

TEST_F(PushHandlerTest, ChangeMessageQueuesListingSetsStatusAndResetsTimers) {
  handler->setEnableListeningNotifications(true);
  host.resetPeriodicTimer();
  host.resetDummyTimer();
  advance(500s);
  data(*records.back(), msg(1005));
  EXPECT_EQ(host.listingRequests, 1);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"tooltip:Renaming file(s).."}));
  // Both timers start again from the message: no keep-alive at 600 s.
  advance(599s);
  int dummies = 0;
  for (const auto& r : records) dummies += r->calls.size() > 1 && r->calls[1].rfind("dummy:", 0) == 0;
  EXPECT_EQ(dummies, 0);
  advance(1s);
  dummies = 0;
  for (const auto& r : records) dummies += r->calls.size() > 1 && r->calls[1] == "dummy:bob.smith";
  EXPECT_EQ(dummies, 1);
}

TEST_F(PushHandlerTest, DummyMessageResetsOnlyThePeriodicTimer) {
  handler->setEnableListeningNotifications(true);
  host.resetPeriodicTimer();
  advance(800s);
  data(*records.back(), msg(1));
  EXPECT_EQ(host.listingRequests, 0);
  advance(800s);  // 1600 s: the original 900 s tick did not come
  EXPECT_EQ(host.listingRequests, 0);
  EXPECT_FALSE(host.tenMinutes);
  advance(100s);
  EXPECT_EQ(host.listingRequests, 1);
  EXPECT_TRUE(host.tenMinutes);
}

TEST_F(PushHandlerTest, PeriodicTickRenewsTheSubscriptionAndListsUnlessListing) {
  handler->setEnableListeningNotifications(true);
  host.resetPeriodicTimer();
  host.listingRunning = true;
  advance(900s);
  EXPECT_EQ(host.listingRequests, 0);
  EXPECT_EQ(subscribes(), 1);
  advance(1s);
  EXPECT_EQ(subscribes(), 2);
  host.listingRunning = false;
  advance(900s);
  EXPECT_EQ(host.listingRequests, 1);
}

TEST_F(PushHandlerTest, AccountEvents) {
  handler->setEnableListeningNotifications(true);
  data(*records.back(), msg(1201));
  EXPECT_EQ(host.calls, (std::vector<std::string>{"tooltip:T1018", "notify:N1023",
                                                  "ipc507:The account has been cancelled", "removeLogin"}));
  EXPECT_EQ(host.listingRequests, 1);
  host.calls.clear();
  data(*records.back(), msg(1205));
  EXPECT_EQ(host.calls, (std::vector<std::string>{"quota:NO", "queryMainDB"}));
  EXPECT_EQ(host.listingRequests, 2);
  host.calls.clear();
  PropertyList unlink = msg(1203);
  unlink.set("path", "MID");
  data(*records.back(), unlink);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"tooltip:T1019", "notify:N1022",
                                                  "ipc501:This computer is no longer linked to Sync",
                                                  "ipc507:Device is in Unlinked State"}));
}

TEST_F(PushHandlerTest, PausedMessagesAreRememberedAndUnlinkedOnesIgnored) {
  handler->setEnableListeningNotifications(true);
  host.gate = 1;
  data(*records.back(), msg(1001));
  EXPECT_EQ(host.listingRequests, 0);
  EXPECT_FALSE(host.duringPause);
  host.gate = 3;
  data(*records.back(), msg(1001));
  EXPECT_EQ(host.listingRequests, 1);
  EXPECT_TRUE(host.duringPause);
}

TEST_F(PushHandlerTest, PostsGoOutLowerCasedAndPostingClientsAreReleased) {
  handler->startPushing("Bob.Smith", PushHandler::kPushRename, "Collective rename success");
  handler->SendPushNotificationOnMainThread({"1003"});  // too short: nothing
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->calls.back(), "push:bob.smith:1005:Collective rename success");
  fail(*records[0], "push");
  EXPECT_TRUE(records[0]->destroyed);
  EXPECT_FALSE(records[0]->destroyedWhileReporting);

  handler->SendPushNotificationOnMainThread({"1003", "Deleted Successfully"});
  EXPECT_EQ(records[1]->calls.back(), "push:bob.smith:1003:Deleted Successfully");
  finish(*records[1], "push");
  EXPECT_TRUE(records[1]->destroyed);
}

TEST_F(PushHandlerTest, ASlowServiceHoldsABoundedNumberOfPosts) {
  for (std::size_t i = 0; i < PushHandler::kMaxPostsInFlight + 5; ++i) handler->startPushing("bob", "1001", "x");
  EXPECT_EQ(records.size(), PushHandler::kMaxPostsInFlight);
  finish(*records.front(), "push");  // one ends: room for one more
  handler->PushDummyNotification();
  EXPECT_EQ(records.size(), PushHandler::kMaxPostsInFlight + 1);
  EXPECT_EQ(records.back()->calls.back(), "dummy:bob.smith");
}

TEST_F(PushHandlerTest, DelayedListingRestartsARunningListing) {
  host.listingRunning = true;
  handler->delayedListingForNotification();
  EXPECT_EQ(host.calls, (std::vector<std::string>{"cancelListing", "listing:1"}));
}

TEST_F(PushHandlerTest, DestroyingTheHandlerDestroysItsClients) {
  handler->setEnableListeningNotifications(true);
  handler->startPushing("bob", "1001", "x");
  handler.reset();
  for (const auto& r : records) EXPECT_TRUE(r->destroyed);
  loop.runUntilIdle();
}

}  // namespace
}  // namespace ulmora
