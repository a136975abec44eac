#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"

namespace ulmora {

// Names for journal and batch-database files: the local time as
// "yyyy-MM-dd HH-mm-ss-SSS". Within one generator the names strictly
// increase: when the clock repeats a millisecond or steps back, the next name
// is one millisecond after the last one given.
//
// Every journal and batch writer of the process takes its names from
// `shared()`, so no two writers ever produce the same name.
//
// Thread-safety: next() may be called from any thread.
class JournalStampGenerator {
 public:
  explicit JournalStampGenerator(Clock& clock);
  static JournalStampGenerator& shared();  // on the system clock

  std::string next();

  // Every later name sorts after `stamp`: a name already in a journal folder,
  // written by an earlier run perhaps an hour "later" in local time (before
  // the clock fell back at the end of daylight saving time), must never be
  // read after a newer change. Text that is not a stamp is ignored.
  void keepAbove(std::string_view stamp);

  // Formats a wall time (local time zone) the same way.
  static std::string format(Clock::WallTime t);

 private:
  Clock& clock_;
  Mutex mutex_;
  int64_t lastMillis_ ULMORA_GUARDED_BY(mutex_) = INT64_MIN;
};

}  // namespace ulmora
