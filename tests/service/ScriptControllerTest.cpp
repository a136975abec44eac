// The account web-service client against the stand-in service.
#include "service/ScriptController.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "fakes/StandInService.h"
#include "WebTestSupport.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::runLoopUntil;
using testing::StandInService;

class Recorder : public ScriptControllerDelegate {
 public:
  explicit Recorder(RunLoop& loop) : loop_(loop) {}
  void didScriptControllerFinishedSuccessfully(const PropertyList& reply,
                                               ScriptController&) override {
    replies.push_back(reply);
    add("reply");
  }
  void connectionError(const std::string& error, ScriptController&) override {
    lastError = error;
    add("connectionError");
  }
  void parsingFailedWithError(const std::string& error, ScriptController&) override {
    lastError = error;
    add("parsingFailed");
  }

  std::vector<std::string> events;
  std::vector<PropertyList> replies;
  std::string lastError;

 private:
  void add(const char* event) {
    events.emplace_back(event);
    loop_.stop();
  }
  RunLoop& loop_;
};

class ScriptControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.start()) << service_.why(); }

  // Runs one account-details request to its end; the reports it made.
  Recorder ask(const std::string& user, const std::string& password,
               ScriptController::Options options) {
    Recorder recorder(loop_);
    options.loop = &loop_;
    if (!options.tls) options.tls = HttpsSettings{service_.caFile(), 10s};
    ScriptController client(options);
    client.setDelegate(&recorder);
    client.getAccountDetails(user, password);
    EXPECT_TRUE(runLoopUntil(loop_, [&] { return !recorder.events.empty(); }));
    EXPECT_TRUE(runLoopUntil(loop_, [&] { return !client.isRunning(); }));
    loop_.runUntilIdle();
    return recorder;
  }

  ScriptController::Options atService() const {
    ScriptController::Options options;
    options.serviceHost = service_.hostAndPort();
    return options;
  }

  RunLoop loop_;
  StandInService service_{ULMORA_SERVICE_PATH};
};

TEST_F(ScriptControllerTest, TheReplyArrivesOnceAsOneDictionary) {
  service_.setPasswords("alice:p&ss=w+rd %\n");
  const Recorder recorder = ask("alice", "p&ss=w+rd %", atService());
  ASSERT_EQ(recorder.events, std::vector<std::string>{"reply"});
  const PropertyList& reply = recorder.replies.front();
  EXPECT_EQ(reply.stringFor("message"), "SUCCESS");
  EXPECT_EQ(reply.stringFor("kvtsrvrip"), testing::resolvedPath(service_.storage()));
  EXPECT_EQ(reply.stringFor("Pnsserver"), service_.hostAndPort());
}

TEST_F(ScriptControllerTest, ARejectedLoginIsAReplyWithTheMessageAlone) {
  service_.setPasswords("alice:right\n");
  const Recorder recorder = ask("alice", "wrong", atService());
  ASSERT_EQ(recorder.events, std::vector<std::string>{"reply"});
  EXPECT_EQ(recorder.replies.front().asDict()->size(), 1u);
}

TEST_F(ScriptControllerTest, FailuresReachTheirOwnReport) {
  struct Case {
    const char* name;
    const char* faults;
    std::function<void(ScriptController::Options&)> adjust;
    const char* event;
  };
  const std::string otherCa = service_.makeOtherAuthority();
  ASSERT_FALSE(otherCa.empty());
  const std::vector<Case> cases = {
      {"a reply that is not XML", "bad-xml\n", [](auto&) {}, "parsingFailed"},
      {"maintenance", "maintenance\n", [](auto&) {}, "connectionError"},
      {"a slow reply", "slow 5\n", [](auto& o) { o.timeout = 1s; }, "connectionError"},
      {"another authority", "", [&](auto& o) { o.tls = HttpsSettings{otherCa, 10s}; },
       "connectionError"},
      {"no host", "", [](auto& o) { o.serviceHost = ""; }, "connectionError"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.setFaults(c.faults);
    ScriptController::Options options = atService();
    c.adjust(options);
    const Recorder recorder = ask("alice", "pw", options);
    EXPECT_EQ(recorder.events, std::vector<std::string>{c.event});
    EXPECT_FALSE(recorder.lastError.empty());
  }
}

}  // namespace
}  // namespace ulmora
