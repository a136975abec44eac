#include "sync/control/AccountReachability.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "OffLoopCalls.h"
#include "TestTempDir.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

// A watcher whose answers the test gives.
class Watcher final : public NetworkReachability {
 public:
  explicit Watcher(std::optional<bool> first) : first_(first) {}
  std::optional<bool> isReachable() override { return first_; }
  void start(RunLoop& loop, ChangeHandler handler) override {
    loop_ = loop.handle();
    handler_ = std::move(handler);
  }
  void stop() override { ++stops; }
  void recheck() override { ++rechecks; }
  // A change as the watcher's thread reports it: on the loop.
  void report(bool reachable) { loop_->post([h = handler_, reachable] { h(reachable); }); }
  int stops = 0;
  int rechecks = 0;

 private:
  std::optional<bool> first_;
  std::optional<RunLoop::Handle> loop_;
  ChangeHandler handler_;
};

class HostStub final : public AccountReachabilityHost {
 public:
  void networkChanged(bool reachable) override { changes.push_back(reachable); }
  std::vector<bool> changes;
};

struct Fixture {
  explicit Fixture(std::optional<bool> first) : first(first) {}
  std::optional<bool> first;
  testing::TestTempDir dir;
  ManualClock clock;
  RunLoop loop{clock};
  AccountState state;
  AccountSettings settings{AccountSettings::Files{}, nullptr, nullptr};
  HostStub host;
  Watcher* watcher = nullptr;
  AccountReachability reachability{{clock, loop, state, settings,
                                    [this] {
                                      auto w = std::make_unique<Watcher>(first);
                                      watcher = w.get();
                                      return w;
                                    },
                                    host}};
  bool refreshSS() {
    MutexLock hold(state.control.shared.mutex);
    return state.control.shared.refreshSS;
  }
};

// The first answer holds from construction on (an unknown state counts as
// no network), and each reported change reaches the flag before the host.
// A loss marks the selective-sync list to be applied again; a return does
// not clear that.
TEST(AccountReachabilityTest, TheFlagFollowsTheFirstAnswerAndEveryChange) {
  const struct {
    const char* name;
    std::optional<bool> first;
    bool available;
  } cases[] = {{"reachable", true, true}, {"unreachable", false, false}, {"unknown", std::nullopt, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(c.first);
    EXPECT_EQ(f.reachability.isNWAvailable(), c.available);
    EXPECT_FALSE(f.refreshSS());
    f.watcher->report(false);
    f.loop.runUntilIdle();
    EXPECT_FALSE(f.reachability.isNWAvailable());
    EXPECT_TRUE(f.refreshSS());
    f.watcher->report(true);
    f.loop.runUntilIdle();
    EXPECT_TRUE(f.reachability.isNWAvailable());
    EXPECT_TRUE(f.refreshSS());
    EXPECT_EQ(f.host.changes, (std::vector<bool>{false, true}));
  }
}

// After stop() a report already on its way changes nothing, and the
// watcher's thread is stopped.
TEST(AccountReachabilityTest, StopEndsTheReports) {
  Fixture f(true);
  f.reachability.recheck();
  EXPECT_EQ(f.watcher->rechecks, 1);
  f.watcher->report(false);
  f.reachability.stop();
  f.loop.runUntilIdle();
  EXPECT_TRUE(f.reachability.isNWAvailable());
  EXPECT_TRUE(f.host.changes.empty());
  EXPECT_GE(f.watcher->stops, 1);
}

#ifndef NDEBUG
TEST(AccountReachabilityDeathTest, RecheckIsTheMainLoops) {
  Fixture f(true);
  testing::expectEachStopsOffItsLoop({{"recheck", [&f] { f.reachability.recheck(); }}});
}
#endif

}  // namespace
}  // namespace ulmora
