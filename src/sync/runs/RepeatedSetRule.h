#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ulmora {

// Whether a set handed to an engine manager repeats the manager's previous
// set, and what that means for the run. Sets compare as unordered sets.
//
// Thread-safety: a pure function.
struct RepeatedSetDecision {
  bool dispatch = true;   // false: the set keeps repeating; no run
  bool repeated = false;  // the manager's repeated flag (it waits before the run)
  int32_t count = 0;      // the repeat counter after this decision
  std::vector<std::string> traces;
};

// More than this many consecutive repeats stop the set until another arrives.
inline constexpr uint32_t kMaxRepeatedSets = 9;

RepeatedSetDecision decideRepeatedSet(const std::vector<std::string>& previousSet,
                                      const std::vector<std::string>& newSet, int32_t count);

}  // namespace ulmora
