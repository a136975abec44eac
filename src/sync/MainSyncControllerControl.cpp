// Control and periphery: pause, resume, unlink and reinitialise, the quota,
// selective sync, account events, recent items, the file manager's lists and
// the activity record. The work is done by the collaborators in src/sync; this
// file builds them and gives them the controller's parts through their ports.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "engine/ProxyController.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "ipc/IpcMessageTypes.h"
#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncRootPath.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "platform/ThreadCheck.h"
#include "service/ScriptController.h"
#include "service/SynListingController.h"
#include "service/UMVersionController.h"
#include "sync/control/AccountControl.h"
#include "sync/control/AccountEvents.h"
#include "sync/status/ActivityLog.h"
#include "sync/status/FinderLists.h"
#include "sync/MainSyncController.h"
#include "sync/control/QuotaWorker.h"
#include "sync/status/RecentItems.h"
#include "sync/server/SelectiveSync.h"
#include "sync/server/SelectiveSyncRuns.h"
#include "sync/control/SyncControllerOwner.h"

namespace ulmora {
namespace {

// Application-file indices of this concern.
constexpr int kLoginDetails = 24;
constexpr int kLastUserLoginDetails = 26;
constexpr int kSessionLogsFolder = 32;
constexpr int kRootUserFolder = 50;
constexpr int kProxySettings = 84;
constexpr int kRestoreFolder = 105;
constexpr int kListingFiles = 108;
constexpr int kListingDeleteFiles = 109;
constexpr int kRestoreFileEntries = 118;
constexpr int kInstallerRef = 121;
constexpr int kUserQuotaDetails = 124;
constexpr int kSelectiveSyncList = 133;
constexpr int kRecentItems = 137;
constexpr int kActivityLogFolder = 150;

constexpr Clock::Duration kSyncFolderWatch = std::chrono::seconds(5);

// "" while the account's folder is unknown: a bare name would land in the
// working folder.
std::string indexFilePath(const std::string& rootUserFolder) {
  return rootUserFolder.empty() ? std::string() : fileutil::joinPath(rootUserFolder, "indexFile.txt");
}

class NoPoster final : public NotificationPoster {
 public:
  void post(const std::string&, const PropertyList&) override {}
};

}  // namespace

// The concern is the delegate of the account-details client and of the
// version history (whose steps change nothing here: the file a restore
// writes is fenced by VersionRestoreStarted/Ended).
class MainSyncController::ControlRoom final : public ScriptControllerDelegate,
                                              public UMVersionControllerDelegateProtocol,
                                              public VersionRestoreHost {
 public:
  explicit ControlRoom(MainSyncController& m)
      : m_(m),
        controlPort_(m),
        control_(AccountControl::Paths{
                     indexFilePath(m.applicationFile(kRootUserFolder)),
                     m.applicationFile(kListingFiles), m.applicationFile(kListingDeleteFiles),
                     m.applicationFile(kRestoreFolder), m.applicationFile(kInstallerRef)},
                 controlPort_, m.ctx_.clock, m.ctx_.mainLoop),
        quotaQuery_(m.enginePath_, [&m] { return m.craeteUserInfoObject(); },
                    m.applicationFile(kProxySettings)),
        quotaHost_(m),
        quota_(m.ctx_.clock, m.ctx_.mainLoop,
               QuotaWorker::Paths{m.applicationFile(kLastUserLoginDetails),
                                  m.applicationFile(kLoginDetails),
                                  m.applicationFile(kUserQuotaDetails)},
               quotaQuery_, quotaHost_, &m.state_.control.SyncQuotaFull),
        selectivePort_(*this),
        selective_(m.applicationFile(kSelectiveSyncList), [&m] { return m.getUlmoraSyncRootPath(); },
                   selectivePort_, m.ctx_.mainLoop,
                   &m.state_.control.refreshSS,
                   &m.state_.control.selectivesyncCalledDuringReinitialization),
        runs_(m.enginePath_, [&m] { return m.craeteUserInfoObject(); },
              m.applicationFile(kProxySettings), selective_, m.ctx_.mainLoop),
        eventsPort_(m),
        events_(AccountEvents::Paths{m.applicationFile(kLastUserLoginDetails),
                                     m.applicationFile(kLoginDetails)},
                eventsPort_, m.ctx_.mainLoop),
        recent_(m.applicationFile(kRecentItems)),
        activity_(m.applicationFile(kActivityLogFolder), m.applicationFile(kSessionLogsFolder),
                  m.ctx_.clock),
        finder_([&m] { return m.getUlmoraSyncRootPath(); },
                [&m]() -> std::shared_ptr<CompanionMessenger> {
                  SyncControllerOwner* o = m.owner();
                  return o != nullptr ? o->finderMessenger() : nullptr;
                },
                m.ctx_.poster != nullptr ? *m.ctx_.poster : noPoster_),
        accountDetails_(ScriptController::Options{&m.ctx_.mainLoop, std::nullopt, "",
                                                  std::chrono::seconds(60)}) {
    accountDetails_.setDelegate(this);
    versions_.setExecutorPath(m.enginePath_);
    versions_.setDelegate(this);
    versions_.setHost(this);
  }

  ~ControlRoom() override { stop(); }

  // ScriptControllerDelegate (the account-details client, on the main loop)
  void didScriptControllerFinishedSuccessfully(const PropertyList& reply, ScriptController& client) override {
    events_.didScriptControllerFinishedSuccessfully(reply, &client == &accountDetails_);
  }
  void connectionError(const std::string&, ScriptController&) override {}
  void parsingFailedWithError(const std::string& error, ScriptController&) override {
    events_.parsingFailedWithError(error);
  }
  // VersionRestoreHost
  void VersionRestoreStarted() override { finder_.VersionRestoreStarted(); }
  void VersionRestoreEnded() override { finder_.VersionRestoreEnded(); }
  std::string syncRootPath() override { return m_.getUlmoraSyncRootPath(); }

  // Ends this concern's threads and runs; the collaborators stay whole for
  // the last callbacks of the other concerns. Idempotent.
  void stop() {
    if (folderWatch_) folderWatch_->invalidate();
    runs_.stopAll();
    quota_.stop();
    accountDetails_.cancel();
  }

  // Stopping a manager waits for its engines, so it happens on the worker,
  // not the main loop. A download engine may write until it has stopped: the
  // half-received files are removed once it has. While this runs the pause
  // ticks leave the download alone.
  static void stopManager(MainSyncController& m, KVTBackupManager* mgr, bool download) {
    if (download) m.cancelInFlight_ = true;
    m.postToWorker([&m, mgr, download] {
      mgr->CancelBackupProcess(false);
      if (!download) return;
      m.ctx_.mainLoop.post(m.guard_.wrap([&m] {
        m.cancelInFlight_ = false;
        m.serverRoad_->downloads().deleteHalfRestoredFiles();
      }));
    });
  }

  std::shared_ptr<CompanionMessenger> monitor() const {
    SyncControllerOwner* o = m_.owner();
    return o != nullptr ? o->monitorMessenger() : nullptr;
  }

  // ------------------------------------------------------------ ports

  class ControlPort final : public AccountControlPort {
   public:
    explicit ControlPort(MainSyncController& m) : m_(m) {}

    std::atomic<bool>* flagField(Flag f) {
      AccountState& s = m_.state_;
      switch (f) {
        case Flag::ListingStartedFromZeroIndex: return &s.cycle.listingStartedfromZeroIndex;
        case Flag::ShouldRestoreFileDirectly: return &s.server.shouldRestoreFileDirectly;
        case Flag::ExcuteEventsCapturedRunning: return &s.push.ExcuteEventsCapturedrunning;
        case Flag::IsRestoreCanceldDuringListing: return &s.server.isRestoreCanceldDuringListing;
        case Flag::IsItemsFoundDuringListing: return &s.server.isItemsFoundDuringListing;
        case Flag::NotificationFileRead: return &s.cycle.notificationfileRead;
        case Flag::AccountLoggedOutUnlinked:
        case Flag::DuringPauseGotPns: break;
      }
      return nullptr;
    }
    // The flags of the main loop alone.
    bool* loopFlag(Flag f) {
      bool* own = nullptr;
      if (f == Flag::AccountLoggedOutUnlinked) own = &m_.state_.cycle.mAccountLoggedOutUnlinked;
      if (f == Flag::DuringPauseGotPns) own = &m_.state_.cycle.duringPauseGotPns;
      if (own != nullptr) ULMORA_DCHECK_ON_LOOP(m_.ctx_.mainLoop);
      return own;
    }
    bool flag(Flag f) override {
      if (bool* own = loopFlag(f)) return *own;
      return flagField(f)->load();
    }
    void setFlag(Flag f, bool value) override {
      if (bool* own = loopFlag(f)) {
        *own = value;
        return;
      }
      flagField(f)->store(value);
    }
    void setIndexingWithZeroToAvoidRefId(const std::string& value) override {
      std::lock_guard<std::mutex> hold(m_.state_.server.mutex);
      m_.state_.server.mIndexingWithZeroToAvoidRefId = value;
    }
    void setPreviousIndexStr(const std::string& value) override {
      std::lock_guard<std::mutex> hold(m_.state_.server.mutex);
      m_.state_.server.mPreviousIndexStr = value;
    }
    // The count of queued uploads is the event journal's; a reinitialise
    // starts it again.
    void setBackupFilesCount(int64_t count) override {
      if (count == 0 && m_.ctx_.eventJournal != nullptr) m_.ctx_.eventJournal->resetBackupCount();
    }
    void setReinitializeState(bool state) override { m_.setReinitializeState(state); }
    bool hasSyncUserName() override { return !m_.settings_->values().guserName.empty(); }

    KVTBackupManager* manager(Worker w) {
      if (w == Worker::Download) return m_.mRestoreManager_.get();
      if (w == Worker::Upload) return m_.mBackupManager_.get();
      return nullptr;
    }
    bool isPresent(Worker w) override {
      switch (w) {
        case Worker::Listing: return m_.mSynListingController_ != nullptr;
        // The push concern's workers, cancelled through it.
        case Worker::RenameDelete:
        case Worker::CreateFolder: return m_.push_ != nullptr;
        default: return manager(w) != nullptr;
      }
    }
    bool isRunning(Worker w) override {
      switch (w) {
        case Worker::Listing: return m_.mSynListingController_ && m_.mSynListingController_->isRunning();
        case Worker::RenameDelete: return m_.state_.push.ExcuteEventsCapturedrunning;
        case Worker::CreateFolder: return m_.state_.push.createDirRunning;
        default: return manager(w) != nullptr && manager(w)->isRunning();
      }
    }
    void setCancel(Worker w) override {
      if (KVTBackupManager* mgr = manager(w)) {
        mgr->setCancel(true);
      } else if (w == Worker::Listing) {
        if (m_.mSynListingController_) m_.mSynListingController_->setCancel(true);
      } else if (w == Worker::RenameDelete) {
        m_.cancelRenameDeleteRun();
      } else if (w == Worker::CreateFolder) {
        m_.cancelCreateDirRun();
      }
    }
    void cancelBackupProcess(Worker w) override {
      if (KVTBackupManager* mgr = manager(w)) stopManager(m_, mgr, w == Worker::Download);
    }
    void cancelListing() override {
      if (m_.mSynListingController_) m_.mSynListingController_->cancel();
    }
    void stopOtherEngineRuns() override {
      if (m_.controlRoom_) m_.controlRoom_->runs_.cancelAll();
    }
    void setUploadThrottle(const std::string& value) override {
      if (!m_.mBackupManager_) return;
      m_.mBackupManager_->setBandwidthThrottleValue(value);
      // The first open tick puts the account's throttle back.
      ULMORA_DCHECK_ON_LOOP(m_.ctx_.mainLoop);
      m_.state_.cycle.throttleHeld = true;
    }
    // The held upload's progress goes on from what it had reached.
    void giveUploadPreviousTransferredSize() override {
      if (m_.mBackupManager_)
        m_.mBackupManager_->SetPreviousTransferedSize(m_.progress_->tracker().PreviousTransferedSizeForBackupMainSync());
    }
    void setUploadStartTime(int64_t seconds) override {
      if (m_.mBackupManager_) m_.mBackupManager_->SetStartTime(static_cast<double>(seconds));
    }
    void addNotificationFilesInfo() override { m_.ctx_.inputQueue.addNotificationFilesInfo(); }
    bool hasPendingDownloads() override { return m_.ctx_.inputQueue.isAnyDownloadPending(); }
    void stopListingAndAddNotificationFile() override { m_.serverRoad_->listing().StopListingAndAddNotificationFile(); }
    void deleteHalfRestoredFiles() override { m_.serverRoad_->downloads().deleteHalfRestoredFiles(); }
    void ClearRestoreRelatedFileEntries() override {
      m_.serverRoad_->downloads().ClearRestoreRelatedFileEntries();
    }
    void stopDBSyncInput() override { m_.ctx_.inputQueue.stopDBSyncInput(); }
    bool isPeriodicTimerValid() override { return m_.PNSPeriodicTimer_ && m_.PNSPeriodicTimer_->isValid(); }
    void invalidatePeriodicTimer() override {
      if (m_.PNSPeriodicTimer_) m_.PNSPeriodicTimer_->invalidate();
      m_.PNSPeriodicTimer_.reset();
    }
    void schedulePeriodicTimer() override { m_.schedulePeriodicListeningTimer(); }
    bool isSyncOperationTimerValid() override {
      return m_.syncOperationTimer_ && m_.syncOperationTimer_->isValid();
    }
    void invalidateSyncOperationTimer() override {
      if (m_.syncOperationTimer_) m_.syncOperationTimer_->invalidate();
      m_.syncOperationTimer_.reset();
    }
    void invalidateKeepAliveTimer() override {
      if (m_.DummyPNSTimer_) m_.DummyPNSTimer_->invalidate();
      m_.DummyPNSTimer_.reset();
    }
    void cancelAllSyncTimers() override { m_.cancelAllSyncTimers(); }
    void setEnableListeningNotifications(bool enable) override {
      m_.setEnableListeningNotifications(enable);
    }
    int shouldSync() override { return m_.shouldSync(); }
    void startListing(int64_t index) override {
      if (!m_.mSynListingController_) return;
      m_.setUserAndProxyToObject(*m_.mSynListingController_);
      m_.serverRoad_->listing().changeListingStarting(index == 0);
      m_.mSynListingController_->startListingWithIndexNumber(index);
    }
    void writeSessionLine(const std::string& line) override {
      QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(line, true);
    }
    bool takeSelectiveSyncRefresh() override { return m_.state_.control.refreshSS.exchange(false); }
    void selectiveSyncModefied() override { m_.selectiveSyncModefied(); }
    void setMonitorToolTip(const std::string& status) override { m_.progress_->status().setMonitorToolTip(status); }

   private:
    MainSyncController& m_;
  };

  class QuotaPort final : public QuotaHost {
   public:
    explicit QuotaPort(MainSyncController& m) : m_(m) {}
    std::shared_ptr<CompanionMessenger> monitorMessenger() override {
      SyncControllerOwner* o = m_.owner();
      return o != nullptr ? o->monitorMessenger() : nullptr;
    }
    void setQuotaFull(bool full) override { m_.progress_->status().setQuotaFull(full); }
    // Waiting for the merge blocks: not on the main loop.
    void queryMainDB(bool) override { m_.postToWorker([this] { m_.queryMainDB(1); }); }
    std::string syncUserName() override { return m_.accountSettings().values().guserName; }
    std::string accountUserName() override { return m_.accountSettings().values().gUlmoraUserName; }

   private:
    MainSyncController& m_;
  };

  class SelectivePort final : public SelectiveSyncPort {
   public:
    explicit SelectivePort(ControlRoom& room) : room_(room), m_(room.m_) {}
    bool isReinitializing() override { return m_.state_.cycle.isReinitialize; }
    bool isPaused() override {
      auto details = PropertyList::readFile(m_.applicationFile(kLastUserLoginDetails));
      const PropertyList* pause = details ? details->find("Pause") : nullptr;
      return pause != nullptr && pause->integerValue() == 1;
    }
    bool isNetworkAvailable() override { return m_.isNWAvailable(); }
    std::vector<std::string> pendingUploads() override {
      return m_.ctx_.inputQueue.CheckifBackupFilesPending();
    }
    void clearForSelectiveSync() override { m_.ctx_.inputQueue.clearForSelectiveSync(); }
    void cancelTransfers() override {
      if (m_.mBackupManager_) stopManager(m_, m_.mBackupManager_.get(), false);
      if (m_.mRestoreManager_) stopManager(m_, m_.mRestoreManager_.get(), true);
      const std::string entries = m_.applicationFile(kRestoreFileEntries);
      if (!entries.empty() && fileutil::exists(entries)) ::unlink(entries.c_str());
    }
    bool hasDownloads() override {
      return m_.ctx_.inputQueue.isAnyDownloadPending() || m_.mRestoreManager_->isRunning();
    }
    void listDroppedDownloadsAgain() override {
      {
        std::lock_guard<std::mutex> hold(m_.state_.server.mutex);
        m_.state_.server.mPreviousIndexStr.clear();
      }
      m_.ctx_.inputQueue.addNotificationFilesInfo();
    }
    void queueUpload(const std::string& relativePath) override {
      m_.ctx_.inputQueue.addFileToBackup(relativePath);
      m_.ctx_.inputQueue.addBackupFiles(SyncRootPath(m_.getUlmoraSyncRootPath()).full(relativePath));
    }
    // Waiting for the merge blocks: not on the main loop.
    void requeuePendingUploads() override { m_.postToWorker([this] { m_.queryMainDB(1); }); }
    void queueDownload(const std::string& relativePath, const std::string& refId,
                       const std::string& size) override {
      m_.ctx_.inputQueue.addFileToUpdate({{relativePath, refId}});
      m_.ctx_.collections.addToAvoidBackup(relativePath);
      m_.ctx_.inputQueue.addRestoreFiles({{relativePath, size}});
      m_.ctx_.collections.addToAvoidDelete(relativePath, size);
    }
    bool moveFromCache(const std::string& relativePath, const std::string& modTime,
                       const std::string& size, const std::string& refId) override {
      return m_.serverRoad_->cache().moveFromCache(LocalCache::Wanted{relativePath, modTime, size, refId});
    }
    void startSearch(const std::string& folder) override { room_.runs_.startSearch(folder); }
    // Through the guarded file road (no link followed, nothing outside the
    // root); a folder whose parent is missing is not made.
    void createFolder(const std::string& fullPath) override {
      const SyncRootFiles& files = m_.syncRootFiles();
      const std::optional<std::string> rel = files.checkQuietly(fullPath);
      if (!rel || !SyncRootPath(m_.getUlmoraSyncRootPath()).isFullPath(fullPath)) return;
      const std::string parent = fileutil::parentPath(*rel);
      if (parent != "/") {
        const std::optional<SyncRootFiles::Info> above = files.info(parent);
        if (!above || !above->isFolder) return;
      }
      files.makeFolders(*rel);  // a failure is not a problem here
    }
    bool exists(const std::string& fullPath) override { return fileutil::exists(fullPath); }
    bool containsFile(const std::string& fullPath) override {
      return QLUtility::doesContainsFile(fullPath);
    }
    fileutil::RenameResult moveAside(const std::string& from, const std::string& to) override {
      switch (m_.syncRootFiles().move(from, to, false)) {
        case SyncRootFiles::MoveResult::kMoved: return fileutil::RenameResult::kOk;
        case SyncRootFiles::MoveResult::kTargetExists: return fileutil::RenameResult::kTargetExists;
        default: return fileutil::RenameResult::kFailed;
      }
    }
    void addToExclude(const std::string& p) override { m_.ctx_.collections.addToExclude(p); }
    void removeFromExclude(const std::string& p) override { m_.ctx_.collections.removeFromExclude(p); }
    void enumerateForUpload(const std::vector<std::string>& paths) override { room_.runs_.enumerate(paths); }
    void setMonitorToolTip(const std::string& s) override { m_.progress_->status().setMonitorToolTip(s); }
    void removeItemFromToolTipFor(const std::string& s) override { m_.progress_->status().removeItemFromToolTipFor(s); }
    void sendMonitorMessage(int type) override {
      if (auto monitor = room_.monitor()) monitor->sendIPCMessage(PropertyList(std::string()), type, false);
    }

   private:
    ControlRoom& room_;
    MainSyncController& m_;
  };

  class EventsPort final : public AccountEventsPort {
   public:
    explicit EventsPort(MainSyncController& m) : m_(m) {}
    void requestAccountDetails() override {
      ControlRoom& room = *m_.controlRoom_;
      const User user = m_.craeteUserInfoObject();
      if (!user.webServer().empty()) room.accountDetails_.setServiceHost(user.webServer());
      const auto values = m_.settings_->values();
      room.accountDetails_.getAccountDetails(values.guserName, values.gPasswordString);
    }
    void reloadSettings() override { m_.setUserData(); }
    void queryMainDB(bool) override { m_.postToWorker([this] { m_.queryMainDB(0); }); }
    void exitProcess(int) override {
      // The agent's stop signal writes what is queued and ends it; the
      // service manager starts it again (contrib/ulmora-agent.service).
      QLBackupProgressLogger::progressLogger().flushAll();
      ::kill(::getpid(), SIGTERM);
    }
    bool takeRestartDueToMaintenance() override {
      return m_.state_.server.isDamonRestartDueToAccountMaintanence.exchange(false);
    }
    bool accountLoggedOutUnlinked() override {
      ULMORA_DCHECK_ON_LOOP(m_.ctx_.mainLoop);
      return m_.state_.cycle.mAccountLoggedOutUnlinked;
    }
    void setMonitorToolTip(const std::string& s) override { m_.progress_->status().setMonitorToolTip(s); }
    void showDesktopPushNotification(const std::string& code) override {
      m_.progress_->status().showDesktopPushNotification(code);
    }
    void sendCurrentSyncStatus() override { m_.progress_->status().sendCurrentSyncStatus(); }
    std::shared_ptr<CompanionMessenger> monitorMessenger() override {
      SyncControllerOwner* o = m_.owner();
      return o != nullptr ? o->monitorMessenger() : nullptr;
    }

   private:
    MainSyncController& m_;
  };

  // A missing sync folder is reported once; this watch notices its return,
  // so that a later loss is reported again.
  void watchSyncFolder() {
    if (folderWatch_ && folderWatch_->isValid()) return;
    folderWatch_ = m_.ctx_.mainLoop.scheduleTimer(
        kSyncFolderWatch, true, m_.guard_.wrap([this](RunLoopTimer& timer) {
          if (!fileutil::isDirectory(m_.getUlmoraSyncRootPath())) return;
          events_.syncFolderFound();
          timer.invalidate();
        }));
  }

  MainSyncController& m_;
  NoPoster noPoster_;
  ControlPort controlPort_;
  AccountControl control_;
  EngineQuotaQuery quotaQuery_;
  QuotaPort quotaHost_;
  QuotaWorker quota_;
  SelectivePort selectivePort_;
  SelectiveSync selective_;
  SelectiveSyncRuns runs_;
  EventsPort eventsPort_;
  AccountEvents events_;
  RecentItems recent_;
  ActivityLog activity_;
  FinderLists finder_;
  ScriptController accountDetails_;
  UMVersionController versions_;
  std::shared_ptr<RunLoopTimer> folderWatch_;
};

void MainSyncController::buildControl() {
  controlRoom_ = std::make_shared<ControlRoom>(*this);
  initializeSelctiveSyncSet();
}

void MainSyncController::stopControl() {
  if (controlRoom_) controlRoom_->stop();
}

// ---------------------------------------------------------------- 6.115

void MainSyncController::PauseSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->control_.PauseSync();
}
void MainSyncController::ResumeSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->control_.ResumeSync();
}
void MainSyncController::UnlinkSync() {}
void MainSyncController::stopSyncForUnlink(bool unlink) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  // A start or listing still waiting for the settings would revive the
  // account after its stop.
  afterSettings_.clear();
  controlRoom_->control_.stopSyncForUnlink(unlink);
}
void MainSyncController::accountLoggedOutWithUnlink(bool unlink) {
  controlRoom_->control_.accountLoggedOutWithUnlink(unlink);
}
void MainSyncController::ReinitializeSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->control_.ReinitializeSync();
}
void MainSyncController::clearEventCounts() { controlRoom_->control_.clearEventCounts(); }
void MainSyncController::removeInstallerRef() { controlRoom_->control_.removeInstallerRef(); }
void MainSyncController::cancelAllSyncOperations() { controlRoom_->control_.cancelAllSyncOperations(); }
void MainSyncController::startSyncListingAllFiles(int mode) {
  afterSettingsEncoded([this, mode] { controlRoom_->control_.startSyncListingAllFiles(mode); });
}
void MainSyncController::resetToolTips() { controlRoom_->control_.resetToolTips(); }
void MainSyncController::clearRestoreForPause() { controlRoom_->control_.clearRestoreForPause(); }

// ---------------------------------------------------------------- 6.116

void MainSyncController::runCalQuotaInThread(const std::string& mode) {
  // The quota thread is made by the first start and kept for the later ones.
  controlRoom_->quota_.start();
  controlRoom_->quota_.runCalQuotaInThread(mode);
}
void MainSyncController::RecalculateQuota() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->quota_.start();
  controlRoom_->quota_.RecalculateQuota();
}
void MainSyncController::setQuotaToPlist() { controlRoom_->quota_.setQuotaToPlist(); }

// ---------------------------------------------------------------- 6.117

void MainSyncController::initializeSelctiveSyncSet() { controlRoom_->selective_.initializeSelctiveSyncSet(); }
void MainSyncController::selectiveSyncModefied() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  afterSettingsEncoded([this] { controlRoom_->selective_.selectiveSyncModefied(); });
}
void MainSyncController::searchPendingSSFolder() { controlRoom_->selective_.searchPendingSSFolder(); }
void MainSyncController::updateSSWindowRefresh() { controlRoom_->selective_.updateSSWindowRefresh(); }
bool MainSyncController::checkForFileisUnderSSyncSet(const std::string& relativePath) const {
  return controlRoom_->selective_.checkForFileisUnderSSyncSet(relativePath);
}
bool MainSyncController::checkForFileMatchesSSyncSet(const std::string& relativePath) const {
  return controlRoom_->selective_.checkForFileMatchesSSyncSet(relativePath);
}

// ---------------------------------------------------------------- 6.118

void MainSyncController::HandleAccountUnderMaintainence() {
  controlRoom_->events_.HandleAccountUnderMaintainence();
}
void MainSyncController::getLoginDetailForUlmoraSyncUser() {
  controlRoom_->events_.getLoginDetailForUlmoraSyncUser();
}
void MainSyncController::passwordChangedFromWeb() { controlRoom_->events_.passwordChangedFromWeb(); }
void MainSyncController::sendToolTip() { controlRoom_->events_.sendToolTip(); }
void MainSyncController::ifSyncFolderDoNotExist() {
  controlRoom_->events_.ifSyncFolderDoNotExist();
  controlRoom_->watchSyncFolder();
}
void MainSyncController::notAbleTOCreateFolderAtPath() {
  controlRoom_->events_.notAbleTOCreateFolderAtPath();
  controlRoom_->watchSyncFolder();
}
bool MainSyncController::AreAllToBeExcluded(const std::vector<RenameEntry>& renames) {
  return AccountEvents::AreAllToBeExcluded(renames);
}
bool MainSyncController::AreAllToBeExcludedDelete(const std::vector<std::string>& paths) {
  return AccountEvents::AreAllToBeExcludedDelete(paths);
}
// checkFinderPid is not built: nothing calls it, and the file manager's
// integration here learns the root over its channel, not from a process id.

// ---------------------------------------------------------------- 6.119

void MainSyncController::setRecentlyModifiedItems(const std::string& path, const std::string& operation) {
  controlRoom_->recent_.setRecentlyModifiedItems(path, operation);
}
void MainSyncController::storeRecentItem(const std::string& path, int status) {
  controlRoom_->recent_.storeRecentItem(path, status);
}
void MainSyncController::addFileUpdatedFromCache(const std::string& path) {
  controlRoom_->recent_.addFileUpdatedFromCache(path);
}
void MainSyncController::clearRecentItems() { controlRoom_->recent_.clearItems(); }
void MainSyncController::sendRecentItemsList() {
  controlRoom_->recent_.sendRecentItemsList([this](const PropertyList& record, int optype, int /*state*/) {
    KVTProgressRecord line;
    line.filename = record.stringFor(RecentItems::kFileNameKey).value_or("");
    line.fileTransferedStatus = record.stringFor(KVTProgressRecord::kStatusKey).value_or("");
    progress_->tracker().sendDataToMonitor(line, optype);
  });
}
std::string MainSyncController::getFullPathFor(const std::string& path) {
  return FinderLists::getFullPathFor(path, getUlmoraSyncRootPath());
}
bool MainSyncController::sendMessageToFinder(const std::vector<std::string>& createDirCollection) {
  return controlRoom_->finder_.sendMessageToFinder(createDirCollection);
}
void MainSyncController::SendPathRootSet() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->finder_.SendPathRootSet();
}
void MainSyncController::ShowVersion(const std::string& path) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  UMVersionController& versions = controlRoom_->versions_;
  versions.setUserInfo(craeteUserInfoObject());
  versions.setProxyDetails(ProxyController(applicationFile(kProxySettings)));
  versions.showVersionHistory(path);
}
void MainSyncController::CreateXmlLogFile() { controlRoom_->activity_.CreateXmlLogFile(); }
std::string MainSyncController::constructXMLRequest() { return controlRoom_->activity_.constructXMLRequest(); }

void MainSyncController::accountSettingsChanged() {
  // The quota, searches and version runs read the account afresh each time.
}

}  // namespace ulmora
