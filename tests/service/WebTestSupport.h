#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "platform/RunLoop.h"

namespace ulmora::testing {

// Runs `loop` until `done()` holds or `timeout` has passed. Work posted to
// the loop wakes it at once; delegates that call loop.stop() after each
// report make the check run right after the report.
inline bool runLoopUntil(RunLoop& loop, const std::function<bool()>& done,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    loop.runFor(std::min<Clock::Duration>(deadline - now, std::chrono::milliseconds(100)));
  }
  return true;
}

// The storage folder as the service reports it (symlinks resolved).
inline std::string resolvedPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

}  // namespace ulmora::testing
