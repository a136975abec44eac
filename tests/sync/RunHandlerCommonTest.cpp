#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "platform/ManualClock.h"
#include "sync/runs/RunHandlerCommon.h"
#include "sync/control/ServiceDiscovery.h"

namespace ulmora {
namespace {

TEST(RunHandlerCommon, OnlyThisAccountsManagersAreHeard) {
  int up = 0, down = 0, other = 0;
  const struct {
    const void* sender;
    RunDirection direction;
  } cases[] = {{&up, RunDirection::kUpload}, {&down, RunDirection::kDownload}, {&other, RunDirection::kOther},
               {nullptr, RunDirection::kOther}};
  for (const auto& c : cases) EXPECT_EQ(directionOf(c.sender, &up, &down), c.direction);
}

TEST(RunHandlerCommon, TextReplacements) {
  EXPECT_EQ(runtext::replaceIgnoringCase("[Full Backup] backup", "Backup", "Sync up"), "[Full Sync up] Sync up");
  EXPECT_EQ(runtext::replaceIgnoringCase("[Incremental Restore]", "Restore", "Sync down"), "[Incremental Sync down]");
  EXPECT_EQ(runtext::withAccountName("u1: no access for u1", "u1", "me@x"), "me@x: no access for me@x");
  EXPECT_EQ(runtext::withAccountName("text", "", "me@x"), "text");
}

struct DiscoveryRig {
  DiscoveryRig()
      : discovery(clock, {[this](const std::string& body) {
                            bodies.push_back(body);
                            return reply;
                          },
                          [] { return std::make_pair(std::string("u s&r"), std::string("p=w")); },
                          [this](const std::string& s) { applied.push_back(s); }}) {}
  ManualClock clock;
  std::optional<std::string> reply;
  std::vector<std::string> bodies;
  std::vector<std::string> applied;
  ServiceDiscovery discovery;
};

TEST(ServiceDiscovery, AtMostOneLookupAnHour) {
  const struct {
    int minutesApart;
    bool second;
  } cases[] = {{0, false}, {59, false}, {60, true}, {61, true}};
  for (const auto& c : cases) {
    DiscoveryRig rig;
    EXPECT_TRUE(rig.discovery.claimSlot());
    rig.clock.advance(std::chrono::minutes(c.minutesApart));
    EXPECT_EQ(rig.discovery.claimSlot(), c.second) << c.minutesApart;
  }
}

TEST(ServiceDiscovery, RepliesThatNameNoServerKeepTheCurrentOne) {
  const struct {
    const char* name;
    std::optional<std::string> reply;
    std::optional<std::string> server;
  } cases[] = {
      {"address", R"(<r message="SUCCESS" cmdUtilityServerIP="10.0.0.2" cmdUtilityServer="s.example"/>)", "10.0.0.2"},
      {"case of SUCCESS", R"(<r message="success" cmdUtilityServerIP="10.0.0.2"/>)", "10.0.0.2"},
      {"one-character address", R"(<r message="SUCCESS" cmdUtilityServerIP="x" cmdUtilityServer="s.example"/>)",
       "s.example"},
      {"empty answer", R"(<r message="SUCCESS" cmdUtilityServerIP="" cmdUtilityServer=""/>)", std::nullopt},
      {"refused", R"(<r message="FAILURE" cmdUtilityServerIP="10.0.0.2"/>)", std::nullopt},
      {"garbage", "not xml <<", std::nullopt},
      {"no reply", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    DiscoveryRig rig;
    rig.reply = c.reply;
    EXPECT_EQ(rig.discovery.lookUp(), c.server) << c.name;
    EXPECT_EQ(rig.applied.size(), c.server ? 1u : 0u) << c.name;
    ASSERT_EQ(rig.bodies.size(), 1u);
    EXPECT_EQ(rig.bodies[0], "uid=u%20s%26r&pwd=p%3Dw") << c.name;
  }
}

TEST(ServiceDiscovery, LookupRunsOnItsOwnThreadAndStopWaitsForIt) {
  ManualClock clock;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::thread::id caller = std::this_thread::get_id(), lookupThread;
  std::vector<std::string> applied;
  ServiceDiscovery discovery(clock, {[&](const std::string&) -> std::optional<std::string> {
                                       lookupThread = std::this_thread::get_id();
                                       released.wait();
                                       return std::string(R"(<r message="SUCCESS" cmdUtilityServerIP="10.0.0.9"/>)");
                                     },
                                     [] { return std::make_pair(std::string("u"), std::string("p")); },
                                     [&](const std::string& s) { applied.push_back(s); }});
  EXPECT_TRUE(discovery.makeScriptCallForObject());
  // The engine's reader is not held while the lookup waits for its answer.
  EXPECT_FALSE(discovery.makeScriptCallForObject());
  release.set_value();
  discovery.stop();
  EXPECT_NE(lookupThread, caller);
  EXPECT_EQ(applied, std::vector<std::string>{"10.0.0.9"});
  clock.advance(std::chrono::hours(2));
  EXPECT_FALSE(discovery.makeScriptCallForObject());
}

}  // namespace
}  // namespace ulmora
