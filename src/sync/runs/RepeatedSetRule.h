#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"

namespace ulmora {

// The account's repeat counters: each is read and set by its dispatch (the
// cycle, on the main loop) and reset by the end of its engine run (the
// engine's thread). A read and the write that follows it hold the mutex
// throughout, so a run's reset never falls between them.
struct RepeatedSetCounts {
  mutable Mutex mutex;
  int32_t sameBackupSetRepeatedCount ULMORA_GUARDED_BY(mutex) = 0;
  int32_t sameRestoreSetRepeatedCount ULMORA_GUARDED_BY(mutex) = 0;
};

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
