#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sync/server/LocalCache.h"
#include "sync/server/ServerRoadPorts.h"
#include "sync/files/SyncRootFiles.h"
#include "platform/RunLoop.h"
#include "sync/runs/RepeatedSetRule.h"

namespace ulmora {

// The download instance of the engine manager, as the dispatch drives it.
class DownloadEnginePort {
 public:
  virtual ~DownloadEnginePort() = default;
  virtual bool isRunning() const = 0;
  virtual std::vector<std::string> fileFolderSetForOperation() const = 0;
  virtual void setFileFolderSetForOperation(const std::vector<std::string>& set) = 0;
  virtual void setSplitPoint(int64_t splitPoint) = 0;
  virtual void setSameRestoreSetRepeated(bool repeated) = 0;
  // The account, proxy, work folder and restore mode of the next run.
  virtual void prepareRun() = 0;
  virtual void startRestore() = 0;
  virtual void setCancel(bool cancel) = 0;
  virtual void setFailureCount() = 0;
  virtual void CancelBackupProcess() = 0;
};

// What the dispatch tells the rest of the controller.
class DownloadDispatchHost {
 public:
  virtual ~DownloadDispatchHost() = default;
  // The progress counters of a new download set (zeroed, fresh totals).
  virtual void downloadSetStarting() = 0;
  // The companion's in-sync list of the paths about to arrive.
  virtual void postSyncList(const std::vector<std::string>& fullPaths) = 0;
  // StopRestoreManagerForNewListing: the listing made room for itself.
  virtual void restoreCancelledDuringListing() = 0;
};

// A restore batch split over the engine's two processes.
struct RestoreSplit {
  std::vector<std::string> list;  // the first share, then the second
  int64_t splitPoint = 0;         // length of the first share
};

// splitArraySizeWise: each path, in the batch's order, goes to the lighter
// share; ties (the very first path too) go to the second. Totals are 64-bit.
RestoreSplit splitArraySizeWise(const std::vector<std::pair<std::string, int64_t>>& batch);

// Download dispatch: one engine run per restore batch, the repeated-set
// rule, the questions the listing asks about the running download, and the
// clean-up of half-received files.
//
// Half-received files are judged only when they lie under the sync root,
// and are moved into the cache rather than deleted.
//
// Thread-safety: the dispatch (dispatch, StartRestore) runs on the main loop
// (checked in debug and test builds); the listing's questions hold readLock_
// for their whole duration.
class DownloadDispatcher {
 public:
  struct Paths {
    std::vector<std::string> restoreStatusFiles;  // application files 139-142
    std::string restoreEntries;                   // 118
    std::string restoreJournalFolder;             // 105
    std::string backupEntries;                    // 113
    std::string backupJournalFolder;              // 101
  };

  // `repeatedSets`' download count is shared with the end of a download
  // run, which resets it after failures. `mainLoop`: where the dispatch
  // runs; RunLoop::main() when null.
  DownloadDispatcher(const SyncRootFiles& files, LocalCache& cache, DownloadEnginePort& engine,
                     DownloadDispatchHost& host, SyncQueuePort& queue, CaptureFilterPort& filters,
                     FileStatusPort& status, Paths paths, RepeatedSetCounts& repeatedSets,
                     const RunLoop* mainLoop = nullptr);

  // StartRestore: false when the set was not dispatched.
  bool StartRestore(const RestoreSplit& split);
  // The batch as the journal gives it ({path: size}) dispatched.
  bool dispatch(const std::map<std::string, std::string>& batch);
  int sameRestoreSetRepeatedCount() const {
    MutexLock hold(repeatedSets_.mutex);
    return repeatedSets_.sameRestoreSetRepeatedCount;
  }

  void deleteHalfRestoredFiles();
  void ClearRestoreRelatedFileEntries();
  void ClearBackupRelatedFileEntries();

  bool checkFileisUnderRestoreSet(const std::string& relativePath);
  bool checkRefIDExistInDatabase(const std::string& refId, const std::string& relativePath);
  bool isrestorManagerRunning() const { return engine_.isRunning(); }
  void StopRestoreManagerForNewListing();
  // A change-listing record (operation "3" or "4") that moves a file the
  // running download holds (its former name, or the other local name the
  // database records for its reference id): that download stops, and the
  // listing is run again rather than moving its index past a change the
  // download would miss. A record for the fetched path itself stops nothing,
  // nor a rename of an item the database records under another name than the
  // former one (what is fetched there is another item the server put there
  // since), nor the record that stopped the download last time.
  // true when it stopped the download.
  bool stopDownloadForListingRecord(const ServerRecord& record, const std::string& operation);

 private:
  // The database records the renamed item's reference id at a path other
  // than the record's former one.
  bool recordedUnderAnotherName(const ServerRecord& record);

  const SyncRootFiles& files_;
  LocalCache& cache_;
  DownloadEnginePort& engine_;
  DownloadDispatchHost& host_;
  SyncQueuePort& queue_;
  CaptureFilterPort& filters_;
  FileStatusPort& status_;
  Paths paths_;
  RepeatedSetCounts& repeatedSets_;
  const RunLoop& mainLoop_;
  // The listing thread's read steps, one at a time; it guards no member here
  // (what they read sits behind the queue's and the database's own locks).
  Mutex readLock_;
  Mutex stopMutex_;
  std::string lastStop_ ULMORA_GUARDED_BY(stopMutex_);  // the record that stopped the download last
};

}  // namespace ulmora
