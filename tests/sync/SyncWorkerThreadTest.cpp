#include "sync/runs/SyncWorkerThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace ulmora {
namespace {

// Waits, with a deadline, for `done` to hold.
template <typename F>
bool within(std::chrono::seconds limit, F done) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

// A body that runs until released.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  void wait() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [this] { return open; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mu);
    open = true;
    cv.notify_all();
  }
};

// Callers on several threads that each test "not running" and start: exactly
// one of them starts a body each time.
TEST(SyncWorkerThreadTest, OfRacingStartsExactlyOneRuns) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<bool> running{false};
    std::atomic<int> bodies{0};
    Gate gate;
    SyncWorkerThread worker(running);
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i) {
      callers.emplace_back([&] {
        while (!go) std::this_thread::yield();
        if (worker.claim()) worker.launch("test worker", [&] {
            ++bodies;
            gate.wait();
          });
      });
    }
    go = true;
    for (std::thread& t : callers) t.join();
    EXPECT_TRUE(running);
    gate.release();
    worker.join();
    EXPECT_EQ(bodies, 1);
    EXPECT_FALSE(running);
  }
}

// A cancel clears the flag while the body still ends: no start happens until
// it has returned, and the start that follows does not wait for it.
TEST(SyncWorkerThreadTest, ACancelledBodyIsNeitherOverlappedNorWaitedFor) {
  std::atomic<bool> running{false};
  Gate gate;
  std::atomic<int> inside{0}, most{0}, bodies{0};
  auto body = [&] {
    most = std::max(most.load(), ++inside);
    ++bodies;
    if (bodies == 1) gate.wait();
    --inside;
  };
  SyncWorkerThread worker(running);
  ASSERT_TRUE(worker.claim());
  worker.launch("test worker", body);
  running = false;  // what a cancel does
  EXPECT_FALSE(worker.claim()) << "the cancelled body has not returned";
  EXPECT_FALSE(running);
  gate.release();
  ASSERT_TRUE(within(std::chrono::seconds(10), [&] { return worker.claim(); }));
  worker.launch("test worker", body);
  worker.join();
  EXPECT_EQ(bodies, 2);
  EXPECT_EQ(most, 1);
  EXPECT_FALSE(running);
}

TEST(SyncWorkerThreadTest, AClaimWithoutWorkIsGivenBack) {
  std::atomic<bool> running{false};
  SyncWorkerThread worker(running);
  ASSERT_TRUE(worker.claim());
  EXPECT_FALSE(worker.claim());
  worker.unclaim();
  EXPECT_FALSE(running);
  EXPECT_TRUE(worker.claim());
  worker.unclaim();
}

}  // namespace
}  // namespace ulmora
