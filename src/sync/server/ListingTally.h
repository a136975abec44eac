#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/ThreadAnnotations.h"

namespace ulmora {

// What one change listing did to the local folder, for its closing summary:
// counts of local deletions, renames and restores from the cache, the last
// of each, and the folders the listing asks to remove.
//
// Thread-safety: every member function locks; the listing worker writes and
// the main thread may read.
class ListingTally {
 public:
  static constexpr std::size_t kRecentRestores = 5;

  struct Rename {
    std::string oldPath;  // full paths
    std::string newPath;
  };

  struct Snapshot {
    int deleted = 0;
    int renamed = 0;
    int updatedFromCache = 0;
    std::string lastDeleted;
    std::optional<Rename> lastRename;
    std::vector<std::string> filesUpdatedFromCache;
    bool cacheFileMoved = false;
  };

  // The per-listing counters go back to 0 (the listing's start).
  void resetCounters() {
    MutexLock lock(mu_);
    s_.deleted = s_.renamed = s_.updatedFromCache = 0;
  }
  void countDeletion(const std::string& fullPath) {
    MutexLock lock(mu_);
    ++s_.deleted;
    s_.lastDeleted = fullPath;
  }
  void countRename(const std::string& oldFull, const std::string& newFull) {
    MutexLock lock(mu_);
    ++s_.renamed;
    s_.lastRename = Rename{oldFull, newFull};
  }
  // A rename that was not counted still names the last rename.
  void noteRename(const std::string& oldFull, const std::string& newFull) {
    MutexLock lock(mu_);
    s_.lastRename = Rename{oldFull, newFull};
  }
  void countRestoreFromCache(const std::string& fullPath) {
    MutexLock lock(mu_);
    if (s_.filesUpdatedFromCache.size() >= kRecentRestores)
      s_.filesUpdatedFromCache.erase(s_.filesUpdatedFromCache.begin());
    s_.filesUpdatedFromCache.push_back(fullPath);
    ++s_.updatedFromCache;
  }
  void markCacheFileMoved() {
    MutexLock lock(mu_);
    s_.cacheFileMoved = true;
  }
  void addFolderToDelete(const std::string& relativePath) {
    MutexLock lock(mu_);
    deleteFolders_.insert(relativePath);
  }

  Snapshot snapshot() const {
    MutexLock lock(mu_);
    return s_;
  }
  // The summary consumed: last names emptied, update count zeroed, the
  // cache flag answered and cleared.
  Snapshot takeSummary() {
    MutexLock lock(mu_);
    Snapshot out = s_;
    s_.lastDeleted.clear();
    s_.lastRename.reset();
    s_.updatedFromCache = 0;
    s_.cacheFileMoved = false;
    return out;
  }
  std::vector<std::string> takeRestoredFiles() {
    MutexLock lock(mu_);
    return std::exchange(s_.filesUpdatedFromCache, {});
  }
  std::set<std::string> takeFoldersToDelete() {
    MutexLock lock(mu_);
    return std::exchange(deleteFolders_, {});
  }

 private:
  mutable Mutex mu_;
  Snapshot s_ ULMORA_GUARDED_BY(mu_);
  std::set<std::string> deleteFolders_ ULMORA_GUARDED_BY(mu_);
};

}  // namespace ulmora
