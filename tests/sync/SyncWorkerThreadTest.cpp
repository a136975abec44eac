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

constexpr SyncWorkerThread::Flag kFlag = &WorkerRunningFlags::createDirRunning;

void setRunning(WorkerRunningFlags& flags, bool value) {
  MutexLock hold(flags.mutex);
  flags.createDirRunning = value;
}

// Callers on several threads that each test "not running" and start: exactly
// one of them starts a body each time.
TEST(SyncWorkerThreadTest, OfRacingStartsExactlyOneRuns) {
  for (int round = 0; round < 50; ++round) {
    WorkerRunningFlags flags;
    std::atomic<int> bodies{0};
    Gate gate;
    SyncWorkerThread worker(flags, kFlag);
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
    EXPECT_TRUE(worker.isRunning());
    gate.release();
    worker.join();
    EXPECT_EQ(bodies, 1);
    EXPECT_FALSE(worker.isRunning());
  }
}

// A cancel clears the flag while the body still ends: no start happens until
// it has returned, and the start that follows does not wait for it.
TEST(SyncWorkerThreadTest, ACancelledBodyIsNeitherOverlappedNorWaitedFor) {
  WorkerRunningFlags flags;
  Gate gate;
  std::atomic<int> inside{0}, most{0}, bodies{0};
  auto body = [&] {
    most = std::max(most.load(), ++inside);
    ++bodies;
    if (bodies == 1) gate.wait();
    --inside;
  };
  SyncWorkerThread worker(flags, kFlag);
  ASSERT_TRUE(worker.claim());
  worker.launch("test worker", body);
  setRunning(flags, false);  // what a cancel does
  EXPECT_FALSE(worker.claim()) << "the cancelled body has not returned";
  EXPECT_FALSE(worker.isRunning());
  gate.release();
  ASSERT_TRUE(within(std::chrono::seconds(10), [&] { return worker.claim(); }));
  worker.launch("test worker", body);
  worker.join();
  EXPECT_EQ(bodies, 2);
  EXPECT_EQ(most, 1);
  EXPECT_FALSE(worker.isRunning());
}

TEST(SyncWorkerThreadTest, AClaimWithoutWorkIsGivenBack) {
  WorkerRunningFlags flags;
  SyncWorkerThread worker(flags, kFlag);
  ASSERT_TRUE(worker.claim());
  EXPECT_FALSE(worker.claim());
  worker.unclaim();
  EXPECT_FALSE(worker.isRunning());
  EXPECT_TRUE(worker.claim());
  worker.unclaim();
}

// The two workers share one mutex but not a flag: one's claim, run and end
// leave the other's flag alone, and a flag set by its owner (the cycle's
// view of a running worker) refuses a claim.
TEST(SyncWorkerThreadTest, TwoWorkersKeepToTheirOwnFlag) {
  WorkerRunningFlags flags;
  SyncWorkerThread renames(flags, &WorkerRunningFlags::ExcuteEventsCapturedrunning);
  SyncWorkerThread folders(flags, &WorkerRunningFlags::createDirRunning);
  Gate gate;
  ASSERT_TRUE(renames.claim());
  renames.launch("renames", [&] { gate.wait(); });
  EXPECT_FALSE(folders.isRunning());
  ASSERT_TRUE(folders.claim());
  folders.unclaim();
  EXPECT_TRUE(renames.isRunning());
  gate.release();
  renames.join();
  EXPECT_FALSE(renames.isRunning());
  setRunning(flags, true);
  EXPECT_FALSE(folders.claim());
  EXPECT_TRUE(renames.claim());
  renames.unclaim();
}

}  // namespace
}  // namespace ulmora
