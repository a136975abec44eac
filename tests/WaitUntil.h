#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace ulmora::testing {

// Polls `done` every `step` of real time until it holds or `patience` has
// passed, and says whether it held. For what another thread or process
// brings about without telling the test: a condition the test can wait on
// is better waited on directly. `done` is looked at after every pause,
// the last one included.
//
// The one poll loop of the tests; the layers' helpers (eventually,
// pumpUntil, ...) are spelled with it.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds patience,
                      std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace ulmora::testing
