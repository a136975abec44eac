#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/RunLoop.h"

namespace ulmora {

// What pausing, resuming, unlinking and reinitialising act on.
class AccountControlPort {
 public:
  enum class Worker { Download, Upload, Listing, RenameDelete, CreateFolder };
  enum class Flag {
    AccountLoggedOutUnlinked,
    ListingStartedFromZeroIndex,
    DuringPauseGotPns,
    ShouldRestoreFileDirectly,
    ExcuteEventsCapturedRunning,
    IsRestoreCanceldDuringListing,
    IsItemsFoundDuringListing,
    NotificationFileRead,
  };

  virtual ~AccountControlPort() = default;

  virtual bool flag(Flag f) = 0;
  virtual void setFlag(Flag f, bool value) = 0;
  virtual void setIndexingWithZeroToAvoidRefId(const std::string& value) = 0;
  virtual void setPreviousIndexStr(const std::string& value) = 0;
  virtual void setBackupFilesCount(int64_t count) = 0;
  virtual void setReinitializeState(bool state) = 0;
  virtual bool hasSyncUserName() = 0;

  virtual bool isPresent(Worker w) = 0;
  virtual bool isRunning(Worker w) = 0;
  // Marks the worker cancelled (its engine polls the cancel file).
  virtual void setCancel(Worker w) = 0;
  // The engine managers' CancelBackupProcess with NO.
  virtual void cancelBackupProcess(Worker w) = 0;
  virtual void cancelListing() = 0;
  // Searches and any other engine run this account started.
  virtual void stopOtherEngineRuns() = 0;

  virtual void setUploadThrottle(const std::string& value) = 0;
  virtual void giveUploadPreviousTransferredSize() = 0;
  virtual void setUploadStartTime(int64_t secondsSince1970) = 0;

  virtual void addNotificationFilesInfo() = 0;
  virtual bool hasPendingDownloads() = 0;
  virtual void stopListingAndAddNotificationFile() = 0;
  virtual void deleteHalfRestoredFiles() = 0;
  virtual void ClearRestoreRelatedFileEntries() = 0;
  virtual void stopDBSyncInput() = 0;

  virtual bool isPeriodicTimerValid() = 0;
  virtual void invalidatePeriodicTimer() = 0;
  virtual void schedulePeriodicTimer() = 0;
  virtual bool isSyncOperationTimerValid() = 0;
  virtual void invalidateSyncOperationTimer() = 0;
  virtual void invalidateKeepAliveTimer() = 0;
  virtual void cancelAllSyncTimers() = 0;
  virtual void setEnableListeningNotifications(bool enable) = 0;

  virtual int shouldSync() = 0;
  // Hands the listing the account and proxy settings and starts it.
  virtual void startListing(int64_t index) = 0;
  virtual void writeSessionLine(const std::string& line) = 0;

  // Status restore.
  virtual bool takeSelectiveSyncRefresh() = 0;
  virtual void selectiveSyncModefied() = 0;
  virtual void setMonitorToolTip(const std::string& status) = 0;
};

// Pause, resume, unlink and reinitialise, the start of a server change
// listing, and restoring the status items after them.
//
// Pausing drops the queued downloads; whenever it does, a listing marker is
// queued so that they come back after the resume. Unlinking stops every timer
// and worker of the account, once; nothing writes to the account's folders
// afterwards, and a resume does not bring timers back. A reinitialise is
// marked only after everything was cancelled.
//
// Thread-safety: on `loop` (the main loop) only: the commands are dispatched
// there, and every operation checks it in debug and test builds.
class AccountControl {
 public:
  using Flag = AccountControlPort::Flag;
  using Worker = AccountControlPort::Worker;

  struct Paths {
    std::string indexFile;           // "indexFile.txt" in application folder 50
    std::string listingFiles;        // application file 108
    std::string listingDeleteFiles;  // application file 109
    std::string restoreFolder;       // application folder 105
    std::string installerRef;        // application file 121
  };

  static constexpr const char* kUploadingStatus = "Performing Sync Up...";
  static constexpr const char* kDownloadingStatus = "Performing Sync Down...";
  static constexpr const char* kIndexingStatus = "T1016";

  AccountControl(Paths paths, AccountControlPort& port, const Clock& clock, const RunLoop& loop);

  void PauseSync();
  void ResumeSync();
  void stopSyncForUnlink(bool unlink);
  void accountLoggedOutWithUnlink(bool unlink);
  void ReinitializeSync();
  void clearEventCounts();
  void removeInstallerRef();
  void cancelAllSyncOperations();
  void startSyncListingAllFiles(int mode);
  void resetToolTips();

  // The pause steps that drop the queued downloads (also run by the cycle
  // while paused): a listing marker brings them back after the resume.
  void clearRestoreForPause();

  // The stored listing index: the file's 64-bit value when it is 0 or more.
  static std::optional<int64_t> parseIndex(std::string_view text);

 private:
  void cancelWorkers();

  const Paths paths_;
  AccountControlPort& port_;
  const Clock& clock_;
  const RunLoop& loop_;
};

}  // namespace ulmora
