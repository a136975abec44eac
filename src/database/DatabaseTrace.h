#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/ThreadAnnotations.h"

namespace ulmora {

// Writes one line to the daemon trace (flushed at once).
void databaseTrace(std::string_view message);

// Traces a failure the first time it is seen and again only after it
// changed, so a damaged database polled every few seconds, or asked about
// every file of the sync root, leaves one line rather than thousands.
//
// Thread-safety: report() and clear() may be called from any thread.
class RepeatedFailureTrace {
 public:
  void report(const std::string& message);
  // The failure is over; the next one is traced again.
  void clear();

 private:
  Mutex mutex_;
  std::string last_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
