#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "engine/EngineSetFiles.h"
#include "engine/User.h"
#include "foundation/SupportFilePaths.h"
#include "journal/RenameEntry.h"
#include "media/UserDetails.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "sync/control/AccountProgress.h"
#include "sync/control/AccountReachability.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/AccountState.h"
#include "sync/control/ControlRoom.h"
#include "sync/SyncContext.h"
#include "sync/SyncController.h"
#include "sync/control/SettingsEncoding.h"
#include "sync/control/SyncCycle.h"
#include "sync/control/SyncTimers.h"
#include "sync/push/PushConcern.h"
#include "sync/runs/AccountEngines.h"
#include "sync/upload/UploadListingGate.h"
#include "sync/upload/UploadRenameGate.h"
#include "sync/upload/UploadRoad.h"
#include "sync/server/ServerRoad.h"
#include "sync/files/SyncRootFiles.h"
#include "sync/thumbnails/Thumbnails.h"

namespace ulmora {

class DataBaseWrapper;
class IdleMarker;
class ImageMDUploadController;
class KVTBackupManager;
class QLBackupProgressLogger;
class RunLoopTimer;
class SynListingController;
class ThumbnailController;
class UserDefaults;

// The account's sync engine: the SyncController the session calls, the cycle,
// and the composition of one object per concern (src/sync). Each concern
// object is itself the delegate of the engine-driven controllers it drives;
// nothing here passes a callback on. A concern takes the concerns built
// before it by reference and asks the controller for the rest through the
// port it declares (the private bases below). Shared per-account state is in
// AccountState. One block of operations and members per concern, and one
// .cpp per concern for its build hook and its part of the contract
// (MainSyncController<Concern>.cpp).
//
// Life: built by the account controller with its SyncContext (every
// collaborator is made in the constructor, in the order the concerns'
// build hooks run), started with startSync, stopped with shutdown() (timers,
// runs and threads end; no callback reaches it afterwards), then destroyed.
// shutdown() first invalidates guard_ and sets shutDown_, then calls each
// concern's stopX(), which ends that concern's own threads and starts none
// afterwards (its objects stay alive: engine and listing callbacks may still
// reach them), and last ends the engine runs, listings and thumbnail jobs.
//
// Thread-safety: the SyncController operations, the timers and the cycle run
// on the main thread (ctx.mainLoop; checked in debug and test builds). The SyncInputHost and
// DatabaseTotalsDelegate members from worker threads. Each concern guards its
// own state; AccountState's groups have their own locks.
class MainSyncController final : public SyncController,
                                 private SyncCyclePort,
                                 private SettingsEncodingAccount,
                                 private SyncTimersHost,
                                 private AccountReachabilityHost,
                                 private ThumbnailHost,
                                 private AccountProgressHost,
                                 private ControlRoomAccount,
                                 private PushConcernAccount,
                                 private ServerRoadAccount,
                                 private UploadRoadAccount {
 public:
  // ---- lifecycle, cycle, settings ----

  // How long after message 3 the start sends message 47.
  static constexpr Clock::Duration kSecondRootMessageDelay = std::chrono::seconds(2);

  // init + initWithConsoleUser: builds every collaborator and becomes the
  // shared instance.
  explicit MainSyncController(SyncContext context);
  // shutdown(), then releases everything.
  ~MainSyncController() override;
  MainSyncController(const MainSyncController&) = delete;
  MainSyncController& operator=(const MainSyncController&) = delete;

  // The controller most recently built and not yet shut down; nullptr (with a
  // trace line) when there is none. Any thread.
  static MainSyncController* sharedController();

  // SyncController
  void initWithConsoleUser(const SyncSessionDetails& session) override;
  void setSharedUlmoraSyncUserController(SyncControllerOwner* owner) override;
  void setReinitializeState(bool state) override;
  bool getReinitializeState() const override;
  void startSync() override;
  void shutdown() override;
  void updateIconOverlay() override;

  void createAllSyncTimers() override;
  void cancelAllSyncTimers();

  // Accessors.
  std::string syncUserName() override;
  std::string getUlmoraSyncRootPath() override;
  const SupportFilePaths& applicationSupportObject() const { return appSupportFilePaths_; }
  std::string getSyncFilePath() const;
  bool isListingGoingOn() const;
  AccountState& accountState() { return state_; }
  // The connection values, the throttle, session logs and the renames held
  // back while their file uploads (mRenameDicAfterBackup).
  AccountSettings& accountSettings() { return *settings_; }
  // The engine managers and listings that several concerns drive. The
  // listings are gone once shutdown() has returned; the managers stay (runs
  // refused).
  KVTBackupManager& backupManager() { return engines_->uploads(); }
  KVTBackupManager& restoreManager() { return engines_->downloads(); }
  SynListingController& changeListing() { return engines_->changeListing(); }
  SynListingController& refIdListing() { return engines_->refIdListing(); }

  // Cycle.
  int shouldSync() override;
  void checkCacheClearanceforSevenDays() override;
  void createAndUploadThumbnails() override;

  // Settings.
  // The settings' reading (SettingsEncoding::setUserData): until its
  // secrets are encoded no engine run starts. Main loop.
  bool setUserData() override;
  bool settingsEncodingPending() const { return settingsEncoding_->pending(); }
  User craeteUserInfoObject() override { return settings_->connectionRecord(); }
  std::string createSessionFileForOperation(int operation, const std::string& name) override;
  bool checkRenamedFileisUnderBackup(const RenameEntry& rename) override;
  bool isNWAvailable() override;
  // The user-details record of the media extras.
  UserDetails userDetails() override { return settings_->mediaDetails(enginePath_, getUlmoraSyncRootPath()); }

  // ---- progress and status ----

  // SyncInputHost
  // Forwards to the owner's queryMainDB (blocks while the owner waits).
  void queryMainDB(int option) override;
  bool isBackupGoingOn() override;
  bool isRestoreGoingOn() override;
  void SetQueryMainDBforCountBackup(bool query) override;
  // Counts the pending uploads on the worker unless a count is known and no
  // recount was asked for; the totals come back through the setters below.
  void GetTotalCountAndTotalSizeOfBackupFiles() override;
  void SetQueryMainDBforCountRestore(bool query) override;
  void GetTotalCountAndTotalSizeOfRestoreFiles() override;
  // DatabaseTotalsDelegate
  void SetTotalBackupCount(int64_t count) override;
  void SetTotalBackupSize(int64_t bytes) override;
  void ResetNecessaryVariablesForBackup() override;
  void SetQueriedForBackup(bool queried) override;
  void SetTotalRestoreCount(int64_t count) override;
  void SetTotalRestoreSize(int64_t bytes) override;
  void ResetNecessaryVariablesForRestore() override;
  void SetQueriedForRestore(bool queried) override;

  bool isbackupStarted() override;
  bool isrestoreStarted() override;
  // Progress counters and status items, codes and notifications for the
  // monitor. Any thread.
  AccountProgress& progress() { return *progress_; }

  // ---- upload road ----

  void startBackup() override;
  // Application file 113, the running upload's entry list.
  std::string pathBackupFileEntry() const;
  // The account's connection record for an engine-driven controller
  // (listings, renames and deletes, folders).
  User userForEngineController() override;
  // Relative path (or a full one under the root) to full path; nullopt
  // without a root, for an empty path or one that could leave the root.
  std::optional<std::string> CreateFullPathByAppendingSyncRoot(const std::string& path);
  // Full path under the root to relative path ("/" for the root); any
  // other path unchanged.
  std::string createRelativePathToUlmoraSync(const std::string& path);
  // `path` is or lies below an entry of `deleted` whose item is gone.
  bool isInDeleteList(const std::string& path, const std::vector<std::string>& deleted);

  // ---- server road ----

  // The listings' delegate: record decisions, downloads, the cache.
  ServerRoad& serverRoad() { return *serverRoad_; }
  // Downloads: one engine run per batch, split over the two engines.
  DownloadDispatcher& downloadDispatcher() { return serverRoad_->downloads(); }
  // Every change to the user's files goes through it.
  const SyncRootFiles& syncRootFiles() const override { return serverRoad_->files(); }

  // ---- push, renames and deletes, folders ----

  // The push handler and the rename/delete and folder-creation workers.
  PushConcern& pushConcern() { return *push_; }
  void setEnableListeningNotifications(bool enable) override;
  void ExcuteEventsCaptured() override;
  void CreateFolder() override;
  // SyncInputHost
  void setOfflineDeleteRenamedFileInfo(const std::optional<RDDataBaseRows>& rows) override;

  // ---- control and periphery ----

  // SyncController
  void PauseSync() override;
  void ResumeSync() override;
  void UnlinkSync() override;
  void stopSyncForUnlink(bool unlink) override;
  void ReinitializeSync() override;
  void startSyncListingAllFiles(int mode) override;
  void selectiveSyncModefied() override;
  void ShowVersion(const std::string& path) override;
  void SendPathRootSet() override;
  void RecalculateQuota() override;
  void sendToolTip() override;
  void notAbleTOCreateFolderAtPath() override;
  // SyncInputHost
  void ifSyncFolderDoNotExist() override;

  // The control concern: pause, resume, unlink, reinitialise, the
  // transfers held meanwhile, quota, selective sync, account events, recent
  // items, the file manager's lists.
  ControlRoom& controlRoom() { return *controlRoom_; }

 private:
  // ---- lifecycle, cycle, settings ----
  void checkForApplicationSupportFolders();
  void refreshIconOverlay();
  // SettingsEncodingAccount
  void setUlmoraSyncRootPath(const std::string& path) override;
  void serviceHostMayHaveChanged() override;
  // AccountReachabilityHost
  void networkChanged(bool reachable) override;
  // Runs every concern's build hook, in order; construction only.
  void initializeSync();
  void buildLifecycle();
  SyncControllerOwner* owner() const { return owner_.load(); }
  std::string applicationFile(int index) const;
  // Message 3 now, 47 two seconds later on the main loop.
  void sendRootMessagesToFinder();
  void sendToFinder(int type);
  // startSync past its gate; the first open tick runs it for a refused start.
  void startSyncAfterGate();
  // Work that would hold the main loop (database reads; the control
  // concern's stops of transfers) goes to the controller's worker thread
  // (workerLoop_); completions come back with
  // ctx_.mainLoop.post(guard_.wrap(...)).
  void postToWorker(RunLoop::Task task);
  // SyncTimersHost
  void syncOperation() override;
  void periodicListening() override;
  void PushDummyNotification() override;
  // SyncCyclePort
  bool hasInputQueue() override { return true; }
  bool syncRootExists() override;
  void pauseSteps() override { controlRoom_->pause().pauseSteps(); }
  void completePendingStart() override;
  void restoreThrottleAfterPause() override;
  void keepPushTimersAlive() override;
  bool isThumbNailBackupRunning() override;
  void backupRunFinished() override;
  void restoreRunFinished() override;
  void dispatchDownloads() override { uploadRoad_->dispatchDownloads(); }
  bool isExcuteEventsCapturedRunning() override;
  bool isCreateDirRunning() override;
  bool mayStartListing() override;
  void listingStep() override;
  bool uploadWaitsForListing() override;
  bool renamesAndDeletesGoFirst() override;
  // ThumbnailHost
  void postToMain(RunLoop::Task task) override;

  SyncContext ctx_;
  UploadListingGate uploadGate_;  // main thread only
  UploadRenameGate renameGate_;   // main thread only
  SupportFilePaths appSupportFilePaths_;
  std::string m_consoleUserID_;
  std::string enginePath_;
  mutable Mutex identityMutex_;
  std::string mUlmoraSyncRootPath_ ULMORA_GUARDED_BY(identityMutex_);
  // Set once by the owner, read by any thread; nothing else is read with it.
  std::atomic<SyncControllerOwner*> owner_{nullptr};
  AccountState state_;
  std::unique_ptr<AccountSettings> settings_;
  std::unique_ptr<SettingsEncoding> settingsEncoding_;
  std::unique_ptr<AccountReachability> reachability_;
  std::unique_ptr<UserDefaults> ownDefaults_;
  std::unique_ptr<DataBaseWrapper> databaseHandler_;
  std::unique_ptr<QLBackupProgressLogger> mSyncUpLogger_;
  std::unique_ptr<QLBackupProgressLogger> mSyncDownLogger_;
  std::unique_ptr<QLBackupProgressLogger> mSyncRenameLogger_;
  std::unique_ptr<QLBackupProgressLogger> mRenameLogger_;
  std::unique_ptr<QLBackupProgressLogger> mDeleteLogger_;
  std::unique_ptr<QLBackupProgressLogger> mSyncCreateDirLogger_;
  // Before the concerns: they take its managers and listings by reference.
  std::unique_ptr<AccountEngines> engines_;
  // The cycle's, the periodic listening's and the keep-alive's timers.
  std::unique_ptr<SyncTimers> timers_;
  // Keeps the idle marker that chooses the idle throttle.
  std::unique_ptr<IdleMarker> idleMarker_;
  std::shared_ptr<RunLoopTimer> idleTimer_;
  // Thumbnail runs and the image-metadata uploader.
  std::unique_ptr<Thumbnails> thumbnails_;
  // The controller is going away (set once, read by workers that post back).
  std::atomic<bool> shutDown_{false};
  RunLoop workerLoop_;
  std::thread worker_;

  // ---- progress and status ----
  void buildProgress();
  void stopProgress();
  // AccountProgressHost
  SyncControllerOwner* progressOwner() override { return owner(); }
  std::unique_ptr<AccountProgress> progress_;

  // ---- upload road ----
  void buildUpload();
  void stopUpload();
  std::unique_ptr<UploadRoad> uploadRoad_;
  // UploadRoadAccount
  void startPushing(const std::string& topic, const std::string& messageId, const std::string& text) override;
  void addToCraeteThumbnail(const std::string& fullPath) override { thumbnails_->addToCraeteThumbnail(fullPath); }
  void updateImageInformation() override { thumbnails_->updateImageInformation(); }
  // The account's login-details plist (sub-account test of over-quota).
  std::string accountPlistPath() const;
  // A storage server named by service discovery: both managers and the
  // login details take it.
  void useDiscoveredServer(const std::string& server) override;

  // ---- server road ----
  void buildListing();
  void stopListing();
  std::unique_ptr<ServerRoad> serverRoad_;

  // ---- push, renames and deletes, folders ----
  void buildPush();
  void stopPush();
  std::unique_ptr<PushConcern> push_;
  PushConcern* pushToStart();
  // The listing thread asks whether a server rename is the echo of one made
  // here.
  bool takeRenamedHere(const std::string& oldPath, const std::string& newPath) override;
  // Stop the rename/delete run (between batches) and the folder-creation run
  // (between folders); what they had not sent is kept for their next run.
  void cancelRenameDeleteRun() override;
  void cancelCreateDirRun() override;
  // PushConcernAccount
  bool hasImageFiles() override { return thumbnails_->hasImageFiles(); }
  void updateThumbnailController(const std::string& fullOld, const std::string& fullNew) override {
    thumbnails_->updateThumbnailController(fullOld, fullNew);
  }

  // ---- control and periphery ----
  void buildControl();
  void stopControl();
  std::unique_ptr<ControlRoom> controlRoom_;
  // ControlRoomAccount
  SyncControllerOwner* accountOwner() override { return owner(); }
  void queryMainDBOnWorker(int option) override;
  SynListingController* liveChangeListing() override;
  void startChangeListing(int64_t index) override;
  void stopListingAndAddNotificationFile() override;
  void deleteHalfRestoredFiles() override;
  void ClearRestoreRelatedFileEntries() override;
  bool moveFromCache(const std::string& relativePath, const std::string& modTime, const std::string& size,
                     const std::string& refId) override;

  // Last: posted work and timers that capture `this` die with the controller.
  WeakGuard guard_;
};

}  // namespace ulmora
