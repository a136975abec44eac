#include "sync/upload/UploadRoadHosts.h"

#include "capture/ExcludedFilesCollections.h"
#include "journal/CompanionMessenger.h"
#include "sync/runs/SeenVersionRule.h"
#include "sync/control/SyncControllerOwner.h"

namespace ulmora {

void UploadRoadHosts::useDiscoveredServerOnMain(const std::string& server) {
  p_.postOnMain([&account = p_.account, server] { account.useDiscoveredServer(server); });
}

void UploadRoadHosts::backupSetDispatched() {
  p_.state.upload.IsMoreThanTenThousand = false;
  p_.progress.tracker().ResetSetVariablesForBackup();
}

void UploadRoadHosts::sendMonitorMessage(const std::string& text, int type) {
  SyncControllerOwner* o = p_.account.accountOwner();
  std::shared_ptr<CompanionMessenger> monitor = o != nullptr ? o->monitorMessenger() : nullptr;
  if (monitor) monitor->sendIPCMessage(PropertyList(text), type, false);
}

// Run endings come on the engine run's thread; the server road and the push
// handler are the main loop's.
void UploadRoadHosts::keepRefusedUpload(const std::string& relativePath) {
  p_.postOnMain([&server = p_.server, relativePath] { server.records().keepRefusedUpload(relativePath); });
}

void UploadRoadHosts::startPushing(const std::string& topic, const std::string& messageId, const std::string& text) {
  p_.postOnMain([&account = p_.account, topic, messageId, text] { account.startPushing(topic, messageId, text); });
}

void UploadRoadHosts::setVideoUserDetails(const std::string& user, const std::string& password) {
  PropertyList details(PropertyList::Dict{});
  details.set("username", user);
  details.set("password", password);
  p_.video.setServiceHost(p_.account.craeteUserInfoObject().webServer());
  p_.video.setUserDetails(details);
}

std::optional<std::vector<std::string>> UploadRoadHosts::filterversionRestoredFile(
    const std::vector<std::string>& relativePaths) {
  return p_.filters.filterversionRestoredFile(relativePaths, [this](const std::string& path) {
    std::optional<ExcludedFilesCollections::SeenAtRename> kept;
    if (auto seen = seenVersionForUpload(path)) kept = ExcludedFilesCollections::SeenAtRename{seen->size, seen->mtimeSeconds, seen->refId};
    return kept;
  });
}

void UploadRoadHosts::rowGoesWithFile(const std::string& relativePath) {
  keepSeenVersionOfGoneFile(p_.filters, relativePath, seenVersionForUpload(relativePath));
}

std::optional<engineset::SeenVersion> UploadRoadHosts::seenVersionForUpload(const std::string& path) {
  FileStatusPort& rows = p_.server.status();
  UploadRowFacts row;
  row.backedUp = rows.backupStatus(path);
  if (row.backedUp) {
    row.restored = rows.restoreStatus(path);
    row.recorded = rows.recordedFacts(path);
    if (auto status = rows.backupStatusAndRefId(path)) row.refId = status->refId;
  }
  return ulmora::seenVersionForUpload(p_.filters, path, ulmora::seenVersionForUpload(row));
}

void UploadRoadHosts::clearRestoreSets(const std::vector<std::string>& stillQueued) {
  p_.filters.clearRestoreSetOfEngineOne();
  p_.filters.clearRestoreSetOfEngineTwo();
  p_.filters.releasePendingDownloads(stillQueued);
}

void UploadRoadHosts::downloadWritten(const std::string& relativePath, const std::string& reportedSize) {
  p_.filters.downloadWritten(relativePath, reportedSize);
}

bool UploadRoadHosts::downloadWrittenSinceQueued(const std::string& relativePath) {
  return p_.filters.downloadWrittenSinceQueued(relativePath);
}

void UploadRoadHosts::uploadArrived(const std::string& relativePath, const std::string& reportedSize) {
  p_.filters.uploadArrived(relativePath, reportedSize);
}

}  // namespace ulmora
