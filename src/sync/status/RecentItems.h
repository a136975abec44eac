#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "platform/CachedPropertyListFile.h"
#include "platform/PropertyList.h"

namespace ulmora {

// The short lists of recently changed items the status monitor shows.
//
// The recent-items file holds at most kMaxItems {"filename", "operation"}
// dictionaries, newest first; the in-memory list of server renames and
// deletions holds at most kMaxItems {"filename", "optype"} entries, oldest
// first, and is reported after each processed listing together with the
// files restored from the local cache.
//
// Every finished file writes the recent-items file, so its list is kept in
// memory between writes (read again only when someone else changed the
// file) and written without fsync: a five-entry list lost on a power
// failure costs nothing.
//
// Thread-safety: every method may be called from any thread. The transfer
// callbacks, the rename and delete results and the listing validation all
// report here at once, so the file's read-modify-write runs under one lock
// (two writers could otherwise lose an entry).
class RecentItems {
 public:
  static constexpr std::size_t kMaxItems = 5;
  static constexpr const char* kFileNameKey = "filename";
  static constexpr const char* kOperationKey = "operation";
  static constexpr const char* kOpTypeKey = "optype";

  // Operations written to the file.
  static constexpr const char* kSyncedUp = " - Synced up";
  static constexpr const char* kSyncedDown = " - Synced down";
  static constexpr const char* kRenamed = " - Renamed";
  static constexpr const char* kDeleted = " - Deleted";
  static constexpr const char* kAutoRenamed = " - Auto Renamed";
  static constexpr const char* kAutoDeleted = " - Auto Deleted";

  // Optypes of the progress report.
  static constexpr int kReportRenamed = 3;
  static constexpr int kReportDeleted = 4;
  static constexpr int kReportFromCache = 5;

  // (record, optype, state) for sendDataToMonitor:forOptype:withState:.
  using ReportSink = std::function<void(const PropertyList&, int, int)>;

  explicit RecentItems(std::string recentItemsFile);

  // Puts {"filename", "operation"} at the top of the file. An entry already
  // in the file (same path and operation) leaves the file as it is. An
  // unreadable file counts as empty.
  void setRecentlyModifiedItems(const PropertyList& entry);
  void setRecentlyModifiedItems(const std::string& path, const std::string& operation);
  // The file's entries, newest first (empty when missing or unreadable).
  PropertyList::Array fileEntries() const;

  // Status 1 is a rename, anything else a deletion.
  void storeRecentItem(const std::string& path, int status);
  void addFileUpdatedFromCache(const std::string& path);
  // Empties the list of server renames and deletions.
  void clearItems();
  PropertyList::Array recentItems() const;
  std::vector<std::string> filesUpdatedFromCache() const;

  // Reports renames (optype 3), deletions (4), then the files restored from
  // the cache (5, {"filename", "fileTransferedStatus": "Done"}), all with
  // state 1, and forgets the files restored from the cache. The sink runs
  // outside the lock.
  void sendRecentItemsList(const ReportSink& sink);

 private:
  mutable Mutex fileMu_;  // serialises the file's read-modify-write
  mutable CachedPropertyListFile file_ ULMORA_GUARDED_BY(fileMu_);
  mutable Mutex mu_;
  PropertyList::Array recent_ ULMORA_GUARDED_BY(mu_);
  std::vector<std::string> fromCache_ ULMORA_GUARDED_BY(mu_);
};

}  // namespace ulmora
