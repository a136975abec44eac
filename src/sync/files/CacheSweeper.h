#pragma once

#include "platform/Clock.h"
#include "platform/RunLoop.h"

namespace ulmora {

class SyncRootFiles;
class UserDefaults;

// The weekly sweep of the account's cache folder (cachesweep's rule) and the
// date of the last one, kept in the agent's defaults ("CACHE_CLEARED_DATE").
// Every removal goes through SyncRootFiles: nothing outside the cache
// folder, no link followed.
//
// Thread-safety: main loop only (checked).
class CacheSweeper {
 public:
  static constexpr const char* kCacheClearedDateKey = "CACHE_CLEARED_DATE";

  CacheSweeper(const SyncRootFiles& files, UserDefaults& defaults, Clock& clock, RunLoop& mainLoop);

  // Sweeps when the last sweep is a week or more (whole days) behind; with
  // no date stored, nothing happens here (the first sweep stores one).
  void checkCacheClearanceforSevenDays();
  // Sweeps now; the date is stored when something went, or when none is
  // stored yet.
  void deleteCachedFiles();

 private:
  void storeCacheClearedDate();

  const SyncRootFiles& files_;
  UserDefaults& defaults_;
  Clock& clock_;
  RunLoop& mainLoop_;
};

}  // namespace ulmora
