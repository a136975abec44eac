#pragma once

#include <string>

#include "platform/Clock.h"
#include "sync/control/AccountState.h"
#include "sync/status/ProgressStatusAdapters.h"
#include "sync/status/ProgressTracker.h"
#include "sync/status/UlmoraSyncStatus.h"

namespace ulmora {

class KVTBackupManager;
class SyncControllerOwner;
class UMSDBSyncInputManger;

// What the account's progress and status need from the rest of the account.
class AccountProgressHost {
 public:
  virtual ~AccountProgressHost() = default;
  // The agent's side of the account; nullptr before it is set.
  virtual SyncControllerOwner* progressOwner() = 0;
  virtual bool isNWAvailable() = 0;
};

// The account's progress counters (ProgressTracker) and its status for the
// monitor (UlmoraSyncStatus), with what they ask of the account.
//
// Thread-safety: every operation may be called from any thread; the tracker
// and the status guard their own state.
class AccountProgress final : private ProgressHost, private SyncStatusHost {
 public:
  struct Account {
    std::string consoleUser;
    // The sync status property list.
    std::string syncFilePath;
  };

  AccountProgress(Account account, Clock& clock, KVTBackupManager& upload, KVTBackupManager& download,
                  UMSDBSyncInputManger& queue, AccountState& state, AccountProgressHost& host);
  AccountProgress(const AccountProgress&) = delete;
  AccountProgress& operator=(const AccountProgress&) = delete;

  ProgressTracker& tracker() { return tracker_; }
  UlmoraSyncStatus& status() { return status_; }

  // A manager is told apart by identity: the download manager announces a
  // download, anything else an upload.
  void BackupRestoreStarted(KVTBackupManager& manager);
  // The upload manager, the download manager, or neither.
  void BackupRestoreFinised(KVTBackupManager& manager);

 private:
  // ProgressHost: the owner counts on a worker of its own.
  void requestBackupTotals() override;
  void requestRestoreTotals() override;
  bool CheckIfBackupFilesPendingBool() override;
  bool CheckForRestoreFilesInMemory() override;
  bool CheckForRestoreFiles() override;
  // SyncStatusHost
  bool isNWAvailable() override { return host_.isNWAvailable(); }
  bool isbackupStarted() override { return tracker_.isbackupStarted(); }
  bool isrestoreStarted() override { return tracker_.isrestoreStarted(); }
  bool isListingGoingOn() override {
    MutexLock hold(state_.listing.mutex);
    return state_.listing.listingStartedfromZeroIndex;
  }
  bool isSubAccount() override;
  std::string accountDetailsPath() override;
  std::string getSyncFilePath() override { return account_.syncFilePath; }

  const Account account_;
  KVTBackupManager& upload_;
  KVTBackupManager& download_;
  UMSDBSyncInputManger& queue_;
  AccountState& state_;
  AccountProgressHost& host_;
  KVTManagerRunView uploadView_;
  KVTManagerRunView downloadView_;
  MessengerMonitorSink monitor_;
  UlmoraSyncStatus status_;
  ProgressTracker tracker_;
};

}  // namespace ulmora
