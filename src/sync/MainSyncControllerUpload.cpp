// The upload road's build hook and what it asks of the rest of the account;
// the road itself (UploadRoad) is the engine managers' delegate.
#include <optional>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "sync/MainSyncController.h"
#include "sync/upload/SeenVersionRule.h"
#include "sync/server/ServerRoad.h"
#include "sync/control/SyncControllerOwner.h"
#include "sync/files/SyncPathHelpers.h"

namespace ulmora {
namespace {

constexpr int kLoginDetails = 26;
constexpr int kProxySettings = 84;
constexpr int kBackupFileEntries = 113;
constexpr int kBackupFileEntriesAfterDelete = 114;
constexpr int kRestoreFileEntries = 118;
constexpr int kUserQuotaDetails = 124;

}  // namespace

// What the upload road asks of the rest of the controller, as facade calls.
class MainSyncController::UploadRoadHostAdapter final : public UploadRoadAccount {
 public:
  explicit UploadRoadHostAdapter(MainSyncController& c) : c_(c) {}

  void ResetCumulativeCountVariablesForBackup() override { c_.progress_->tracker().ResetCumulativeCountVariablesForBackup(); }
  void backupSetDispatched() override {
    c_.state_.upload.IsMoreThanTenThousand = false;
    c_.progress_->tracker().ResetSetVariablesForBackup();
  }
  void GetTotalCountAndTotalSizeOfBackupFiles() override { c_.GetTotalCountAndTotalSizeOfBackupFiles(); }
  void BackupRestoreStarted(bool upload) override {
    KVTBackupManager* m = upload ? c_.mBackupManager_.get() : c_.mRestoreManager_.get();
    if (m) c_.progress_->BackupRestoreStarted(*m);
  }
  void sendDataToMonitor(const KVTProgressRecord& record, int optype, int /*state*/) override {
    c_.progress_->tracker().sendDataToMonitor(record, optype);
  }
  void setMonitorToolTip(const std::string& code) override { c_.progress_->status().setMonitorToolTip(code); }
  void removeItemFromToolTipFor(const std::string& item) override { c_.progress_->status().removeItemFromToolTipFor(item); }
  void showDesktopPushNotification(const std::string& text) override { c_.progress_->status().showDesktopPushNotification(text); }
  void sendMonitorMessage(const std::string& text, int type) override {
    std::shared_ptr<CompanionMessenger> monitor = c_.monitorMessenger();
    if (monitor) monitor->sendIPCMessage(PropertyList(text), type, false);
  }
  void queryMainDB(int option) override { c_.queryMainDB(option); }
  User accountUser() override { return c_.craeteUserInfoObject(); }
  void setServerAddress(const std::string& server) override { c_.useDiscoveredServer(server); }
  void HandleAccountUnderMaintainence() override { c_.controlRoom_->events().HandleAccountUnderMaintainence(); }
  void passwordChangedFromWeb() override { c_.controlRoom_->events().passwordChangedFromWeb(); }
  void runCalQuotaInThread(const std::string& mode) override { c_.controlRoom_->runCalQuotaInThread(mode); }
  void updateSSWindowRefresh() override { c_.controlRoom_->selective().updateSSWindowRefresh(); }
  void setRecentlyModifiedItems(const std::string& file, const std::string& operation) override {
    c_.controlRoom_->recent().setRecentlyModifiedItems(file, operation);
  }
  std::string createSessionFileForOperation(int operation, const std::string& name) override {
    return c_.createSessionFileForOperation(operation, name);
  }
  void uploadAfterRename(const RenameEntry& rename) override { c_.settings_->uploadAfterRename(rename); }
  // Run endings come on the engine run's thread; the server road is the
  // main loop's.
  void keepRefusedUpload(const std::string& relativePath) override {
    c_.ctx_.mainLoop.post(c_.guard_.wrap([c = &c_, relativePath] {
      if (c->serverRoad_) c->serverRoad_->records().keepRefusedUpload(relativePath);
    }));
  }
  void addToCraeteThumbnail(const std::string& fullPath) override { c_.thumbnails_->addToCraeteThumbnail(fullPath); }
  void setVideoUserDetails(const std::string& user, const std::string& password) override;
  void addVideoFile(const std::string& relativePath) override;
  void makeVideoCGICall() override;
  void updateImageInformation() override { c_.thumbnails_->updateImageInformation(); }
  // Run endings come on the engine run's thread; the push handler is the
  // main loop's.
  void startPushing(const std::string& topic, const std::string& messageId, const std::string& text) override {
    c_.ctx_.mainLoop.post(c_.guard_.wrap([c = &c_, topic, messageId, text] {
      if (PushConcern* push = c->pushToStart()) push->startPushing(topic, messageId, text);
    }));
  }
  void updateRefIDwithListingIndex(bool fromZero) override {
    c_.serverRoad_->listing().updateRefIDwithListingIndex(fromZero);
  }
  // The server road owns the listing index; it moves only past a run in
  // which every file arrived and after which nothing waits.
  void downloadRunEnded(bool allArrived, bool downloadsPending) override {
    if (allArrived && !downloadsPending) c_.serverRoad_->listing().commitHeldIndex();
  }
  void deleteHalfRestoredFiles() override { c_.serverRoad_->downloads().deleteHalfRestoredFiles(); }
  std::optional<std::vector<std::string>> filterversionRestoredFile(
      const std::vector<std::string>& relativePaths) override {
    return c_.ctx_.collections.filterversionRestoredFile(relativePaths);
  }
  void clearRestoreSets() override {
    c_.ctx_.collections.clearRestoreSetOfEngineOne();
    c_.ctx_.collections.clearRestoreSetOfEngineTwo();
    c_.ctx_.collections.releasePendingDownloads();
  }
  void downloadWritten(const std::string& relativePath) override {
    c_.ctx_.collections.downloadWritten(relativePath);
  }
  void postSyncList(const std::vector<std::string>& relativePaths) override { c_.postSyncList(relativePaths); }
  std::map<std::string, std::string> takeRenamesAfterBackup() override { return c_.settings_->takeRenamesAfterBackup(); }
  void ClearRestoreRelatedFileEntries() override { c_.serverRoad_->downloads().ClearRestoreRelatedFileEntries(); }
  // The answer is used on the main loop, never after the controller is gone.
  void useDiscoveredServerOnMain(const std::string& server) override {
    c_.ctx_.mainLoop.post(c_.guard_.wrap([c = &c_, server] { c->useDiscoveredServer(server); }));
  }

 private:
  MainSyncController& c_;
};

void MainSyncController::UploadRoadHostAdapter::setVideoUserDetails(const std::string& user,
                                                                   const std::string& password) {
  PropertyList details(PropertyList::Dict{});
  details.set("username", user);
  details.set("password", password);
  c_.uploadRoad_->video().setServiceHost(c_.craeteUserInfoObject().webServer());
  c_.uploadRoad_->video().setUserDetails(details);
}
void MainSyncController::UploadRoadHostAdapter::addVideoFile(const std::string& relativePath) {
  c_.uploadRoad_->video().addFiles(relativePath);
}
void MainSyncController::UploadRoadHostAdapter::makeVideoCGICall() { c_.uploadRoad_->video().makeVideoCGICall(); }

void MainSyncController::buildUpload() {
  uploadAccount_ = std::make_shared<UploadRoadHostAdapter>(*this);
  uploadRoad_ = std::make_unique<UploadRoad>(UploadRoad::Parts{
      *mBackupManager_,
      *mRestoreManager_,
      ctx_.inputQueue,
      [this] { return getUlmoraSyncRootPath(); },
      [this] { return settings_->runStartThrottle(true); },
      ctx_.session.syncUser,
      ctx_.session.consoleUser,
      RunRoadContext::Files{applicationFile(kBackupFileEntries), applicationFile(kRestoreFileEntries),
                            applicationFile(kUserQuotaDetails), applicationFile(kLoginDetails), accountPlistPath()},
      applicationFile(kBackupFileEntriesAfterDelete),
      applicationFile(kProxySettings),
      // The database's row, read when the set is dispatched.
      [this](const std::string& path) { return seenVersionForUpload(path); },
      ctx_.clock,
      state_,
      *uploadAccount_});
}

// The engine runs may still report until the lifecycle has stopped them, so
// the road stays whole until the controller goes; only the lookup thread ends.
void MainSyncController::stopUpload() {
  if (uploadRoad_) uploadRoad_->stop();
}

std::map<std::string, std::string> MainSyncController::dueDownloadRetries() {
  return uploadRoad_ ? uploadRoad_->dueDownloadRetries() : std::map<std::string, std::string>{};
}

std::string MainSyncController::accountPlistPath() const {
  return QLUtility::pathForTemplateKey("UMLoginDetailsFile", ctx_.session.consoleUser);
}

void MainSyncController::useDiscoveredServer(const std::string& server) {
  if (server.empty()) return;
  daemonTrace("service discovery: storage server " + server);
  // Stored first: a run prepared from here on takes its record from the
  // settings, and must not bring the old server back.
  settings_->useDiscoveredServer(server);
  if (mBackupManager_) mBackupManager_->editUserInfo([&](User& u) { u.setKVTServerIP(server); });
  if (mRestoreManager_) mRestoreManager_->editUserInfo([&](User& u) { u.setKVTServerIP(server); });
}

// ------------------------------------------------------------------ dispatch

void MainSyncController::startBackup() {
  if (uploadRoad_) uploadRoad_->startBackup();
}

// The database's row, read when the set is dispatched (the listing's
// status port, built after the upload road).
std::optional<engineset::SeenVersion> MainSyncController::seenVersionForUpload(const std::string& path) {
  if (!serverRoad_) return std::nullopt;
  FileStatusPort& rows = serverRoad_->status();
  UploadRowFacts row;
  row.backedUp = rows.backupStatus(path);
  if (!row.backedUp) return std::nullopt;
  row.restored = rows.restoreStatus(path);
  row.recorded = rows.recordedFacts(path);
  if (auto status = rows.backupStatusAndRefId(path)) row.refId = status->refId;
  return ulmora::seenVersionForUpload(row);
}

std::string MainSyncController::pathBackupFileEntry() const { return applicationFile(kBackupFileEntries); }
std::string MainSyncController::pathForProxySettings() const { return applicationFile(kProxySettings); }

User MainSyncController::userForEngineController() {
  if (uploadRoad_) return uploadRoad_->userForEngineController();
  User user = craeteUserInfoObject();
  user.setISDefaultKey(false);
  return user;
}

bool MainSyncController::isSupportedFileType(const std::string& path) {
  return syncpaths::isSupportedFileType(path);
}

std::optional<std::string> MainSyncController::CreateFullPathByAppendingSyncRoot(const std::string& path) {
  return syncpaths::fullPath(SyncRootPath(getUlmoraSyncRootPath()), path);
}

std::string MainSyncController::createRelativePathToUlmoraSync(const std::string& path) {
  return syncpaths::relativePath(SyncRootPath(getUlmoraSyncRootPath()), path);
}

bool MainSyncController::isInDeleteList(const std::string& path, const std::vector<std::string>& deleted) {
  return syncpaths::isUnderAny(path, ctx_.collections.filterDeletedFolderToavoid(deleted));
}

void MainSyncController::WriteFilesFromArray(const std::vector<std::string>& entries, const std::string& path) {
  syncpaths::WriteFilesFromArray(entries, path, &ctx_.clock);
}

void MainSyncController::WritingCreateDirCollection(const std::string& folder) {
  ctx_.inputQueue.addDirectory(folder);
}
std::string MainSyncController::getPathWritingCreateDirCollection() const {
  return ctx_.inputQueue.getPathToCreateDirCollection();
}

}  // namespace ulmora
