#include "platform/NetworkReachability.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "WaitUntil.h"
#include "platform/ManualClock.h"

namespace ulmora {
namespace {

TEST(NetworkReachabilityTest, ALoopbackHostOrALocalStorageFolderCountsAndNoHostDoesNot) {
  struct Case {
    const char* host;
    bool reachable;
  } cases[] = {
      {"127.0.0.1", true},
      {"127.0.0.1:8443", true},
      {"localhost", true},
      {"", false},
      {":443", false},
      {"/", true},  // a local storage folder
      {"/no/such/storage/folder", false},
      {"https://127.0.0.1:8443/", true},  // the web service, as its URL starts
      {"storage.invalid", false},        // a name that never resolves
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(ServiceHostReachability::canReach(c.host), c.reachable);
  }
}

TEST(NetworkReachabilityTest, AnyReachableHostIsEnough) {
  struct Case {
    std::vector<std::string> hosts;
    bool reachable;
  } cases[] = {
      {{}, false},
      {{"storage.invalid", ""}, false},
      // The stored storage server is gone; the web service that names the
      // next one is still there.
      {{"storage.invalid", "https://127.0.0.1:8443"}, true},
      {{"/no/such/storage/folder", "127.0.0.1"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.hosts));
    EXPECT_EQ(ServiceHostReachability::canReachAny(c.hosts), c.reachable);
  }
}

TEST(NetworkReachabilityTest, ChangesReachTheLoopAndStopEndsTheWatch) {
  ManualClock clock;
  RunLoop loop(clock);
  std::atomic<int> host{0};  // 0: none, 1: loopback
  ServiceHostReachability watch(clock, [&] {
    return std::vector<std::string>{"storage.invalid", host ? std::string("127.0.0.1") : std::string()};
  });
  std::vector<bool> seen;
  watch.start(loop, [&](bool reachable) { seen.push_back(reachable); });
  const auto waitFor = [&](size_t n) {
    testing::waitUntil(
        [&] {
          loop.runUntilIdle();
          return seen.size() >= n;
        },
        std::chrono::seconds(2), std::chrono::milliseconds(1));
  };
  waitFor(1);
  ASSERT_EQ(seen, std::vector<bool>{false});
  host = 1;
  watch.recheck();
  waitFor(2);
  EXPECT_EQ(seen, (std::vector<bool>{false, true}));
  EXPECT_EQ(watch.isReachable(), true);
  watch.stop();
}

}  // namespace
}  // namespace ulmora
