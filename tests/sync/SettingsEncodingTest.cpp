#include "sync/control/SettingsEncoding.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "OffLoopCalls.h"
#include "TestTempDir.h"
#include "WaitUntil.h"
#include "capture/ExcludedFilesCollections.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

using namespace std::chrono_literals;

class AccountStub final : public SettingsEncodingAccount {
 public:
  void setUlmoraSyncRootPath(const std::string& path) override { roots.push_back(path); }
  void serviceHostMayHaveChanged() override { ++rechecks; }
  std::vector<std::string> roots;
  int rechecks = 0;
};

// The engine as a stand-in: "enc-<secret>", after waiting while `hold` is
// set (a hung engine) unless the encoding is stopped.
struct FakeEngine {
  std::atomic<bool> hold{false};
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};
  SettingsEncoding::Encoder encoder() {
    return [this](const std::string& secret, std::stop_token stop) -> std::optional<std::string> {
      if (secret.empty() || stop.stop_requested()) return std::nullopt;
      ++started;
      while (hold && !stop.stop_requested()) std::this_thread::sleep_for(1ms);
      if (stop.stop_requested()) {
        ++stopped;
        return std::nullopt;
      }
      return "enc-" + secret;
    };
  }
};

struct Fixture {
  testing::TestTempDir dir;
  ManualClock clock;
  RunLoop loop{clock};
  AccountState state;
  ExcludedFilesCollections filters{{dir.path(), "", "", "", nullptr}};
  AccountSettings settings{files(), nullptr, [](const std::string& s) { return s; }};
  AccountStub account;
  FakeEngine engine;
  SettingsEncoding encoding{{settings, state, filters, loop, dir.sub("quota-marker"), engine.encoder(), account}};

  AccountSettings::Files files() const {
    AccountSettings::Files f;
    f.loginDetails = dir.sub("login.plist");
    f.syncFolders = dir.sub("folders.plist");
    return f;
  }
  void writeLogin(const std::string& password, const std::string& plan = "F") const {
    PropertyList(PropertyList::Dict{{"Ulmora username", PropertyList("ann")},
                                    {"UlmoraSync password", PropertyList(password)},
                                    {"Account plan", PropertyList(plan)}})
        .writeFile(files().loginDetails);
  }
  // Runs the loop until the pending values took effect.
  bool settle() {
    return testing::waitUntil(
        [this] {
          loop.runUntilIdle();
          return !encoding.pending();
        },
        10s, 2ms);
  }
};

// The answer is whether the login details could be read; only a reading
// makes later work wait, and that work runs once the secrets are encoded.
TEST(SettingsEncodingTest, TheAnswerAndWhatWaitsFollowTheLoginDetails) {
  const struct {
    const char* name;
    const char* login;  // nullptr: no file
    bool answer;
  } cases[] = {
      {"no login details", nullptr, false},
      {"not a property list", "garbage", false},
      {"readable login details", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    if (c.login == nullptr) {
    } else if (*c.login == '\0') {
      f.writeLogin("pw");
    } else {
      f.dir.writeFile("login.plist", c.login);
    }
    f.engine.hold = true;
    EXPECT_EQ(f.encoding.setUserData(), c.answer);
    EXPECT_EQ(f.encoding.pending(), c.answer);
    bool ran = false;
    f.encoding.afterSettingsEncoded([&ran] { ran = true; });
    f.loop.runUntilIdle();
    EXPECT_EQ(ran, !c.answer);
    EXPECT_EQ(f.settings.values().gEPassword, "");
    f.engine.hold = false;
    ASSERT_TRUE(f.settle());
    EXPECT_TRUE(ran);
    EXPECT_EQ(f.settings.values().gEPassword, c.answer ? "enc-pw" : "");
  }
}

// What waits runs in the order asked; a task that reads the settings again
// makes the ones after it wait for that reading's secrets.
TEST(SettingsEncodingTest, WaitingWorkKeepsItsOrderAndARereadHoldsTheRest) {
  Fixture f;
  f.writeLogin("one");
  std::vector<std::string> ran;
  ASSERT_TRUE(f.encoding.setUserData());
  f.encoding.afterSettingsEncoded([&] { ran.push_back("a:" + f.settings.values().gEPassword); });
  f.encoding.afterSettingsEncoded([&] {
    ran.push_back("b");
    f.writeLogin("two");
    f.encoding.setUserData();
  });
  f.encoding.afterSettingsEncoded([&] { ran.push_back("c:" + f.settings.values().gEPassword); });
  ASSERT_TRUE(f.settle());
  EXPECT_EQ(ran, (std::vector<std::string>{"a:enc-one", "b", "c:enc-two"}));
}

// A newer reading kills the older one's hung engine; only the newer values
// take effect, once.
TEST(SettingsEncodingTest, ANewerReadingReplacesAHungOne) {
  Fixture f;
  f.engine.hold = true;
  f.writeLogin("one");
  ASSERT_TRUE(f.encoding.setUserData());
  ASSERT_TRUE(testing::waitUntil([&] { return f.engine.started == 1; }, 10s));
  f.writeLogin("two");
  ASSERT_TRUE(f.encoding.setUserData());
  EXPECT_EQ(f.engine.stopped, 1);
  f.engine.hold = false;
  ASSERT_TRUE(f.settle());
  f.loop.runUntilIdle();
  EXPECT_EQ(f.settings.values().gEPassword, "enc-two");
  EXPECT_EQ(f.account.rechecks, 1);
}

// stop() does not wait for a hung engine; nothing of that reading takes
// effect and what waited for it never runs.
TEST(SettingsEncodingTest, StopKillsAHungEncodingAndDropsItsEffects) {
  Fixture f;
  f.engine.hold = true;
  f.writeLogin("one");
  ASSERT_TRUE(f.encoding.setUserData());
  bool ran = false;
  f.encoding.afterSettingsEncoded([&ran] { ran = true; });
  ASSERT_TRUE(testing::waitUntil([&] { return f.engine.started == 1; }, 10s));
  const auto before = std::chrono::steady_clock::now();
  f.encoding.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  f.engine.hold = false;
  f.loop.runUntilIdle();
  EXPECT_FALSE(ran);
  EXPECT_EQ(f.settings.values().gEPassword, "");
  EXPECT_EQ(f.account.rechecks, 0);
  // A reading after the stop starts no engine.
  EXPECT_TRUE(f.encoding.setUserData());
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(f.engine.started, 1);
}

// Dropped work does not run when the values arrive.
TEST(SettingsEncodingTest, DroppedWorkNeverRuns) {
  Fixture f;
  f.writeLogin("one");
  ASSERT_TRUE(f.encoding.setUserData());
  bool ran = false;
  f.encoding.afterSettingsEncoded([&ran] { ran = true; });
  f.encoding.dropWaiting();
  ASSERT_TRUE(f.settle());
  EXPECT_FALSE(ran);
  EXPECT_EQ(f.settings.values().gEPassword, "enc-one");
}

// What the values change elsewhere: the plan, the over-quota marker (which a
// business plan has no use for), the root, the reachability check.
TEST(SettingsEncodingTest, TheValuesReachThePlanTheMarkerAndTheRoot) {
  const struct {
    const char* plan;
    bool business;
  } cases[] = {{"F", false}, {"B", true}, {"", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("plan \"") + c.plan + "\"");
    Fixture f;
    f.writeLogin("pw", c.plan);
    const std::string root = f.dir.sub("Sync");
    PropertyList(PropertyList::Dict{{"ann", PropertyList(root)}}).writeFile(f.files().syncFolders);
    f.dir.writeFile("quota-marker", "over");
    ASSERT_TRUE(f.encoding.setUserData());
    EXPECT_TRUE(f.account.roots.empty());  // nothing before the secrets
    ASSERT_TRUE(f.settle());
    EXPECT_EQ(f.state.cycle.mIsBusinessUser, c.business);
    EXPECT_EQ(fileutil::exists(f.dir.sub("quota-marker")), !c.business);
    EXPECT_EQ(f.account.roots, std::vector<std::string>{root});
    EXPECT_EQ(f.account.rechecks, 1);
  }
}

#ifndef NDEBUG
TEST(SettingsEncodingDeathTest, MainLoopMethodsStopOffTheirLoop) {
  Fixture f;
  testing::expectEachStopsOffItsLoop({
      {"setUserData", [&f] { f.encoding.setUserData(); }},
      {"pending", [&f] { (void)f.encoding.pending(); }},
      {"afterSettingsEncoded", [&f] { f.encoding.afterSettingsEncoded([] {}); }},
      {"dropWaiting", [&f] { f.encoding.dropWaiting(); }},
  });
}
#endif

}  // namespace
}  // namespace ulmora
