#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ThreadAnnotations.h"

#include "engine/KVTProgressRecord.h"
#include "platform/Clock.h"
#include "sync/status/StatusItemSink.h"

namespace ulmora {

// The two directions of transfer; the values are the progress report's
// operation types.
enum class TransferDirection { kUpload = 1, kDownload = 2 };

// What the progress counters read of one engine manager (KVTBackupManager).
//
// Thread-safety: implementations must accept calls from any thread.
class TransferRunView {
 public:
  virtual ~TransferRunView() = default;
  virtual bool isRunning() const = 0;
  // Wall time the current (or last) run started, seconds since 1970.
  virtual double StartTime() const = 0;
  virtual int64_t PreviousTransferedSize() const = 0;
  virtual void SetPreviousTransferedSize(int64_t bytes) = 0;
};

// What the progress counters ask of the rest of the account.
//
// Thread-safety: implementations must accept calls from any thread.
class ProgressHost {
 public:
  virtual ~ProgressHost() = default;
  // Count the pending uploads / downloads in the local database, off the
  // calling thread; the totals come back through SetTotal...Count,
  // SetTotal...Size, ResetNecessaryVariablesFor..., SetQueriedFor...(true).
  virtual void requestBackupTotals() = 0;
  virtual void requestRestoreTotals() = 0;
  // The input queue's answers: an upload journal file is pending; downloads
  // wait in memory; a download journal file is pending.
  virtual bool CheckIfBackupFilesPendingBool() = 0;
  virtual bool CheckForRestoreFilesInMemory() = 0;
  virtual bool CheckForRestoreFiles() = 0;
};

// The account's transfer progress: how many files and bytes wait and are
// done per direction, a smoothed transfer rate, and the progress status
// items built from the engine's per-file records:
//   "T1002||<files to go>[||<rate>[||<time left>]]"  (uploads)
//   "T1005||..."                                      (downloads)
// plus the batch markers behind "Performing Sync Up..." / "Performing Sync
// Down...". The items go to the status tracker, which drops a progress item
// while its batch is not marked started.
//
// Typical use by the transfer road:
//   upload dispatch: ResetSetVariablesForBackup(), GetTotalCountAndTotal-
//     SizeOfBackupFiles(), ..., BackupRestoreStarted(kUpload), start the run;
//   per engine record: sendDataToMonitor(record, 1) (downloads: 2);
//   the sync cycle, manager idle: BackupRestoreFinised(kUpload).
// The database count arrives through the DatabaseTotalsDelegate-shaped
// setters below.
//
// Numbers in texts are written in the C locale whatever the process locale.
//
// Thread-safety: every member may be called from any thread. Counters and
// averages are guarded by one mutex; the batch markers are atomics. Lock
// order: this object's mutex, then the engine manager's (TransferRunView);
// the status sink and the host are called with no lock held.
class ProgressTracker {
 public:
  static constexpr const char* kPerformingSyncUp = "Performing Sync Up...";
  static constexpr const char* kPerformingSyncDown = "Performing Sync Down...";
  static constexpr const char* kSyncingUp = "Syncing Up";
  static constexpr const char* kSyncingDown = "Syncing Down";

  // The counters of one direction, for the accessors and for tests.
  struct Counters {
    int64_t totalCount = 0;           // waiting, from the last database count
    int64_t totalSize = 0;
    int64_t doneCount = 0;            // finished by runs closed since that count
    int64_t transferredSize = 0;
    int64_t setCount = 0;             // finished in the current run
    int64_t setTransferredSize = 0;   // the run's bytes when the count arrived
    bool queried = false;             // a count arrived; the next report takes the baseline
    bool queryMainDBforCount = false; // a recount was asked for
    int64_t previousTransferredSize = 0;  // the last record's "TotalTrasferedSize"
    double rememberedRate = 0;        // bytes per second
    float avgSpeed = 0;               // the moving average, bytes per second
    int32_t samples = 0;
    float smootheningFactor = 0;
  };

  // All references must outlive the tracker.
  ProgressTracker(Clock& clock, StatusItemSink& status, ProgressHost& host,
                  TransferRunView& uploadManager, TransferRunView& downloadManager);
  ProgressTracker(const ProgressTracker&) = delete;
  ProgressTracker& operator=(const ProgressTracker&) = delete;

  // --- resets ---------------------------------------------------------------
  // Totals, finished counts and sizes, the run count and baseline to 0, and
  // the baseline flag off (an upload batch starts / the cycle resets downloads).
  void ResetCumulativeCountVariablesForBackup();
  void ResetCumulativeCountVariablesForRestore();
  // The run count and baseline and the finished counts and sizes to 0 (a
  // database count arrived).
  void ResetNecessaryVariablesForBackup();
  void ResetNecessaryVariablesForRestore();
  // A batch is about to start: the run count, the baseline and the last seen
  // transferred size to 0, the baseline flag off.
  void ResetSetVariablesForBackup();
  void ResetSetVariablesForRestore();

  // --- database counts ----------------------------------------------------------
  void SetTotalBackupCount(int64_t count);
  void SetTotalBackupSize(int64_t bytes);
  void SetTotalRestoreCount(int64_t count);
  void SetTotalRestoreSize(int64_t bytes);
  void SetQueriedForBackup(bool queried);
  void SetQueriedForRestore(bool queried);
  void SetQueryMainDBforCountBackup(bool query);
  void SetQueryMainDBforCountRestore(bool query);
  // Asks the host for a count unless one is known (total above 0) and no
  // recount was asked for.
  void GetTotalCountAndTotalSizeOfBackupFiles();
  void GetTotalCountAndTotalSizeOfRestoreFiles();

  // --- batch markers --------------------------------------------------------------
  bool isbackupStarted() const { return backupStarted_.load(); }
  bool isrestoreStarted() const { return restoreStarted_.load(); }
  // Marks the direction's batch started and announces it with "Performing
  // Sync Up..." / "Performing Sync Down..."; does nothing while it is marked.
  void BackupRestoreStarted(TransferDirection direction);
  // Clears the marker of a started batch and, unless more work of that
  // direction is pending at the input queue, withdraws the announcement
  // ("Syncing Up" / "Syncing Down"). nullopt: a manager that is neither.
  void BackupRestoreFinised(std::optional<TransferDirection> direction);

  // --- progress ---------------------------------------------------------------------
  // Builds the progress item for one engine record and hands it to the
  // status tracker. `optype` 1 is upload, 2 download. Returns the item: ""
  // for a record without a rate ("speed"), nullopt for another optype (the
  // tracker then gets "", which changes nothing). A record that closes a run
  // (all its files done) folds the run into the finished counts once, however
  // often it is repeated.
  std::optional<std::string> sendDataToMonitor(const KVTProgressRecord& record, int optype);

  // Feeds `rate` (bytes per second) into the direction's moving average and
  // returns the time left for `pendingSize` bytes ("" when unknown).
  std::string totalTimeRemainingForBackup(double rate, int64_t pendingSize, bool forBackUp);
  // "%.2f KB/s" / "MB/s"; every rate from 1024 MB/s up is "1.00 GB/s".
  static std::string TransferRateConversion(double bytesPerSecond);
  // One unit: "1 sec"/"%d secs", "1 min"/"%d mins", "1 hr"/"%d hrs",
  // "1 day"/"%d days", rounded as the monitor expects; "" when negative.
  static std::string remainingTimeText(int64_t seconds);

  void resetValsForEMACalculation_Up();
  void resetValsForEMACalculation_Down();

  // --- accessors -----------------------------------------------------------------------
  int64_t PreviousTransferedSizeForBackupMainSync() const;
  int64_t PreviousTransferedSizeForRestoreMainSync() const;
  Counters counters(TransferDirection direction) const;

 private:
  struct RunFold {
    bool folded = false;   // the run that started at runStart was folded in
    double runStart = 0;
  };
  struct Direction {
    Counters c;
    RunFold fold;
  };

  Direction& dir(TransferDirection d) ULMORA_REQUIRES(mu_) {
    return d == TransferDirection::kUpload ? up_ : down_;
  }
  const Direction& dir(TransferDirection d) const ULMORA_REQUIRES(mu_) {
    return d == TransferDirection::kUpload ? up_ : down_;
  }
  // Runs `change` on one direction with the lock held.
  template <typename F>
  void edit(TransferDirection d, F change) {
    MutexLock lock(mu_);
    change(dir(d));
  }
  static void resetSet(Direction& d);
  static void resetAverage(Direction& d);
  // Whether a count must be asked for; clears the recount request.
  bool takeCountRequest(TransferDirection d);
  std::string buildProgressLocked(const KVTProgressRecord& record, TransferDirection d) ULMORA_REQUIRES(mu_);
  std::string timeRemainingLocked(double rate, int64_t pendingSize, Direction& d) ULMORA_REQUIRES(mu_);
  double nowSeconds() const;

  Clock& clock_;
  StatusItemSink& status_;
  ProgressHost& host_;
  TransferRunView& uploadManager_;
  TransferRunView& downloadManager_;

  // Pair each direction's tooltip with its removal (exchange); read with
  // nothing else, unlike the counters under mu_.
  std::atomic<bool> backupStarted_{false};
  std::atomic<bool> restoreStarted_{false};

  mutable Mutex mu_;
  Direction up_ ULMORA_GUARDED_BY(mu_);
  Direction down_ ULMORA_GUARDED_BY(mu_);
};

}  // namespace ulmora
