#include "sync/upload/UploadRoad.h"

#include <utility>

#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "journal/SyncRootPath.h"
#include "journal/UMSDBSyncInputManger.h"
#include "service/HttpsSettings.h"
#include "service/HttpsTransfer.h"
#include "service/ServiceEndpoint.h"
#include "platform/ThreadCheck.h"
#include "sync/control/AccountProgress.h"
#include "sync/files/SyncPathHelpers.h"
#include "sync/server/ServerRoad.h"

namespace ulmora {
namespace {

constexpr auto kDiscoveryTimeout = std::chrono::seconds(120);

}  // namespace

UploadRoad::UploadRoad(Parts p)
    : uploadManager_(p.uploadManager),
      downloadManager_(p.downloadManager),
      queue_(p.queue),
      mainLoop_(p.mainLoop),
      state_(p.state),
      settings_(p.settings),
      progress_(p.progress),
      server_(p.server),
      consoleUser_(p.consoleUser),
      account_(p.account),
      hosts_(UploadRoadHosts::Parts{p.state, p.settings, p.progress, p.control, p.server, p.filters, p.uploadManager,
                                    p.downloadManager, video_, p.account,
                                    [this](std::function<void()> task) { mainLoop_.post(guard_.wrap(std::move(task))); }}),
      uploadPort_(p.uploadManager, [&settings = p.settings] { return settings.runStartThrottle(true); }),
      downloadPort_(p.downloadManager),
      queuePort_(p.queue),
      context_{[this] { return account_.getUlmoraSyncRootPath(); }, p.syncUser, p.files, p.clock, queuePort_, hosts_,
               uploadPort_, downloadPort_, &p.mainLoop},
      dispatcher_({[this] { return account_.getUlmoraSyncRootPath(); }, p.files.backupFileEntries,
                   p.backupFileEntriesAfterDelete, p.proxySettings,
                   // The database's row, read when the set is dispatched.
                   [this](const std::string& path) { return seenVersionForUpload(path); }, &p.mainLoop},
                  queuePort_, uploadPort_, hosts_, renames_, p.state.repeatedSets),
      uploadRuns_(context_, renames_, p.state.repeatedSets),
      downloadRuns_(context_, p.state.repeatedSets),
      discovery_(p.clock, discoveryPorts()) {
  uploadManager_.setDelegate(this);
  downloadManager_.setDelegate(this);
}

ServiceDiscovery::Ports UploadRoad::discoveryPorts() {
  ServiceDiscovery::Ports ports;
  ports.credentials = [this] {
    User user = account_.craeteUserInfoObject();
    return std::make_pair(user.userName(), user.password());
  };
  ports.post = [this](const std::string& body) -> std::optional<std::string> {
    HttpsRequest request;
    request.url = serviceEndpointURL(account_.craeteUserInfoObject().webServer(), ServiceDiscovery::kPath);
    if (request.url.empty()) return std::nullopt;
    request.body = body;
    request.timeout = kDiscoveryTimeout;
    request.tls = HttpsSettings::forConsoleUser(consoleUser_);
    HttpsTransfer transfer(std::move(request));
    {
      MutexLock lock(lookupMutex_);
      if (lookupStopped_) return std::nullopt;
      lookup_ = &transfer;
    }
    HttpsResponse reply = transfer.perform();
    {
      MutexLock lock(lookupMutex_);
      lookup_ = nullptr;
    }
    if (!reply.ok()) return std::nullopt;
    return reply.body;
  };
  ports.apply = [this](const std::string& server) { hosts_.useDiscoveredServerOnMain(server); };
  return ports;
}

void UploadRoad::stop() {
  {
    MutexLock lock(lookupMutex_);
    lookupStopped_ = true;
    if (lookup_) lookup_->cancel();
  }
  discovery_.stop();
  guard_.invalidate();
}

std::optional<engineset::SeenVersion> UploadRoad::seenVersionForUpload(const std::string& path) {
  return hosts_.seenVersionForUpload(path);
}

void UploadRoad::startBackup() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  gatherHeldRenames();
  uploadRuns_.handOnRenames();
  dispatcher_.startBackup();
}

void UploadRoad::dispatchDownloads() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  std::set<std::string> renamed;
  {
    MutexLock hold(state_.push.mutex);
    renamed = state_.push.renamedPathDuringListing;
  }
  const std::map<std::string, std::string> batch =
      downloadBatch(queue_.readFileFor("4"), downloadRuns_.takeDueRetries(), renamed);
  if (batch.empty()) {
    progress_.tracker().ResetCumulativeCountVariablesForRestore();
    return;
  }
  if (server_.downloads().dispatch(batch)) daemonTrace("start restore called");
}

std::map<std::string, std::string> UploadRoad::downloadBatch(const PropertyList& journal,
                                                             std::map<std::string, std::string> dueRetries,
                                                             const std::set<std::string>& renamedDuringListing) {
  std::map<std::string, std::string> batch;
  if (const PropertyList::Dict* d = journal.asDict()) {
    for (const auto& [path, size] : *d) batch.emplace(path, size.textValue().value_or(""));
  }
  batch.merge(dueRetries);
  for (const std::string& path : renamedDuringListing) batch.erase(path);
  return batch;
}

void UploadRoad::gatherHeldRenames() {
  for (const auto& [from, to] : settings_.takeRenamesAfterBackup()) renames_.recordRename(from, to);
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
  const std::string relative = syncpaths::relativePath(SyncRootPath(account_.getUlmoraSyncRootPath()), path);
  if (relative.empty() || relative == "/") return;
  hosts_.rowGoesWithFile(relative);
  queue_.addFileToDelete(relative);
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
