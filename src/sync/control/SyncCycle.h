#pragma once

namespace ulmora {

// What one tick of the sync cycle asks of the account. The sync controller
// implements it by forwarding to its concerns; tests record the calls.
//
// Thread-safety: called on the main thread only.
class SyncCyclePort {
 public:
  virtual ~SyncCyclePort() = default;

  virtual bool hasInputQueue() = 0;
  virtual void checkCacheClearanceforSevenDays() = 0;
  virtual bool syncRootExists() = 0;
  virtual void ifSyncFolderDoNotExist() = 0;
  virtual int shouldSync() = 0;

  // Gate 3: stop the push timers, hold the transfers, cancel a download.
  virtual void pauseSteps() = 0;
  // Gate 4, in this order: the rest of a start that a closed gate refused,
  // the account's throttle after a pause, the push timers and a listing for
  // a push that arrived during the pause.
  virtual void completePendingStart() = 0;
  virtual void restoreThrottleAfterPause() = 0;
  virtual void keepPushTimersAlive() = 0;

  virtual bool isNWAvailable() = 0;

  virtual bool isThumbNailBackupRunning() = 0;
  virtual void createAndUploadThumbnails() = 0;

  virtual bool isBackupGoingOn() = 0;
  // The last upload batch was announced and has not been withdrawn.
  virtual bool isbackupStarted() = 0;
  virtual void backupRunFinished() = 0;
  virtual void startBackup() = 0;
  // True while a change listing is asked for or running, for a few ticks at
  // most: the server's announced changes are judged before local edits are
  // sent, so that a newer server copy makes the edit a conflict copy instead
  // of being replaced by it.
  virtual bool uploadWaitsForListing() = 0;

  virtual bool isRestoreGoingOn() = 0;
  virtual bool isrestoreStarted() = 0;
  virtual void restoreRunFinished() = 0;
  virtual void dispatchDownloads() = 0;

  virtual bool isExcuteEventsCapturedRunning() = 0;
  virtual void ExcuteEventsCaptured() = 0;

  virtual bool isCreateDirRunning() = 0;
  // True while renames or deletes made here are queued or being sent, for a
  // few ticks at most; asked once a tick. Uploads and folder creation wait
  // meanwhile: a file or folder made under a folder's new name must not
  // reach the server before the folder's rename.
  virtual bool renamesAndDeletesGoFirst() = 0;
  virtual void CreateFolder() = 0;

  // The change listing is idle and no retry for no data is pending.
  virtual bool mayStartListing() = 0;
  virtual void listingStep() = 0;
};

// One tick of the 5-second cycle: the gate, then whatever is idle and has
// work, in a fixed order (thumbnails, upload, download, local events, folder
// creation, listing). Returns the gate value it acted on, or -1 when the
// tick ended before asking it. On the main loop (checked in debug and test
// builds).
int runSyncCycleTick(SyncCyclePort& port);

}  // namespace ulmora
