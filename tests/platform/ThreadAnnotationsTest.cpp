#include "platform/ThreadAnnotations.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <ostream>
#include <string>
#include <thread>

namespace ulmora {
namespace {

// Whether another thread finds `mu` held right now.
bool heldElsewhere(Mutex& mu) {
  return std::async(std::launch::async, [&mu] {
           if (!mu.try_lock()) return true;
           mu.unlock();
           return false;
         }).get();
}

struct ScopeCase {
  std::string name;
  // Takes the lock in one of the ways the lock types allow, and reports
  // from inside its scope whether another thread found the mutex held.
  std::function<bool(Mutex&)> heldInside;
};
void PrintTo(const ScopeCase& c, std::ostream* os) { *os << c.name; }

class LockScopeTest : public ::testing::TestWithParam<ScopeCase> {};

TEST_P(LockScopeTest, HeldInsideTheScopeAndFreeAfterIt) {
  Mutex mu;
  EXPECT_TRUE(GetParam().heldInside(mu));
  EXPECT_FALSE(heldElsewhere(mu)) << "left held after the scope";
}

INSTANTIATE_TEST_SUITE_P(
    ThreadAnnotations, LockScopeTest,
    ::testing::Values(
        ScopeCase{"MutexLock",
                  [](Mutex& mu) {
                    MutexLock hold(mu);
                    return heldElsewhere(mu);
                  }},
        ScopeCase{"AdoptedAfterTryLock",
                  [](Mutex& mu) {
                    if (!mu.try_lock()) return false;
                    MutexLock hold(mu, std::adopt_lock);
                    return heldElsewhere(mu);
                  }},
        ScopeCase{"UniqueLetGoAndTakenAgain",
                  [](Mutex& mu) {
                    UniqueMutexLock hold(mu);
                    if (!heldElsewhere(mu)) return false;
                    hold.unlock();
                    if (heldElsewhere(mu)) return false;
                    hold.lock();
                    return heldElsewhere(mu);
                  }},
        ScopeCase{"UniqueLetGoAtTheEnd",
                  [](Mutex& mu) {
                    UniqueMutexLock hold(mu);
                    const bool held = heldElsewhere(mu);
                    hold.unlock();  // the destructor must not unlock again
                    return held;
                  }}),
    [](const auto& info) { return info.param.name; });

TEST(ThreadAnnotationsTest, TryLockFailsWhileAnotherThreadHoldsTheMutex) {
  Mutex mu;
  MutexLock hold(mu);
  EXPECT_FALSE(std::async(std::launch::async, [&mu] {
                 if (!mu.try_lock()) return false;
                 mu.unlock();
                 return true;
               }).get());
}

// A waiter on the native lock sees what another thread wrote under the
// annotated one.
TEST(ThreadAnnotationsTest, AConditionWaitThroughTheNativeLockSeesTheGuardedWrite) {
  struct Box {
    Mutex mu;
    std::condition_variable cv;
    int value ULMORA_GUARDED_BY(mu) = 0;
  } box;
  std::thread writer([&box] {
    MutexLock hold(box.mu);
    box.value = 7;
    box.cv.notify_all();
  });
  int seen = 0;
  {
    UniqueMutexLock hold(box.mu);
    ASSERT_TRUE(box.cv.wait_for(hold.native(), std::chrono::seconds(30),
                                [&box]() ULMORA_REQUIRES(box.mu) { return box.value != 0; }));
    seen = box.value;
  }
  writer.join();
  EXPECT_EQ(seen, 7);
}

}  // namespace
}  // namespace ulmora
