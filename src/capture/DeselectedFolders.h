#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"

namespace ulmora {

// The folders the user left out of the sync (selective sync), as the
// selective-sync property list records them: a dictionary {relative folder
// path: "0" when left out, anything else when kept}. Their items are absent
// from the sync folder on purpose, so no comparison with the local database
// may take that absence for a delete. A missing or unreadable list leaves
// nothing out. The list is read again when its modification time changes,
// looked at no more than once a second.
//
// Thread-safety: contains() may be called from any thread.
class DeselectedFolders {
 public:
  static constexpr Clock::Duration kRecheckInterval = std::chrono::seconds(1);

  DeselectedFolders(std::string listPath, Clock& clock);

  // `relativePath` is a left-out folder or lies below one (whole components).
  bool contains(const std::string& relativePath);

  // The left-out folders of the list at `listPath` (normalised relative
  // paths); nullopt when it is missing or cannot be read.
  static std::optional<std::vector<std::string>> readList(const std::string& listPath);

 private:
  void refresh() ULMORA_REQUIRES(mutex_);

  const std::string listPath_;
  Clock& clock_;
  Mutex mutex_;
  std::optional<Clock::TimePoint> checked_ ULMORA_GUARDED_BY(mutex_);
  std::optional<int64_t> modifiedNs_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::string> folders_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
