#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

namespace ulmora::testing {

// A method that belongs to its object's loop, called the way its owner would.
struct OffLoopCall {
  const char* name;
  std::function<void()> call;
};

// Each call, made from a thread that is not its loop's, must stop the process
// at once (ULMORA_DCHECK_ON_LOOP) instead of racing the loop's own work. Only
// meaningful where the checks are compiled in (!NDEBUG).
inline void expectEachStopsOffItsLoop(const std::vector<OffLoopCall>& calls) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const OffLoopCall& c : calls) {
    EXPECT_DEATH(std::thread(c.call).join(), "not its loop's") << c.name;
  }
}

}  // namespace ulmora::testing
