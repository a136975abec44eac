#include "sync/upload/UploadRoad.h"

#include <utility>

#include "engine/KVTBackupManager.h"
#include "journal/SyncRootPath.h"
#include "journal/UMSDBSyncInputManger.h"
#include "service/HttpsSettings.h"
#include "service/HttpsTransfer.h"
#include "service/ServiceEndpoint.h"
#include "sync/files/SyncPathHelpers.h"

namespace ulmora {
namespace {

constexpr auto kDiscoveryTimeout = std::chrono::seconds(120);

}  // namespace

UploadRoad::UploadRoad(Parts p)
    : uploadManager_(p.uploadManager),
      downloadManager_(p.downloadManager),
      queue_(p.queue),
      syncRoot_(p.syncRoot),
      consoleUser_(p.consoleUser),
      account_(p.account),
      uploadPort_(p.uploadManager, p.uploadThrottle),
      downloadPort_(p.downloadManager),
      queuePort_(p.queue),
      context_{p.syncRoot, p.syncUser, p.files, p.clock, queuePort_, account_, uploadPort_, downloadPort_},
      dispatcher_({p.syncRoot, p.files.backupFileEntries, p.backupFileEntriesAfterDelete, p.proxySettings,
                   p.seenVersion},
                  queuePort_, uploadPort_, account_, renames_, p.state.upload.sameBackupSetRepeatedCount),
      uploadRuns_(context_, renames_, p.state.upload.sameBackupSetRepeatedCount),
      downloadRuns_(context_, p.state.server.sameRestoreSetRepeatedCount),
      discovery_(p.clock, discoveryPorts()) {
  uploadManager_.setDelegate(this);
  downloadManager_.setDelegate(this);
}

ServiceDiscovery::Ports UploadRoad::discoveryPorts() {
  ServiceDiscovery::Ports ports;
  ports.credentials = [this] {
    User user = account_.accountUser();
    return std::make_pair(user.userName(), user.password());
  };
  ports.post = [this](const std::string& body) -> std::optional<std::string> {
    HttpsRequest request;
    request.url = serviceEndpointURL(account_.accountUser().webServer(), ServiceDiscovery::kPath);
    if (request.url.empty()) return std::nullopt;
    request.body = body;
    request.timeout = kDiscoveryTimeout;
    request.tls = HttpsSettings::forConsoleUser(consoleUser_);
    HttpsTransfer transfer(std::move(request));
    {
      std::lock_guard<std::mutex> lock(lookupMutex_);
      if (lookupStopped_) return std::nullopt;
      lookup_ = &transfer;
    }
    HttpsResponse reply = transfer.perform();
    {
      std::lock_guard<std::mutex> lock(lookupMutex_);
      lookup_ = nullptr;
    }
    if (!reply.ok()) return std::nullopt;
    return reply.body;
  };
  ports.apply = [this](const std::string& server) { account_.useDiscoveredServerOnMain(server); };
  return ports;
}

void UploadRoad::stop() {
  {
    std::lock_guard<std::mutex> lock(lookupMutex_);
    lookupStopped_ = true;
    if (lookup_) lookup_->cancel();
  }
  discovery_.stop();
}

void UploadRoad::startBackup() {
  gatherHeldRenames();
  uploadRuns_.handOnRenames();
  dispatcher_.startBackup();
}

void UploadRoad::gatherHeldRenames() {
  for (const auto& [from, to] : account_.takeRenamesAfterBackup()) renames_.recordRename(from, to);
}

// ------------------------------------------------------------------ run callbacks

void UploadRoad::operationDidStart(KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload: uploadRuns_.operationDidStart(); break;
    case RunDirection::kDownload: downloadRuns_.operationDidStart(); break;
    case RunDirection::kOther: break;
  }
}

void UploadRoad::operationDidReceiveData(const KVTProgressRecord& record, KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns_.operationDidReceiveData(record);
      break;
    case RunDirection::kDownload: downloadRuns_.operationDidReceiveData(record); break;
    case RunDirection::kOther: break;
  }
}

void UploadRoad::removeSfErrorFileFromDb(const std::string& path, KVTBackupManager& manager) {
  if (direction(manager) == RunDirection::kOther) return;
  const std::string relative = syncpaths::relativePath(SyncRootPath(syncRoot_()), path);
  if (!relative.empty() && relative != "/") queue_.addFileToDelete(relative);
}

void UploadRoad::makeScriptCallForObject(KVTBackupManager& manager) {
  if (direction(manager) == RunDirection::kOther) return;
  discovery_.makeScriptCallForObject();
}

void UploadRoad::operationDidReceiveErrors(const std::string& error, const std::string& path,
                                                   KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload: uploadRuns_.operationDidReceiveErrors(error, path); break;
    case RunDirection::kDownload: downloadRuns_.operationDidReceiveErrors(error, path); break;
    case RunDirection::kOther: break;
  }
}

void UploadRoad::operationDidFailWithError(const std::string& error, KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns_.operationDidFailWithError(error);
      break;
    case RunDirection::kDownload: downloadRuns_.operationDidFailWithError(error); break;
    case RunDirection::kOther: break;
  }
}

void UploadRoad::operationDidFailWithOverQuota(KVTBackupManager& manager) {
  if (direction(manager) == RunDirection::kOther) return;
  gatherHeldRenames();
  uploadRuns_.operationDidFailWithOverQuota();
}

void UploadRoad::operationDidCancel(KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns_.operationDidCancel();
      break;
    case RunDirection::kDownload: downloadRuns_.operationDidCancel(); break;
    case RunDirection::kOther: break;
  }
}

void UploadRoad::operationCanceld(KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns_.operationCanceld();
      break;
    case RunDirection::kDownload: downloadRuns_.operationCanceld(); break;
    case RunDirection::kOther: break;
  }
}

void UploadRoad::operationDidFinishSuccessfully(KVTBackupManager& manager) {
  switch (direction(manager)) {
    case RunDirection::kUpload:
      gatherHeldRenames();
      uploadRuns_.operationDidFinishSuccessfully();
      break;
    case RunDirection::kDownload: downloadRuns_.operationDidFinishSuccessfully(); break;
    case RunDirection::kOther: break;
  }
}

}  // namespace ulmora
