// Push messages, local renames and deletes, folder creation: the facade's
// operations of this concern, forwarded to the push handler and the two
// workers, and the ports through which they see the account.
#include <algorithm>
#include <chrono>
#include <string>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "engine/ProxyController.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/ThreadCheck.h"
#include "service/KVTCreateDirController.h"
#include "service/KVTRenameDeleteController.h"
#include "service/SynListingController.h"
#include "sync/server/FolderCreationDispatcher.h"
#include "sync/MainSyncController.h"
#include "sync/push/PushHandler.h"
#include "sync/server/RenameDeleteDispatcher.h"
#include "sync/control/SyncControllerOwner.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {
namespace {

constexpr int kLoginDetailsFile = 26;

PropertyList pathList(const std::vector<std::string>& paths) {
  PropertyList::Array items;
  for (const std::string& p : paths) items.emplace_back(p);
  return PropertyList(std::move(items));
}

}  // namespace

class MainSyncController::PushConcern final : public PushHost,
                                              public RenameDeleteQueue,
                                              public RenameDeleteEnvironment,
                                              public RenameDeleteHost,
                                              public FolderCreationQueue,
                                              public FolderCreationEnvironment {
 public:
  // The folder-creation controller as its worker drives it.
  class CreateDirEngine final : public FolderCreationService {
   public:
    CreateDirEngine(MainSyncController& c, KVTCreateDirController& k) : c_(c), k_(k) {}
    void prepare() override { fillAccount(c_, k_); }
    void setCancel(bool value) override { k_.setCancel(value); }
    void startCraeteDir(const std::string& folder) override { k_.startCraeteDir(folder); }

   private:
    MainSyncController& c_;
    KVTCreateDirController& k_;
  };

  explicit PushConcern(MainSyncController& c)
      : c_(c),
        renameDeleteEngine_(renameDeleteController_, [&c](KVTRenameDeleteController& k) { fillAccount(c, k); }),
        createDirEngine_(c, createDirController_),
        handler_(*this, c.ctx_.mainLoop),
        renameDelete_(*this, renameDeleteEngine_, *this, c.ctx_.mainLoop, renameDeleteOptions(c)),
        folderCreation_(*this, createDirEngine_, *this, c.ctx_.mainLoop, &c.state_.push.createDirRunning) {
    const SyncSessionDetails& s = c.ctx_.session;
    renameDeleteController_.setExecutorPath(c.enginePath_);
    renameDeleteController_.initializeApplicationSupportPaths(s.consoleUser, s.syncUser);
    renameDeleteController_.setDelegate(&renameDelete_);
    renameDeleteController_.setHost(this);
    renameDeleteController_.setNotificationPoster(c.ctx_.poster);
    createDirController_.setExecutorPath(c.enginePath_);
    createDirController_.initializeApplicationSupportPaths(s.consoleUser, s.syncUser);
    createDirController_.setDelegate(&folderCreation_);
    handler_.setUserName(s.syncUser);
  }

  ~PushConcern() override { stop(); }

  void stop() {
    renameDelete_.cancel();
    folderCreation_.cancel();
    renameDelete_.join();
    folderCreation_.join();
    handler_.setEnableListeningNotifications(false);
  }

  PushHandler& handler() { return handler_; }
  RenameDeleteDispatcher& renameDelete() { return renameDelete_; }
  FolderCreationDispatcher& folderCreation() { return folderCreation_; }

  // The push topic and service follow the account settings.
  void refreshAccount() {
    const AccountSettings::Values v = c_.settings_->values();
    if (!v.guserName.empty()) handler_.setUserName(v.guserName);
    if (!v.gPNSServer.empty()) handler_.setServerURL(v.gPNSServer);
  }

  // ---- PushHost
  int shouldSync() override { return c_.shouldSync(); }
  bool isReinitialize() override { return c_.state_.cycle.isReinitialize; }
  std::optional<std::string> machineID() override { return QLUtility::machineID(); }
  void setMonitorToolTip(const std::string& status) override { c_.progress_->status().setMonitorToolTip(status); }
  void showDesktopPushNotification(const std::string& code) override { c_.progress_->status().showDesktopPushNotification(code); }
  void sendToMonitor(const std::string& text, int type) override {
    SyncControllerOwner* o = c_.owner();
    std::shared_ptr<CompanionMessenger> monitor = o != nullptr ? o->monitorMessenger() : nullptr;
    if (monitor) monitor->sendIPCMessage(PropertyList(text), type, true);
  }
  void addNotificationFilesInfo() override { c_.ctx_.inputQueue.addNotificationFilesInfo(); }
  void calculateQuota(bool byDelete) override { c_.runCalQuotaInThread(byDelete ? "YES" : "NO"); }
  bool isBackupRunning() override { return c_.isBackupGoingOn(); }
  void queryMainDB(bool) override { c_.queryMainDB(1); }
  void passwordChangedFromWeb() override { c_.passwordChangedFromWeb(); }
  void removeLoginDetailsFile() override { QLUtility::removeFile(c_.applicationFile(kLoginDetailsFile)); }
  bool isListingRunning() override {
    return c_.mSynListingController_ && c_.mSynListingController_->isRunning();
  }
  void cancelListing() override {
    if (c_.mSynListingController_) c_.mSynListingController_->cancel();
  }
  void startSyncListingAllFiles(int mode) override { c_.startSyncListingAllFiles(mode); }
  bool isSyncTimerValid() override { return c_.syncOperationTimer_ && c_.syncOperationTimer_->isValid(); }
  std::string syncTimerDescription() override {
    return synctexts::timerDescription(c_.syncOperationTimer_.get());
  }
  bool isPeriodicTimerValid() override { return c_.PNSPeriodicTimer_ && c_.PNSPeriodicTimer_->isValid(); }
  void resetPeriodicTimer() override {
    if (c_.PNSPeriodicTimer_) c_.PNSPeriodicTimer_->invalidate();
    c_.PNSPeriodicTimer_.reset();
    c_.schedulePeriodicListeningTimer();
  }
  bool isDummyTimerValid() override { return c_.DummyPNSTimer_ && c_.DummyPNSTimer_->isValid(); }
  void resetDummyTimer() override {
    if (c_.DummyPNSTimer_) c_.DummyPNSTimer_->invalidate();
    c_.DummyPNSTimer_.reset();
    c_.scheduleDummyPushTimer();
  }
  void setIsTenMinutesListing(bool value) override { c_.state_.cycle.isTenMinutesListing = value; }
  void setDuringPauseGotPns(bool value) override {
    ULMORA_DCHECK_ON_LOOP(c_.ctx_.mainLoop);
    c_.state_.cycle.duringPauseGotPns = value;
  }

  // ---- RenameDeleteQueue, FolderCreationQueue
  bool CheckIfAnyRenameDeleteOrCreateDirOccured() override {
    return c_.ctx_.inputQueue.CheckIfAnyRenameDeleteOrCreateDirOccured();
  }
  std::optional<PropertyList> parseEventsToGetEventSets() override {
    return c_.ctx_.inputQueue.parseEventsToGetEventSets();
  }
  void deleteFileFor(const std::string& code, bool onlyRedItems) override {
    c_.ctx_.inputQueue.deleteFileFor(code, onlyRedItems);
  }
  void addDeleteFiles(const std::string& path) override { c_.ctx_.inputQueue.addDeleteFiles(path); }
  void addRenamedFiles(const RenameEntry& rename) override { c_.ctx_.inputQueue.addRenamedFiles(rename); }
  void addBackupFiles(const std::string& fullPath) override { c_.ctx_.inputQueue.addBackupFiles(fullPath); }
  void addFileToBackup(const std::string& path) override { c_.ctx_.inputQueue.addFileToBackup(path); }
  void addDirectory(const std::string& fullPath) override { c_.ctx_.inputQueue.addDirectory(fullPath); }
  void recordFolderInSync(const std::string& relativeFolder) override {
    c_.ctx_.inputQueue.addFileToUpdate({{relativeFolder, "Backup"}});
  }
  void setShouldReturnBackupEntries(bool value) override {
    c_.ctx_.inputQueue.setShouldReturnBackupEntries(value);
  }
  void deleteFileEntryFromRDDB(const std::string& fullPath) override {
    c_.ctx_.inputQueue.deleteFileEntryFromRDDB(fullPath);
  }
  PropertyList readCreateDirJournal() override { return c_.ctx_.inputQueue.readFileFor("6"); }
  void deleteCreateDirJournal() override { c_.ctx_.inputQueue.deleteFileFor("6", true); }

  // ---- RenameDeleteEnvironment, FolderCreationEnvironment, RenameDeleteHost
  std::string syncRootPath() override { return c_.getUlmoraSyncRootPath(); }
  std::string syncUserName() override {
    const std::string user = c_.settings_->values().guserName;
    return user.empty() ? c_.ctx_.session.syncUser : user;
  }
  std::string accountUserName() override { return c_.getUserName(); }
  void reloadAccountUserNameIfEmpty() override {
    if (!c_.getUserName().empty()) return;
    c_.ctx_.mainLoop.post(c_.guard_.wrap([c = &c_] {
      if (c->getUserName().empty()) c->setUserData();
    }));
  }
  void addRenamedPathsDuringListing(const std::vector<std::string>& oldPaths) override {
    std::lock_guard<std::mutex> hold(c_.state_.push.mutex);
    c_.state_.push.renamedPathDuringListing.insert(oldPaths.begin(), oldPaths.end());
  }
  void clearRenamedPathDuringListing() override {
    std::lock_guard<std::mutex> hold(c_.state_.push.mutex);
    c_.state_.push.renamedPathDuringListing.clear();
  }
  bool isUploadRunning() override { return c_.isBackupGoingOn(); }
  void cancelUpload() override {
    if (!c_.mBackupManager_) return;
    c_.mBackupManager_->setCancel(true);
    c_.mBackupManager_->CancelBackupProcess(false);
  }
  bool uploadSetHasPrefix(const std::string& relativePath) override {
    return c_.mBackupManager_ && c_.mBackupManager_->folderSetHasPrefix(relativePath);
  }
  std::string deleteJournalFolder() override { return c_.ctx_.inputQueue.getPathToDeleteFiles(); }
  std::map<std::string, std::string> renamesAfterBackup() override { return c_.settings_->renamesAfterBackup(); }
  std::optional<std::string> takeRenameAfterBackup(const std::string& oldPath) override {
    return c_.settings_->takeRenameAfterBackup(oldPath);
  }
  bool isInBackupList(const std::vector<std::string>& deleted) override {
    return c_.ctx_.collections.isInBackupList(deleted);
  }
  std::vector<std::string> filterDeletedFolderToavoid(const std::vector<std::string>& paths) override {
    return c_.ctx_.collections.filterDeletedFolderToavoid(paths);
  }
  void clearDeleteFilter() override { c_.ctx_.collections.clearDeleteFilter(); }
  void clearFolderCreationFilter() override { c_.ctx_.collections.clearFolderCreationFilter(); }
  bool AreAllToBeExcludedDelete(const std::vector<std::string>& paths) override {
    return MainSyncController::AreAllToBeExcludedDelete(paths);
  }
  void removeItemFromToolTipFor(const std::string& status) override { c_.progress_->status().removeItemFromToolTipFor(status); }
  void sendToFinder(const std::vector<std::string>& fullPaths, int type, bool runInThread) override {
    SyncControllerOwner* o = c_.owner();
    std::shared_ptr<CompanionMessenger> finder = o != nullptr ? o->finderMessenger() : nullptr;
    if (finder) finder->sendIPCMessage(pathList(fullPaths), type, runInThread);
  }
  void postInSyncList(const std::vector<std::string>& fullPaths) override {
    if (c_.ctx_.poster == nullptr) return;
    PropertyList info(PropertyList::Dict{});
    info.set("InsyncList", pathList(fullPaths));
    c_.ctx_.poster->post("FilesInsyncListGot", info);
  }
  bool sendMessageToFinder(const std::vector<std::string>& fullFolderPaths) override {
    return c_.sendMessageToFinder(fullFolderPaths);
  }
  void setRecentlyModifiedItems(const std::string& name, const std::string& operation) override {
    c_.setRecentlyModifiedItems(name, operation);
  }
  void setLastRenamedInfo(const std::string& fullOld, const std::string& fullNew) override {
    c_.setLastRenamedInfo(fullOld, fullNew);
  }
  bool hasImageFiles() override { return c_.thumbnails_->hasImageFiles(); }
  void updateThumbnailController(const std::string& fullOld, const std::string& fullNew) override {
    c_.thumbnails_->updateThumbnailController(fullOld, fullNew);
  }
  void startPushing(const std::string& messageID, const std::string& text) override {
    handler_.startPushing(syncUserName(), messageID, text);
  }
  void calculateQuota() override { c_.runCalQuotaInThread("YES"); }
  void updateSSWindowRefresh() override { c_.updateSSWindowRefresh(); }
  std::string createSessionFileForOperation(int operation, const std::string& name) override {
    return c_.createSessionFileForOperation(operation, name);
  }
  void writeSessionLog(const std::string& file, const std::string& text, bool withTimeStamp) override {
    if (file.empty()) return;
    if (withTimeStamp) {
      c_.mRenameLogger().writeSessionLog(text, file, true);
    } else {
      c_.mRenameLogger().writeSessionLogWithoutTimeStamp(text, file, true);
    }
  }
  void logSyncInteractiveSession(const std::string& text, bool flush) override {
    QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(text, flush);
  }
  bool checkRenamedFileisUnderBackup(const RenameEntry& rename) override {
    return c_.checkRenamedFileisUnderBackup(rename);
  }
  bool isRenameCollectionEmpty() override { return renameDelete_.isRenameCollectionEmpty(); }

 private:
  // The account's connection record and proxy settings for a run.
  template <class Controller>
  static void fillAccount(MainSyncController& c, Controller& k) {
    c.setUserAndProxyToObject(k);
  }

  static RenameDeleteOptions renameDeleteOptions(MainSyncController& c) {
    RenameDeleteOptions options;
    options.clock = &c.ctx_.clock;
    options.runningFlag = &c.state_.push.ExcuteEventsCapturedrunning;
    return options;
  }

  MainSyncController& c_;
  KVTRenameDeleteController renameDeleteController_;
  KVTCreateDirController createDirController_;
  KVTRenameDeleteService renameDeleteEngine_;
  CreateDirEngine createDirEngine_;
  PushHandler handler_;
  RenameDeleteDispatcher renameDelete_;
  FolderCreationDispatcher folderCreation_;
};

void MainSyncController::PushConcernDeleter::operator()(PushConcern* concern) const { delete concern; }

void MainSyncController::buildPush() {
  push_.reset(new PushConcern(*this));
}

// Ends the workers and the subscription; the collaborators stay whole until
// the controller goes, for the engine callbacks of the runs stopped later.
void MainSyncController::stopPush() {
  if (push_) push_->stop();
}

// Work of this concern starts only while the controller runs.
MainSyncController::PushConcern* MainSyncController::pushToStart() {
  return shutDown_ ? nullptr : push_.get();
}

// ---------------------------------------------------------------- push

void MainSyncController::setEnableListeningNotifications(bool enable) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  state_.push.enableListeningNotifications = enable;
  PushConcern* push = pushToStart();
  if (push == nullptr) return;
  push->refreshAccount();
  push->handler().setEnableListeningNotifications(enable);
}

void MainSyncController::startPushing(const std::string& topic, const std::string& messageID,
                                      const std::string& filePath) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  PushConcern* push = pushToStart();
  if (push == nullptr) return;
  push->refreshAccount();
  push->handler().startPushing(topic, messageID, filePath);
}

void MainSyncController::periodicListening() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  PushConcern* push = pushToStart();
  if (push == nullptr) return;
  push->refreshAccount();
  push->handler().periodicListening();
}

void MainSyncController::PushDummyNotification() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  PushConcern* push = pushToStart();
  if (push == nullptr) return;
  push->refreshAccount();
  push->handler().PushDummyNotification();
}

void MainSyncController::parseNotificationMessageData(const PropertyList& message) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (PushConcern* push = pushToStart()) push->handler().parseNotificationMessageData(message);
}

void MainSyncController::delayedListingForNotification() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (PushConcern* push = pushToStart()) push->handler().delayedListingForNotification();
}

// ---------------------------------------------------------------- renames and deletes

void MainSyncController::ExcuteEventsCaptured() {
  if (PushConcern* push = pushToStart()) push->renameDelete().ExcuteEventsCaptured();
}

void MainSyncController::StartExcutingEventsCaptured() {
  if (push_) push_->renameDelete().StartExcutingEventsCaptured();
}

std::vector<RenameEntry> MainSyncController::checkForSubRenameArray(const std::vector<RenameEntry>& snapshot) {
  return renamedelete::cutRenameBatch(snapshot).batch;
}

void MainSyncController::setLastRenamedInfo(const std::string& fullOldPath, const std::string& fullNewPath) {
  std::lock_guard<std::mutex> hold(state_.push.mutex);
  state_.push.lastRenameAttemps.push_back(RenameEntry{fullOldPath, fullNewPath});
}

bool MainSyncController::takeRenamedHere(const std::string& oldPath, const std::string& newPath) {
  return push_ != nullptr && push_->renameDelete().takeRenamedHere(oldPath, newPath);
}

void MainSyncController::cancelRenameDeleteRun() {
  if (push_) push_->renameDelete().cancel();
}

void MainSyncController::cancelCreateDirRun() {
  if (push_) push_->folderCreation().cancel();
}

void MainSyncController::setOfflineDeleteRenamedFileInfo(const std::optional<RDDataBaseRows>& rows) {
  daemonTrace(rows ? "rename/delete database rows read: " + std::to_string(rows->size())
                   : std::string("the rename/delete database could not be read"));
}

// ---------------------------------------------------------------- folders

void MainSyncController::CreateFolder() {
  if (PushConcern* push = pushToStart()) push->folderCreation().CreateFolder();
}
}  // namespace ulmora
