#include "sync/control/ControlRoom.h"

#include <signal.h>
#include <unistd.h>
#include <utility>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "engine/ProxyController.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncRootPath.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "platform/ThreadCheck.h"
#include "service/SynListingController.h"
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

}  // namespace

// ------------------------------------------------------------ ports

class ControlRoom::ControlPort final : public AccountControlPort {
 public:
  explicit ControlPort(ControlRoom& r) : r_(r) {}

  // The flags the listing worker shares, each under the listing state's
  // mutex.
  static bool AccountState::Listing::*listingField(Flag f) {
    using L = AccountState::Listing;
    switch (f) {
      case Flag::ListingStartedFromZeroIndex: return &L::listingStartedfromZeroIndex;
      case Flag::ShouldRestoreFileDirectly: return &L::shouldRestoreFileDirectly;
      case Flag::IsRestoreCanceldDuringListing: return &L::isRestoreCanceldDuringListing;
      case Flag::IsItemsFoundDuringListing: return &L::isItemsFoundDuringListing;
      case Flag::NotificationFileRead: return &L::notificationfileRead;
      case Flag::AccountLoggedOutUnlinked:
      case Flag::DuringPauseGotPns:
      case Flag::ExcuteEventsCapturedRunning: break;
    }
    return nullptr;
  }
  // A worker's running flag; a cancel clears it while the worker's body
  // still winds down.
  bool workerRunning(bool WorkerRunningFlags::*flag) {
    WorkerRunningFlags& workers = r_.state_.push.workers;
    MutexLock hold(workers.mutex);
    return workers.*flag;
  }
  // The flags of the main loop alone.
  bool* loopFlag(Flag f) {
    bool* own = nullptr;
    if (f == Flag::AccountLoggedOutUnlinked) own = &r_.state_.cycle.mAccountLoggedOutUnlinked;
    if (f == Flag::DuringPauseGotPns) own = &r_.state_.cycle.duringPauseGotPns;
    if (own != nullptr) ULMORA_DCHECK_ON_LOOP(r_.mainLoop_);
    return own;
  }
  bool flag(Flag f) override {
    if (bool* own = loopFlag(f)) return *own;
    if (f == Flag::ExcuteEventsCapturedRunning) return workerRunning(&WorkerRunningFlags::ExcuteEventsCapturedrunning);
    AccountState::Listing& listing = r_.state_.listing;
    MutexLock hold(listing.mutex);
    return listing.*listingField(f);
  }
  void setFlag(Flag f, bool value) override {
    if (bool* own = loopFlag(f)) {
      *own = value;
      return;
    }
    if (f == Flag::ExcuteEventsCapturedRunning) {
      MutexLock hold(r_.state_.push.workers.mutex);
      r_.state_.push.workers.ExcuteEventsCapturedrunning = value;
      return;
    }
    AccountState::Listing& listing = r_.state_.listing;
    MutexLock hold(listing.mutex);
    listing.*listingField(f) = value;
  }
  void setIndexingWithZeroToAvoidRefId(const std::string& value) override {
    MutexLock hold(r_.state_.listing.mutex);
    r_.state_.listing.mIndexingWithZeroToAvoidRefId = value;
  }
  void setPreviousIndexStr(const std::string& value) override {
    MutexLock hold(r_.state_.listing.mutex);
    r_.state_.listing.mPreviousIndexStr = value;
  }
  // The count of queued uploads is the event journal's; a reinitialise
  // starts it again.
  void setBackupFilesCount(int64_t count) override {
    if (count == 0 && r_.eventJournal_ != nullptr) r_.eventJournal_->resetBackupCount();
  }
  void setReinitializeState(bool state) override {
    MutexLock hold(r_.state_.listing.mutex);
    r_.state_.listing.isReinitialize = state;
  }
  bool hasSyncUserName() override { return !r_.settings_.values().guserName.empty(); }

  KVTBackupManager* manager(Worker w) {
    if (w == Worker::Download) return &r_.downloadManager_;
    if (w == Worker::Upload) return &r_.uploadManager_;
    return nullptr;
  }
  bool isPresent(Worker w) override {
    // The push concern's workers are built with the controller and
    // cancelled through it.
    if (w == Worker::Listing) return r_.account_.liveChangeListing() != nullptr;
    return true;
  }
  bool isRunning(Worker w) override {
    switch (w) {
      case Worker::Listing: {
        SynListingController* listing = r_.account_.liveChangeListing();
        return listing != nullptr && listing->isRunning();
      }
      case Worker::RenameDelete: return workerRunning(&WorkerRunningFlags::ExcuteEventsCapturedrunning);
      case Worker::CreateFolder: return workerRunning(&WorkerRunningFlags::createDirRunning);
      default: return manager(w)->isRunning();
    }
  }
  void setCancel(Worker w) override {
    if (KVTBackupManager* mgr = manager(w)) {
      mgr->setCancel(true);
    } else if (w == Worker::Listing) {
      if (SynListingController* listing = r_.account_.liveChangeListing()) listing->setCancel(true);
    } else if (w == Worker::RenameDelete) {
      r_.account_.cancelRenameDeleteRun();
    } else if (w == Worker::CreateFolder) {
      r_.account_.cancelCreateDirRun();
    }
  }
  void cancelBackupProcess(Worker w) override {
    if (w == Worker::Download) r_.pause_.stopDownload();
    if (w == Worker::Upload) r_.pause_.stopUpload();
  }
  void cancelListing() override {
    if (SynListingController* listing = r_.account_.liveChangeListing()) listing->cancel();
  }
  void stopOtherEngineRuns() override { r_.runs_.cancelAll(); }
  void setUploadThrottle(const std::string& value) override {
    // A hold lasts until the first open tick puts the account's throttle back.
    if (value == "-1") {
      r_.pause_.holdUpload();
    } else {
      r_.uploadManager_.setBandwidthThrottleValue(value);
    }
  }
  // The held upload's progress goes on from what it had reached.
  void giveUploadPreviousTransferredSize() override {
    r_.uploadManager_.SetPreviousTransferedSize(r_.progress_.tracker().PreviousTransferedSizeForBackupMainSync());
  }
  void setUploadStartTime(int64_t seconds) override {
    r_.uploadManager_.SetStartTime(static_cast<double>(seconds));
  }
  void addNotificationFilesInfo() override { r_.queue_.addNotificationFilesInfo(); }
  bool hasPendingDownloads() override { return r_.queue_.isAnyDownloadPending(); }
  void stopListingAndAddNotificationFile() override { r_.account_.stopListingAndAddNotificationFile(); }
  void deleteHalfRestoredFiles() override { r_.account_.deleteHalfRestoredFiles(); }
  void ClearRestoreRelatedFileEntries() override { r_.account_.ClearRestoreRelatedFileEntries(); }
  void stopDBSyncInput() override { r_.queue_.stopDBSyncInput(); }
  bool isPeriodicTimerValid() override { return r_.timers_.isPeriodicTimerValid(); }
  void invalidatePeriodicTimer() override { r_.timers_.invalidatePeriodicTimer(); }
  void schedulePeriodicTimer() override { r_.timers_.schedulePeriodicTimer(); }
  bool isSyncOperationTimerValid() override { return r_.timers_.isSyncOperationTimerValid(); }
  void invalidateSyncOperationTimer() override { r_.timers_.invalidateSyncOperationTimer(); }
  void invalidateKeepAliveTimer() override { r_.timers_.invalidateKeepAliveTimer(); }
  void cancelAllSyncTimers() override { r_.timers_.cancelAllSyncTimers(); }
  void setEnableListeningNotifications(bool enable) override { r_.account_.setEnableListeningNotifications(enable); }
  int shouldSync() override { return r_.account_.shouldSync(); }
  void startListing(int64_t index) override { r_.account_.startChangeListing(index); }
  void writeSessionLine(const std::string& line) override {
    QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(line, true);
  }
  bool takeSelectiveSyncRefresh() override {
    MutexLock hold(r_.state_.control.shared.mutex);
    return std::exchange(r_.state_.control.shared.refreshSS, false);
  }
  void selectiveSyncModefied() override { r_.account_.selectiveSyncModefied(); }
  void setMonitorToolTip(const std::string& status) override { r_.progress_.status().setMonitorToolTip(status); }

 private:
  ControlRoom& r_;
};

class ControlRoom::QuotaPort final : public QuotaHost {
 public:
  explicit QuotaPort(ControlRoom& r) : r_(r) {}
  std::shared_ptr<CompanionMessenger> monitorMessenger() override { return r_.monitor(); }
  void setQuotaFull(bool full) override { r_.progress_.status().setQuotaFull(full); }
  void queryMainDB(bool) override { r_.account_.queryMainDBOnWorker(1); }
  std::string syncUserName() override { return r_.settings_.values().guserName; }
  std::string accountUserName() override { return r_.settings_.values().gUlmoraUserName; }

 private:
  ControlRoom& r_;
};

class ControlRoom::SelectivePort final : public SelectiveSyncPort {
 public:
  explicit SelectivePort(ControlRoom& r) : r_(r) {}
  bool deferToReinitialise() override {
    AccountState::Listing& listing = r_.state_.listing;
    MutexLock hold(listing.mutex);
    if (listing.isReinitialize) listing.selectivesyncCalledDuringReinitialization = true;
    return listing.isReinitialize;
  }
  void setRefreshSS() override {
    MutexLock hold(r_.state_.control.shared.mutex);
    r_.state_.control.shared.refreshSS = true;
  }
  bool refreshSS() override {
    MutexLock hold(r_.state_.control.shared.mutex);
    return r_.state_.control.shared.refreshSS;
  }
  bool isPaused() override {
    auto details = PropertyList::readFile(r_.applicationFile(kLastUserLoginDetails));
    const PropertyList* pause = details ? details->find("Pause") : nullptr;
    return pause != nullptr && pause->integerValue() == 1;
  }
  bool isNetworkAvailable() override { return r_.account_.isNWAvailable(); }
  std::vector<std::string> pendingUploads() override { return r_.queue_.CheckifBackupFilesPending(); }
  void clearForSelectiveSync() override { r_.queue_.clearForSelectiveSync(); }
  void cancelTransfers() override {
    r_.pause_.stopUpload();
    r_.pause_.stopDownload();
    const std::string entries = r_.applicationFile(kRestoreFileEntries);
    if (!entries.empty() && fileutil::exists(entries)) ::unlink(entries.c_str());
  }
  bool hasDownloads() override { return r_.queue_.isAnyDownloadPending() || r_.downloadManager_.isRunning(); }
  void listDroppedDownloadsAgain() override {
    {
      MutexLock hold(r_.state_.listing.mutex);
      r_.state_.listing.mPreviousIndexStr.clear();
    }
    r_.queue_.addNotificationFilesInfo();
  }
  void queueUpload(const std::string& relativePath) override {
    r_.queue_.addFileToBackup(relativePath);
    r_.queue_.addBackupFiles(SyncRootPath(r_.account_.getUlmoraSyncRootPath()).full(relativePath));
  }
  // Waiting for the merge blocks: not on the main loop.
  void requeuePendingUploads() override { r_.account_.queryMainDBOnWorker(1); }
  void queueDownload(const std::string& relativePath, const std::string& refId, const std::string& size) override {
    r_.queue_.addFileToUpdate({{relativePath, refId}});
    r_.filters_.addToAvoidBackup(relativePath);
    r_.queue_.addRestoreFiles({{relativePath, size}});
    r_.filters_.addToAvoidDelete(relativePath, size);
  }
  bool moveFromCache(const std::string& relativePath, const std::string& modTime, const std::string& size,
                     const std::string& refId) override {
    return r_.account_.moveFromCache(relativePath, modTime, size, refId);
  }
  void startSearch(const std::string& folder) override { r_.runs_.startSearch(folder); }
  // Through the guarded file road (no link followed, nothing outside the
  // root); a folder whose parent is missing is not made.
  void createFolder(const std::string& fullPath) override {
    const SyncRootFiles& files = r_.account_.syncRootFiles();
    const std::optional<std::string> rel = files.checkQuietly(fullPath);
    if (!rel || !SyncRootPath(r_.account_.getUlmoraSyncRootPath()).isFullPath(fullPath)) return;
    const std::string parent = fileutil::parentPath(*rel);
    if (parent != "/") {
      const std::optional<SyncRootFiles::Info> above = files.info(parent);
      if (!above || !above->isFolder) return;
    }
    files.makeFolders(*rel);  // a failure is not a problem here
  }
  bool exists(const std::string& fullPath) override { return fileutil::exists(fullPath); }
  bool containsFile(const std::string& fullPath) override { return QLUtility::doesContainsFile(fullPath); }
  fileutil::RenameResult moveAside(const std::string& from, const std::string& to) override {
    switch (r_.account_.syncRootFiles().move(from, to, false)) {
      case SyncRootFiles::MoveResult::kMoved: return fileutil::RenameResult::kOk;
      case SyncRootFiles::MoveResult::kTargetExists: return fileutil::RenameResult::kTargetExists;
      default: return fileutil::RenameResult::kFailed;
    }
  }
  void addToExclude(const std::string& p) override { r_.filters_.addToExclude(p); }
  void removeFromExclude(const std::string& p) override { r_.filters_.removeFromExclude(p); }
  void enumerateForUpload(const std::vector<std::string>& paths) override { r_.runs_.enumerate(paths); }
  void setMonitorToolTip(const std::string& s) override { r_.progress_.status().setMonitorToolTip(s); }
  void removeItemFromToolTipFor(const std::string& s) override { r_.progress_.status().removeItemFromToolTipFor(s); }
  void sendMonitorMessage(int type) override {
    if (auto monitor = r_.monitor()) monitor->sendIPCMessage(PropertyList(std::string()), type, false);
  }

 private:
  ControlRoom& r_;
};

class ControlRoom::EventsPort final : public AccountEventsPort {
 public:
  explicit EventsPort(ControlRoom& r) : r_(r) {}
  void requestAccountDetails() override {
    const User user = r_.account_.craeteUserInfoObject();
    if (!user.webServer().empty()) r_.accountDetails_.setServiceHost(user.webServer());
    const auto values = r_.settings_.values();
    r_.accountDetails_.getAccountDetails(values.guserName, values.gPasswordString);
  }
  void reloadSettings() override { r_.account_.setUserData(); }
  void queryMainDB(bool) override { r_.account_.queryMainDBOnWorker(0); }
  void exitProcess(int) override {
    // The agent's stop signal writes what is queued and ends it; the
    // service manager starts it again (contrib/ulmora-agent.service).
    QLBackupProgressLogger::progressLogger().flushAll();
    ::kill(::getpid(), SIGTERM);
  }
  bool takeRestartDueToMaintenance() override {
    MutexLock hold(r_.state_.listing.mutex);
    return std::exchange(r_.state_.listing.isDamonRestartDueToAccountMaintanence, false);
  }
  bool accountLoggedOutUnlinked() override {
    ULMORA_DCHECK_ON_LOOP(r_.mainLoop_);
    return r_.state_.cycle.mAccountLoggedOutUnlinked;
  }
  void setMonitorToolTip(const std::string& s) override { r_.progress_.status().setMonitorToolTip(s); }
  void showDesktopPushNotification(const std::string& code) override {
    r_.progress_.status().showDesktopPushNotification(code);
  }
  void sendCurrentSyncStatus() override { r_.progress_.status().sendCurrentSyncStatus(); }
  std::shared_ptr<CompanionMessenger> monitorMessenger() override { return r_.monitor(); }

 private:
  ControlRoom& r_;
};

class ControlRoom::PausePort final : public PauseHoldPort {
 public:
  explicit PausePort(ControlRoom& r) : r_(r) {}
  void dropQueuedDownloads() override { r_.control_.clearRestoreForPause(); }
  void deleteHalfRestoredFiles() override { r_.account_.deleteHalfRestoredFiles(); }
  void listAgain() override { r_.queue_.addNotificationFilesInfo(); }

 private:
  ControlRoom& r_;
};

// ------------------------------------------------------------ the room

ControlRoom::ControlRoom(Parts p)
    : files_(p.files),
      enginePath_(std::move(p.enginePath)),
      mainLoop_(p.mainLoop),
      queue_(p.queue),
      filters_(p.filters),
      eventJournal_(p.eventJournal),
      state_(p.state),
      settings_(p.settings),
      progress_(p.progress),
      uploadManager_(p.uploadManager),
      downloadManager_(p.downloadManager),
      timers_(p.timers),
      account_(p.account),
      controlPort_(std::make_unique<ControlPort>(*this)),
      quotaPort_(std::make_unique<QuotaPort>(*this)),
      selectivePort_(std::make_unique<SelectivePort>(*this)),
      eventsPort_(std::make_unique<EventsPort>(*this)),
      pausePort_(std::make_unique<PausePort>(*this)),
      control_(AccountControl::Paths{indexFilePath(applicationFile(kRootUserFolder)), applicationFile(kListingFiles),
                                     applicationFile(kListingDeleteFiles), applicationFile(kRestoreFolder),
                                     applicationFile(kInstallerRef)},
               *controlPort_, p.clock, p.mainLoop),
      pause_(PauseHold::Parts{p.uploadManager, p.downloadManager, p.mainLoop, p.worker, p.state, p.settings, p.timers,
                              *pausePort_}),
      quotaQuery_(enginePath_, [this] { return account_.craeteUserInfoObject(); }, applicationFile(kProxySettings)),
      quota_(p.clock, p.mainLoop,
             QuotaWorker::Paths{applicationFile(kLastUserLoginDetails), applicationFile(kLoginDetails),
                                applicationFile(kUserQuotaDetails)},
             quotaQuery_, *quotaPort_),
      selective_(applicationFile(kSelectiveSyncList), [this] { return account_.getUlmoraSyncRootPath(); },
                 *selectivePort_, p.mainLoop),
      runs_(enginePath_, [this] { return account_.craeteUserInfoObject(); }, applicationFile(kProxySettings),
            selective_, p.mainLoop),
      events_(AccountEvents::Paths{applicationFile(kLastUserLoginDetails), applicationFile(kLoginDetails)},
              *eventsPort_, p.mainLoop),
      recent_(applicationFile(kRecentItems)),
      activity_(applicationFile(kActivityLogFolder), applicationFile(kSessionLogsFolder), p.clock),
      finder_([this] { return account_.getUlmoraSyncRootPath(); },
              [this]() -> std::shared_ptr<CompanionMessenger> {
                SyncControllerOwner* o = account_.accountOwner();
                return o != nullptr ? o->finderMessenger() : nullptr;
              },
              p.poster != nullptr ? *p.poster : noPoster_),
      accountDetails_(ScriptController::Options{&p.mainLoop, std::nullopt, "", std::chrono::seconds(60)}) {
  accountDetails_.setDelegate(this);
  versions_.setExecutorPath(enginePath_);
  versions_.setDelegate(this);
  versions_.setHost(this);
  selective_.initializeSelctiveSyncSet();
}

ControlRoom::~ControlRoom() { stop(); }

void ControlRoom::stop() {
  guard_.invalidate();
  pause_.stop();
  if (folderWatch_) folderWatch_->invalidate();
  runs_.stopAll();
  quota_.stop();
  accountDetails_.cancel();
}

std::shared_ptr<CompanionMessenger> ControlRoom::monitor() {
  SyncControllerOwner* o = account_.accountOwner();
  return o != nullptr ? o->monitorMessenger() : nullptr;
}

void ControlRoom::didScriptControllerFinishedSuccessfully(const PropertyList& reply, ScriptController& client) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  events_.didScriptControllerFinishedSuccessfully(reply, &client == &accountDetails_);
}

void ControlRoom::parsingFailedWithError(const std::string& error, ScriptController&) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  events_.parsingFailedWithError(error);
}

void ControlRoom::runCalQuotaInThread(const std::string& mode) {
  quota_.start();
  quota_.runCalQuotaInThread(mode);
}

void ControlRoom::RecalculateQuota() {
  quota_.start();
  quota_.RecalculateQuota();
}

void ControlRoom::ifSyncFolderDoNotExist() {
  events_.ifSyncFolderDoNotExist();
  watchSyncFolder();
}

void ControlRoom::notAbleTOCreateFolderAtPath() {
  events_.notAbleTOCreateFolderAtPath();
  watchSyncFolder();
}

void ControlRoom::sendRecentItemsList() {
  recent_.sendRecentItemsList([this](const PropertyList& record, int optype, int /*state*/) {
    KVTProgressRecord line;
    line.filename = record.stringFor(RecentItems::kFileNameKey).value_or("");
    line.fileTransferedStatus = record.stringFor(KVTProgressRecord::kStatusKey).value_or("");
    progress_.tracker().sendDataToMonitor(line, optype);
  });
}

void ControlRoom::ShowVersion(const std::string& path) {
  versions_.setUserInfo(account_.craeteUserInfoObject());
  versions_.setProxyDetails(ProxyController(applicationFile(kProxySettings)));
  versions_.showVersionHistory(path);
}

void ControlRoom::watchSyncFolder() {
  if (folderWatch_ && folderWatch_->isValid()) return;
  folderWatch_ = mainLoop_.scheduleTimer(kSyncFolderWatch, true, guard_.wrap([this](RunLoopTimer& timer) {
    if (!fileutil::isDirectory(account_.getUlmoraSyncRootPath())) return;
    events_.syncFolderFound();
    timer.invalidate();
  }));
}

}  // namespace ulmora
