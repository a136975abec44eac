// The push client against the stand-in service.
#include "service/KVTNotificationController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fakes/StandInService.h"
#include "WebTestSupport.h"
#include "platform/ManualClock.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::runLoopUntil;
using testing::StandInService;

// Records every report as a short event text; runs on the test's loop.
class Recorder : public KVTNotificationHandlerProtocol {
 public:
  explicit Recorder(RunLoop& loop) : loop_(loop) {}

  void connectionDidStart(KVTNotificationController&) override { add("start"); }
  void connectionDidReceiveDataForAction(KVTNotificationController&, const PropertyList& data,
                                         const std::string& action) override {
    messages.push_back(data);
    add("data:" + action);
  }
  void connectionDidFinishSuccessfullyForAction(KVTNotificationController& client,
                                                const std::string& action) override {
    add("finish:" + action);
    if (onEnd) onEnd(client);
  }
  void connectionDidFailWithErrorsForAction(KVTNotificationController& client,
                                            const std::string& error,
                                            const std::string& action) override {
    lastError = error;
    add("fail:" + action);
    if (onEnd) onEnd(client);
  }

  bool saw(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
  }
  std::size_t count(const std::string& event) const {
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
  }

  std::vector<std::string> events;
  std::vector<PropertyList> messages;
  std::string lastError;
  std::function<void(KVTNotificationController&)> onEnd;

 private:
  void add(std::string event) {
    events.push_back(std::move(event));
    loop_.stop();  // lets runLoopUntil look at once
  }
  RunLoop& loop_;
};

class KVTNotificationControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.start()) << service_.why(); }

  std::unique_ptr<KVTNotificationController> client(Recorder& delegate,
                                                    const std::string& machine,
                                                    Clock* clock = nullptr, int attempts = 0) {
    KVTNotificationController::Options options;
    options.loop = &loop_;
    options.clock = clock;
    options.tls = HttpsSettings{service_.caFile(), 10s};
    options.machineName = machine;
    options.pushAttempts = attempts;
    auto made = std::make_unique<KVTNotificationController>(options);
    made->setDelegate(&delegate);
    made->setURLString(service_.url("/pns/broadcast"));
    return made;
  }

  // Posts one message from a client of its own and waits for its end.
  void push(const std::string& topic, const std::string& id, const std::string& path) {
    Recorder poster(loop_);
    auto sender = client(poster, "mac-b");
    ASSERT_TRUE(sender->pushNotification(topic, id, path));
    ASSERT_TRUE(runLoopUntil(loop_, [&] { return poster.saw("finish:push"); }))
        << poster.lastError;
    EXPECT_FALSE(poster.saw("fail:push"));
  }

  // A subscribed client for `topic`, its subscription registered.
  std::unique_ptr<KVTNotificationController> listen(Recorder& listener, const std::string& topic) {
    auto made = client(listener, "mac-a");
    EXPECT_TRUE(made->startListening(topic));
    EXPECT_TRUE(runLoopUntil(loop_, [&] { return listener.saw("start"); })) << listener.lastError;
    return made;
  }

  RunLoop loop_;
  StandInService service_{ULMORA_SERVICE_PATH};
};

TEST_F(KVTNotificationControllerTest, PushesFromAnotherClientReachTheSubscriber) {
  Recorder listener(loop_);
  auto subscriber = listen(listener, "Alice");

  push("bob", "1001", "/not/for/alice");
  const std::vector<std::pair<std::string, std::string>> sent = {
      {"1001", "/Docs/a&b=c.txt"},
      {"1005", "/100% sure+plus.txt"},
      {"1008", "/\xC3\x9Cnicode dir/"},
  };
  for (const auto& [id, path] : sent) push("ALICE", id, path);

  ASSERT_TRUE(runLoopUntil(loop_, [&] { return listener.messages.size() >= sent.size(); }));
  ASSERT_EQ(listener.messages.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(i);
    const PropertyList& message = listener.messages[i];
    EXPECT_EQ(message.stringFor("Id"), sent[i].first);
    EXPECT_EQ(message.stringFor("Path"), sent[i].second);
    EXPECT_EQ(message.stringFor("UID"), "mac-b");
    EXPECT_EQ(message.stringFor("TOPIC"), "alice");
    EXPECT_EQ(message.find("id")->integerValue(), std::stoll(sent[i].first));
  }
  EXPECT_EQ(listener.count("data:subscribe"), sent.size());

  subscriber->stopRequest();
  ASSERT_TRUE(runLoopUntil(loop_, [&] { return listener.saw("finish:subscribe"); }));
  EXPECT_FALSE(listener.saw("fail:subscribe"));
}

TEST_F(KVTNotificationControllerTest, TheDummyMessageNamesTheMachine) {
  Recorder listener(loop_);
  auto subscriber = listen(listener, "carol");
  Recorder poster(loop_);
  auto sender = client(poster, "mac-b");
  ASSERT_TRUE(sender->PushDummyNotificationForUser("Carol"));
  ASSERT_TRUE(runLoopUntil(loop_, [&] { return !listener.messages.empty(); }));
  const PropertyList& dummy = listener.messages.front();
  EXPECT_EQ(dummy.stringFor("Id"), "1");
  EXPECT_EQ(dummy.stringFor("UID"), "mac-b_Dummy");
  EXPECT_EQ(dummy.stringFor("Path"), "Dummy_PNS");
  EXPECT_EQ(dummy.stringFor("TOPIC"), "carol");
}

TEST_F(KVTNotificationControllerTest, APollThatEndsAtOnceIsReportedAsFinished) {
  service_.setFaults("poll-ends-at-once\n");
  Recorder listener(loop_);
  auto subscriber = client(listener, "mac-a");
  ASSERT_TRUE(subscriber->startListening("alice"));
  ASSERT_TRUE(runLoopUntil(loop_, [&] { return listener.saw("finish:subscribe"); }));
  EXPECT_EQ(listener.events, (std::vector<std::string>{"start", "finish:subscribe"}));
}

TEST_F(KVTNotificationControllerTest, SubscriptionsThatCannotBeServedFail) {
  struct Case {
    const char* name;
    std::function<void(KVTNotificationController&)> prepare;
  };
  const std::string otherCa = service_.makeOtherAuthority();
  ASSERT_FALSE(otherCa.empty());
  const std::vector<Case> cases = {
      {"a certificate from another authority",
       [&](KVTNotificationController&) {}},
      {"maintenance", [&](KVTNotificationController&) { service_.setFaults("maintenance\n"); }},
      {"no URL", [&](KVTNotificationController& c) { c.setURLString(""); }},
      {"a plain HTTP URL",
       [&](KVTNotificationController& c) {
         c.setURLString("http://" + service_.hostAndPort() + "/pns/broadcast");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.setFaults("");
    Recorder listener(loop_);
    KVTNotificationController::Options options;
    options.loop = &loop_;
    options.machineName = "mac-a";
    options.tls = HttpsSettings{std::string(c.name).starts_with("a certificate") ? otherCa
                                                                                 : service_.caFile(),
                                10s};
    KVTNotificationController subscriber(options);
    subscriber.setDelegate(&listener);
    subscriber.setURLString(service_.url("/pns/broadcast"));
    c.prepare(subscriber);
    subscriber.startListening("alice");
    ASSERT_TRUE(runLoopUntil(loop_, [&] { return listener.saw("fail:subscribe"); }));
    // A refused poll was never open: its owner must not take it for one.
    EXPECT_FALSE(listener.saw("start"));
    EXPECT_FALSE(listener.saw("finish:subscribe"));
    EXPECT_TRUE(listener.messages.empty());
    EXPECT_FALSE(listener.lastError.empty());
  }
}

TEST_F(KVTNotificationControllerTest, AFailedPushIsSentAgainAfterThirtySeconds) {
  Recorder listener(loop_);
  Recorder poster(loop_);
  ManualClock clock;
  service_.setFaults("refuse\n");
  ASSERT_TRUE(service_.waitUntilRefusing(true));
  auto sender = client(poster, "mac-b", &clock);
  ASSERT_TRUE(sender->pushNotification("alice", "1003", "/gone.txt"));

  // The first attempt failed; the client now waits on the clock.
  ASSERT_TRUE(clock.awaitBlockedThreads(1, std::chrono::milliseconds(20000)));
  service_.setFaults("");
  ASSERT_TRUE(service_.waitUntilRefusing(false));
  auto subscriber = listen(listener, "alice");
  clock.advance(29s);
  ASSERT_TRUE(clock.awaitBlockedThreads(1, std::chrono::milliseconds(20000)));
  loop_.runUntilIdle();
  EXPECT_TRUE(poster.events.empty());

  clock.advance(1s);
  ASSERT_TRUE(runLoopUntil(loop_, [&] { return poster.saw("finish:push"); }));
  ASSERT_TRUE(runLoopUntil(loop_, [&] { return !listener.messages.empty(); }));
  EXPECT_EQ(listener.messages.front().stringFor("Path"), "/gone.txt");
  EXPECT_EQ(poster.events, std::vector<std::string>{"finish:push"});
}

TEST_F(KVTNotificationControllerTest, APushIsSentAgainUntilTheServiceTakesItOrRefusesIt) {
  struct Case {
    const char* name;
    const char* fault;     // while the first `failedRounds` attempts run
    int attempts;          // the client's bound; 0: none
    int failedRounds;      // re-send waits spent with the fault on
    std::string path;
    bool delivered;
  };
  const std::vector<Case> cases = {
      {"refused connections, longer than a few attempts", "refuse\n", 0, 6, "/a", true},
      {"maintenance, longer than a few attempts", "maintenance\n", 0, 6, "/b", true},
      {"a bound, when one is set, still ends it", "refuse\n", 3, 2, "/c", false},
      // Too large for the service: answered 400 at once, never re-sent.
      {"a message the service refuses", "", 0, 0, "/" + std::string(70 * 1024, 'x'), false},
  };
  // The refusal is settled before the test goes on.
  bool refusing = false;
  auto setFault = [&](const std::string& fault) {
    service_.setFaults(fault);
    const bool refuse = fault == "refuse\n";
    if (refuse != refusing) {
      EXPECT_TRUE(service_.waitUntilRefusing(refuse));
    }
    refusing = refuse;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder listener(loop_);
    auto subscriber = listen(listener, "alice");
    Recorder poster(loop_);
    ManualClock clock;
    setFault(c.fault);
    auto sender = client(poster, "mac-b", &clock, c.attempts);
    ASSERT_TRUE(sender->pushNotification("alice", "1001", c.path));
    for (int round = 0; round < c.failedRounds; ++round) {
      ASSERT_TRUE(clock.awaitBlockedThreads(1, std::chrono::milliseconds(20000))) << round;
      clock.advance(30s);
    }
    if (!c.delivered) {
      ASSERT_TRUE(runLoopUntil(loop_, [&] { return poster.saw("fail:push"); }));
      EXPECT_EQ(poster.events, std::vector<std::string>{"fail:push"});
      EXPECT_TRUE(runLoopUntil(loop_, [&] { return !sender->isRunning(); }));
      setFault("");
      continue;
    }
    ASSERT_TRUE(clock.awaitBlockedThreads(1, std::chrono::milliseconds(20000)));
    setFault("");
    // A refusal ends the open poll: the message goes to a new one.
    Recorder again(loop_);
    auto resubscribed = listen(again, "alice");
    clock.advance(30s);
    ASSERT_TRUE(runLoopUntil(loop_, [&] { return poster.saw("finish:push"); }));
    ASSERT_TRUE(runLoopUntil(loop_, [&] { return !again.messages.empty(); }));
    EXPECT_EQ(again.messages.back().stringFor("Path"), c.path);
    EXPECT_EQ(poster.events, std::vector<std::string>{"finish:push"});
  }
}

TEST_F(KVTNotificationControllerTest, AClientMayBeReleasedFromItsOwnEndReport) {
  Recorder listener(loop_);
  std::unique_ptr<KVTNotificationController> subscriber = listen(listener, "alice");
  listener.onEnd = [&](KVTNotificationController& ended) {
    EXPECT_EQ(&ended, subscriber.get());
    subscriber.reset();
  };
  subscriber->stopRequest();
  ASSERT_TRUE(runLoopUntil(loop_, [&] { return subscriber == nullptr; }));
  loop_.runUntilIdle();
  EXPECT_EQ(listener.events, (std::vector<std::string>{"start", "finish:subscribe"}));
}

TEST_F(KVTNotificationControllerTest, DestroyingASubscribedClientEndsItQuietly) {
  Recorder listener(loop_);
  auto subscriber = listen(listener, "alice");
  const auto before = std::chrono::steady_clock::now();
  subscriber.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  push("alice", "1001", "/after");
  loop_.runUntilIdle();
  EXPECT_EQ(listener.events, std::vector<std::string>{"start"});
}

TEST_F(KVTNotificationControllerTest, OneRequestAtATimePerClient) {
  Recorder listener(loop_);
  auto subscriber = listen(listener, "alice");
  EXPECT_FALSE(subscriber->startListening("alice"));
  EXPECT_FALSE(subscriber->pushNotification("alice", "1", "/x"));
  EXPECT_TRUE(subscriber->isRunning());
}

}  // namespace
}  // namespace ulmora
