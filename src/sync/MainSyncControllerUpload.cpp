// The upload road: dispatch of upload runs and the engine managers' run
// callbacks, forwarded to UploadDispatcher, UploadRunHandler and
// DownloadRunHandler.
#include <mutex>
#include <optional>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "journal/UMSDBSyncInputManger.h"
#include "media/VideoCGICallController.h"
#include "platform/FileUtil.h"
#include "service/HttpsSettings.h"
#include "service/ServiceEndpoint.h"
#include "service/HttpsTransfer.h"
#include "sync/DownloadRunHandler.h"
#include "sync/MainSyncController.h"
#include "sync/SeenVersionRule.h"
#include "sync/ServerRoad.h"
#include "sync/ServiceDiscovery.h"
#include "sync/SyncControllerOwner.h"
#include "sync/SyncPathHelpers.h"
#include "sync/UploadDispatcher.h"
#include "sync/UploadRoadAdapters.h"
#include "sync/UploadRunHandler.h"

namespace ulmora {
namespace {

constexpr int kLoginDetails = 26;
constexpr int kProxySettings = 84;
constexpr int kBackupFileEntries = 113;
constexpr int kBackupFileEntriesAfterDelete = 114;
constexpr int kRestoreFileEntries = 118;
constexpr int kUserQuotaDetails = 124;
constexpr auto kDiscoveryTimeout = std::chrono::seconds(120);

}  // namespace

// What the upload road asks of the rest of the controller, as facade calls.
class MainSyncController::UploadRoadHostAdapter final : public UploadRoadHost {
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
  void HandleAccountUnderMaintainence() override { c_.HandleAccountUnderMaintainence(); }
  void passwordChangedFromWeb() override { c_.passwordChangedFromWeb(); }
  void runCalQuotaInThread(const std::string& mode) override { c_.runCalQuotaInThread(mode); }
  void updateSSWindowRefresh() override { c_.updateSSWindowRefresh(); }
  void setRecentlyModifiedItems(const std::string& file, const std::string& operation) override {
    c_.setRecentlyModifiedItems(file, operation);
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
    c_.ctx_.mainLoop.post(c_.guard_.wrap([c = &c_, topic, messageId, text] { c->startPushing(topic, messageId, text); }));
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

 private:
  MainSyncController& c_;
};

// The upload road is the delegate of both engine managers: it tells them
// apart by identity and ignores any other manager's reports.
struct MainSyncController::UploadRoad final : public KVTBackupRestoreHandlerProtocol {
  UploadRoad(MainSyncController& c)
      : c(c),
        host(c),
        uploadPort(*c.mBackupManager_, [&c] { return c.settings_->runStartThrottle(true); }),
        downloadPort(*c.mRestoreManager_),
        queuePort(c.ctx_.inputQueue),
        context{[&c] { return c.getUlmoraSyncRootPath(); },
                c.ctx_.session.syncUser,
                RunRoadContext::Files{c.applicationFile(kBackupFileEntries), c.applicationFile(kRestoreFileEntries),
                                      c.applicationFile(kUserQuotaDetails), c.applicationFile(kLoginDetails),
                                      c.accountPlistPath()},
                c.ctx_.clock,
                queuePort,
                host,
                uploadPort,
                downloadPort},
        dispatcher({[&c] { return c.getUlmoraSyncRootPath(); }, c.applicationFile(kBackupFileEntries),
                    c.applicationFile(kBackupFileEntriesAfterDelete), c.applicationFile(kProxySettings),
                    [&c](const std::string& path) { return c.seenVersionForUpload(path); }},
                   queuePort, uploadPort, host, renames, c.state_.upload.sameBackupSetRepeatedCount),
        uploadRuns(context, renames, c.state_.upload.sameBackupSetRepeatedCount),
        downloadRuns(context, c.state_.server.sameRestoreSetRepeatedCount),
        discovery(c.ctx_.clock, discoveryPorts(c)) {
    c.mBackupManager_->setDelegate(this);
    c.mRestoreManager_->setDelegate(this);
  }

  RunDirection direction(KVTBackupManager& manager) const {
    return directionOf(&manager, c.mBackupManager_.get(), c.mRestoreManager_.get());
  }

  // Renames of the running set, held by the settings, are followed by the
  // progress reports and handed on by the run's end.
  void gatherHeldRenames() {
    for (const auto& [from, to] : c.settings_->takeRenamesAfterBackup()) renames.recordRename(from, to);
  }

  // KVTBackupRestoreHandlerProtocol (the run's thread)
  void operationDidStart(KVTBackupManager& manager) override;
  void operationDidReceiveData(const KVTProgressRecord& record, KVTBackupManager& manager) override;
  void removeSfErrorFileFromDb(const std::string& path, KVTBackupManager& manager) override;
  void makeScriptCallForObject(KVTBackupManager& manager) override;
  void operationStartedRetrying(KVTBackupManager& /*manager*/) override {}
  void operationDidFinishFileListGeneration(KVTBackupManager& /*manager*/) override {}
  void operationDidReceiveErrors(const std::string& error, const std::string& path,
                                 KVTBackupManager& manager) override;
  void operationDidFailWithError(const std::string& error, KVTBackupManager& manager) override;
  void operationDidFailWithOverQuota(KVTBackupManager& manager) override;
  void operationDidCancel(KVTBackupManager& manager) override;
  void operationCanceld(KVTBackupManager& manager) override;
  void operationDidFinishSuccessfully(KVTBackupManager& manager) override;
  void restoreRestarted(KVTBackupManager& /*manager*/) override {}
  // CancelBackupProcess (its caller's thread): the server road's clean-up.
  void deleteHalfRestoredFiles() override { c.serverRoad_->downloads().deleteHalfRestoredFiles(); }
  void ClearRestoreRelatedFileEntries() override { c.serverRoad_->downloads().ClearRestoreRelatedFileEntries(); }
  // Reports that need nothing from the account: what they tell is already
  // known from the reports above.
  void operationDidRetry() {}
  void operationDidReceiveFileTransferStatus(const PropertyList& /*status*/, KVTBackupManager& /*manager*/) {}
  void queryMainDBForBackupFiles() {}
  void updateBackupStatusToDb(const PropertyList& /*entries*/) {}

  static ServiceDiscovery::Ports discoveryPorts(MainSyncController& c) {
    ServiceDiscovery::Ports ports;
    ports.credentials = [&c] {
      User user = c.craeteUserInfoObject();
      return std::make_pair(user.userName(), user.password());
    };
    ports.post = [&c](const std::string& body) -> std::optional<std::string> {
      HttpsRequest request;
      request.url = serviceEndpointURL(c.craeteUserInfoObject().webServer(), ServiceDiscovery::kPath);
      if (request.url.empty()) return std::nullopt;
      request.body = body;
      request.timeout = kDiscoveryTimeout;
      request.tls = HttpsSettings::forConsoleUser(c.ctx_.session.consoleUser);
      HttpsTransfer transfer(std::move(request));
      UploadRoad& road = *c.uploadRoad_;
      {
        std::lock_guard<std::mutex> lock(road.lookupMutex);
        if (road.lookupStopped) return std::nullopt;
        road.lookup = &transfer;
      }
      HttpsResponse reply = transfer.perform();
      {
        std::lock_guard<std::mutex> lock(road.lookupMutex);
        road.lookup = nullptr;
      }
      if (!reply.ok()) return std::nullopt;
      return reply.body;
    };
    // The answer is used on the main loop, never after the controller is gone.
    ports.apply = [&c](const std::string& server) {
      c.ctx_.mainLoop.post(c.guard_.wrap([&c, server] { c.useDiscoveredServer(server); }));
    };
    return ports;
  }

  MainSyncController& c;
  UploadRoadHostAdapter host;
  KVTManagerPort uploadPort;
  KVTManagerPort downloadPort;
  InputQueuePort queuePort;
  UploadRenames renames;
  VideoCGICallController video;
  RunRoadContext context;
  UploadDispatcher dispatcher;
  UploadRunHandler uploadRuns;
  DownloadRunHandler downloadRuns;
  // The lookup request under way, so that a stop need not wait out its
  // time-out.
  std::mutex lookupMutex;
  HttpsTransfer* lookup = nullptr;
  bool lookupStopped = false;
  ServiceDiscovery discovery;
};

void MainSyncController::UploadRoadHostAdapter::setVideoUserDetails(const std::string& user,
                                                                   const std::string& password) {
  PropertyList details(PropertyList::Dict{});
  details.set("username", user);
  details.set("password", password);
  c_.uploadRoad_->video.setServiceHost(c_.craeteUserInfoObject().webServer());
  c_.uploadRoad_->video.setUserDetails(details);
}
void MainSyncController::UploadRoadHostAdapter::addVideoFile(const std::string& relativePath) {
  c_.uploadRoad_->video.addFiles(relativePath);
}
void MainSyncController::UploadRoadHostAdapter::makeVideoCGICall() { c_.uploadRoad_->video.makeVideoCGICall(); }

void MainSyncController::buildUpload() { uploadRoad_ = std::make_shared<UploadRoad>(*this); }

// The engine runs may still report until the lifecycle has stopped them, so
// the road stays whole until the controller goes; only the lookup thread ends.
void MainSyncController::stopUpload() {
  if (!uploadRoad_) return;
  {
    std::lock_guard<std::mutex> lock(uploadRoad_->lookupMutex);
    uploadRoad_->lookupStopped = true;
    if (uploadRoad_->lookup) uploadRoad_->lookup->cancel();
  }
  uploadRoad_->discovery.stop();
}

std::map<std::string, std::string> MainSyncController::dueDownloadRetries() {
  return uploadRoad_ ? uploadRoad_->downloadRuns.takeDueRetries() : std::map<std::string, std::string>{};
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
  if (!uploadRoad_) return;
  // Renames held after the previous run ended belong to it: handed on, never
  // dropped.
  uploadRoad_->gatherHeldRenames();
  uploadRoad_->uploadRuns.handOnRenames();
  uploadRoad_->dispatcher.startBackup();
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
  if (uploadRoad_) return uploadRoad_->dispatcher.userForEngineController();
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

// ------------------------------------------------------------------ run callbacks

void MainSyncController::UploadRoad::operationDidStart(KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload: uploadRuns.operationDidStart(); break;
    case RunDirection::kDownload: downloadRuns.operationDidStart(); break;
    case RunDirection::kOther: break;
  }
}

void MainSyncController::UploadRoad::operationDidReceiveData(const KVTProgressRecord& record, KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns.operationDidReceiveData(record);
      break;
    case RunDirection::kDownload: downloadRuns.operationDidReceiveData(record); break;
    case RunDirection::kOther: break;
  }
}

void MainSyncController::UploadRoad::removeSfErrorFileFromDb(const std::string& path, KVTBackupManager& manager) {
  if (direction(manager) == RunDirection::kOther) return;
  const std::string relative = c.createRelativePathToUlmoraSync(path);
  if (!relative.empty() && relative != "/") c.ctx_.inputQueue.addFileToDelete(relative);
}

void MainSyncController::UploadRoad::makeScriptCallForObject(KVTBackupManager& manager) {
  if (direction(manager) == RunDirection::kOther) return;
  discovery.makeScriptCallForObject();
}

void MainSyncController::UploadRoad::operationDidReceiveErrors(const std::string& error, const std::string& path,
                                                   KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload: uploadRuns.operationDidReceiveErrors(error, path); break;
    case RunDirection::kDownload: downloadRuns.operationDidReceiveErrors(error, path); break;
    case RunDirection::kOther: break;
  }
}

void MainSyncController::UploadRoad::operationDidFailWithError(const std::string& error, KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns.operationDidFailWithError(error);
      break;
    case RunDirection::kDownload: downloadRuns.operationDidFailWithError(error); break;
    case RunDirection::kOther: break;
  }
}

void MainSyncController::UploadRoad::operationDidFailWithOverQuota(KVTBackupManager& manager) {
  if (direction(manager) == RunDirection::kOther) return;
  gatherHeldRenames();
  uploadRuns.operationDidFailWithOverQuota();
}

void MainSyncController::UploadRoad::operationDidCancel(KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns.operationDidCancel();
      break;
    case RunDirection::kDownload: downloadRuns.operationDidCancel(); break;
    case RunDirection::kOther: break;
  }
}

void MainSyncController::UploadRoad::operationCanceld(KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns.operationCanceld();
      break;
    case RunDirection::kDownload: downloadRuns.operationCanceld(); break;
    case RunDirection::kOther: break;
  }
}

void MainSyncController::UploadRoad::operationDidFinishSuccessfully(KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns.operationDidFinishSuccessfully();
      break;
    case RunDirection::kDownload: downloadRuns.operationDidFinishSuccessfully(); break;
    case RunDirection::kOther: break;
  }
}

}  // namespace ulmora
