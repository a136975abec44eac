#include "sync/server/ServerRoadHosts.h"

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLocalizedString.h"
#include "journal/CompanionMessenger.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "service/SynListingController.h"
#include "sync/control/SyncControllerOwner.h"

namespace ulmora {
namespace {

constexpr int kMessageAccountCancelled = 507;
constexpr int kMessageReinitialiseEnded = 516;

// A localised text with its "%@" places filled in order.
std::string localized(const std::string& key, std::initializer_list<std::string> values = {}) {
  std::string text = QLLocalizedString(key);
  size_t from = 0;
  for (const auto& value : values) {
    size_t at = text.find("%@", from);
    if (at == std::string::npos) break;
    text.replace(at, 2, value);
    from = at + value.size();
  }
  return text;
}

// One session log of the sync's own work: its heading, its lines, the rule.
void writeSessionLog(const std::string& file, const std::string& heading, std::initializer_list<std::string> lines) {
  if (file.empty() || file.front() != '/') return;  // no session-log folder known
  auto& logger = QLBackupProgressLogger::progressLogger();
  logger.writeSessionLogWithoutTimeStamp(heading, file, true);
  for (const auto& line : lines) logger.writeSessionLog(line, file, true);
  logger.writeSessionLogWithoutTimeStamp(std::string(50, '-') + "\n", file, true);
}

}  // namespace

ServerRoadHosts::ServerRoadHosts(Parts parts) : p_(std::move(parts)) {}

bool ServerRoadHosts::isUploadRunning() { return p_.uploadManager.isRunning(); }
bool ServerRoadHosts::isDownloadRunning() { return p_.downloadManager.isRunning(); }

bool ServerRoadHosts::lastDownloadRunFailed() {
  return p_.downloadManager.failureFileCount() > 0 || p_.downloadManager.backupOrRestorFailCount() > 0;
}

bool ServerRoadHosts::startListingFromStoredIndex() {
  p_.account.startSyncListingAllFiles(1);
  SynListingController* listing = p_.account.liveChangeListing();
  return listing != nullptr && listing->isRunning();
}

void ServerRoadHosts::accountCancelledFromListing() {
  p_.progress.status().setMonitorToolTip("T1018");
  p_.progress.status().showDesktopPushNotification("N1023");
  if (SyncControllerOwner* o = p_.account.accountOwner())
    if (auto monitor = o->monitorMessenger())
      monitor->sendIPCMessage(PropertyList(std::string("The account has been cancelled")), kMessageAccountCancelled,
                              false);
  fileutil::removeAll(p_.loginDetails);
  daemonTrace("The account has been cancelld so sending unlink message to monitor");
}

// The controller's operations of the main loop, posted there from the
// listing worker.
void ServerRoadHosts::selectiveSyncModefied() {
  p_.postOnMain([&account = p_.account] { account.selectiveSyncModefied(); });
}

void ServerRoadHosts::setQueueReinitializeState(bool state) { p_.queue.setReinitializeState(state); }

void ServerRoadHosts::reinitialiseEnded() {
  if (SyncControllerOwner* o = p_.account.accountOwner()) {
    if (auto monitor = o->monitorMessenger())
      monitor->sendIPCMessage(PropertyList(std::string()), kMessageReinitialiseEnded, false);
    o->setisReinitializeState(false);
  }
}

// The account-details request belongs to the main loop.
void ServerRoadHosts::getLoginDetailForUlmoraSyncUser() {
  p_.postOnMain([&control = p_.control] { control.events().getLoginDetailForUlmoraSyncUser(); });
}

void ServerRoadHosts::sendRecentItemsList(const std::vector<std::string>& restoredFromCache) {
  for (const std::string& path : restoredFromCache) p_.control.recent().addFileUpdatedFromCache(path);
  p_.control.sendRecentItemsList();
}

void ServerRoadHosts::deleteCachedFiles() {
  p_.postOnMain([&sweep = p_.cacheSweep] { sweep.deleteCachedFiles(); });
}

void ServerRoadHosts::WritingCreateDirCollection(const std::string& path) {
  p_.queue.addDirectory(p_.files.fullPath(path));
}

void ServerRoadHosts::downloadSetStarting() {
  p_.filters.downloadRunStarting();
  p_.state.server.IsMoreThanTenThousandRestore = false;
  p_.progress.tracker().ResetSetVariablesForRestore();
  p_.progress.BackupRestoreStarted(p_.downloadManager);
  p_.progress.tracker().GetTotalCountAndTotalSizeOfRestoreFiles();
}

void ServerRoadHosts::postSyncList(const std::vector<std::string>& fullPaths) {
  daemonTrace("Insync sending message to finder writing to downloads commented2.");
  p_.control.finder().postSyncList(fullPaths);
}

void ServerRoadHosts::syncDeleted(const std::string& relativePath) {
  writeSessionLog(p_.account.createSessionFileForOperation(4, "Delete"), localized("Operation: Sync deletion"),
                  {localized("Deleted item %@", {relativePath}), "SyncDeleted successfully"});
}

void ServerRoadHosts::syncRenamed(const std::string& oldRelative, const std::string& newRelative) {
  writeSessionLog(p_.account.createSessionFileForOperation(13, "Sync-Rename"), localized("Operation: Sync rename"),
                  {localized("Renamed item %@ to %@", {oldRelative, newRelative}), "SyncRenamed successfully"});
}

void ServerRoadHosts::conflictCopyKept(const std::string& relativePath, const std::string& copyRelative) {
  writeSessionLog(p_.account.createSessionFileForOperation(2, "Sync-Down"), localized("Operation: Sync conflict"),
                  {localized("The local copy of %@ was kept as %@: the server's copy took its place",
                             {relativePath, copyRelative})});
}

}  // namespace ulmora
