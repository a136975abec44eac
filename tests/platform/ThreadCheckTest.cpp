#include "platform/ThreadCheck.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <optional>
#include <thread>

#include "platform/ManualClock.h"
#include "platform/RunLoop.h"

namespace ulmora {
namespace {

// Whether `loop` is current on a thread of its own.
bool currentOnAnotherThread(const RunLoop& loop) {
  return std::async(std::launch::async, [&] { return loop.isCurrent(); }).get();
}

TEST(ThreadCheckTest, ALoopIsCurrentOnlyOnItsOwnThread) {
  ManualClock clock;
  RunLoop loop(clock);
  EXPECT_TRUE(loop.isCurrent()) << "idle, on the thread that made it";
  EXPECT_FALSE(currentOnAnotherThread(loop)) << "idle, on another thread";

  // Run by another thread: current there, and nowhere else meanwhile.
  std::promise<void> entered;
  std::atomic<bool> onRunner{false};
  std::thread runner([&] {
    loop.post([&] {
      onRunner = loop.isCurrent();
      entered.set_value();
    });
    loop.run();
  });
  entered.get_future().wait();
  EXPECT_TRUE(onRunner);
  EXPECT_FALSE(loop.isCurrent()) << "the maker, while another thread runs it";
  loop.stop();
  runner.join();
  EXPECT_FALSE(loop.isCurrent()) << "idle, last run by another thread";

  bool inTask = false;
  loop.post([&] { inTask = loop.isCurrent(); });
  loop.runUntilIdle();
  EXPECT_TRUE(inTask);
  EXPECT_TRUE(loop.isCurrent()) << "idle, last run here";
}

// A handle answers for its loop while the loop lives, on whichever thread
// runs it, and has nothing to say once the loop is gone.
TEST(ThreadCheckTest, AHandleAnswersForItsLoopUntilTheLoopIsGone) {
  ManualClock clock;
  auto loop = std::make_unique<RunLoop>(clock);
  const RunLoop::Handle handle = loop->handle();
  EXPECT_EQ(handle.isCurrent(), std::optional<bool>(true));
  EXPECT_EQ(std::async(std::launch::async, [&] { return handle.isCurrent(); }).get(), std::optional<bool>(false));

  std::optional<bool> inTask;
  std::thread runner([&] {
    loop->post([&] { inTask = handle.isCurrent(); });
    loop->runUntilIdle();
  });
  runner.join();
  EXPECT_EQ(inTask, std::optional<bool>(true));
  EXPECT_EQ(handle.isCurrent(), std::optional<bool>(false)) << "last run by another thread";

  loop.reset();
  EXPECT_EQ(handle.isCurrent(), std::nullopt);
  ULMORA_DCHECK_ON_LOOP(handle);  // gone: nothing to check against
}

TEST(ThreadCheckTest, TheDefaultMainLoopBelongsToTheProcesssMainThread) {
  RunLoop::setMainForTesting(nullptr);
  EXPECT_TRUE(RunLoop::main().isCurrent());
  EXPECT_FALSE(currentOnAnotherThread(RunLoop::main()));
}

#ifndef NDEBUG
// A method that belongs to the loop, reached from another thread, stops the
// process at once with the place of the call.
TEST(ThreadCheckDeathTest, ACallFromAnotherThreadStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ManualClock clock;
  RunLoop loop(clock);
  ULMORA_DCHECK_ON_LOOP(loop);  // its own thread: nothing happens
  EXPECT_DEATH(std::thread([&] { ULMORA_DCHECK_ON_LOOP(loop); }).join(), "not its loop's");
  const RunLoop::Handle handle = loop.handle();
  ULMORA_DCHECK_ON_LOOP(handle);
  EXPECT_DEATH(std::thread([&] { ULMORA_DCHECK_ON_LOOP(handle); }).join(), "not its loop's");
}
#endif

}  // namespace
}  // namespace ulmora
