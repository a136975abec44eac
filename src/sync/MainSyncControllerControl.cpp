// Control and periphery: the ControlRoom is built here, the SyncController
// operations of this concern go to it, and the controller answers what the
// room asks of the timers, the settings and the later concerns.
#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "engine/ProxyController.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/ThreadCheck.h"
#include "service/SynListingController.h"
#include "sync/MainSyncController.h"
#include "sync/push/PushHandler.h"
#include "sync/server/RenameDeleteDispatcher.h"

namespace ulmora {

void MainSyncController::buildControl() {
  controlRoom_ = std::make_unique<ControlRoom>(ControlRoom::Parts{
      appSupportFilePaths_, enginePath_, ctx_.clock, ctx_.mainLoop, workerLoop_, ctx_.poster, ctx_.inputQueue, ctx_.collections,
      ctx_.eventJournal, state_, *settings_, *progress_, engines_->uploads(), engines_->downloads(), *timers_,
      static_cast<ControlRoomAccount&>(*this)});
}

void MainSyncController::stopControl() {
  if (controlRoom_) controlRoom_->stop();
}

// ---------------------------------------------------------------- SyncController

void MainSyncController::PauseSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->control().PauseSync();
}
void MainSyncController::ResumeSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->control().ResumeSync();
}
void MainSyncController::UnlinkSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
}
void MainSyncController::stopSyncForUnlink(bool unlink) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  // A start or listing still waiting for the settings would revive the
  // account after its stop.
  settingsEncoding_->dropWaiting();
  controlRoom_->control().stopSyncForUnlink(unlink);
}
void MainSyncController::ReinitializeSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->control().ReinitializeSync();
}
void MainSyncController::startSyncListingAllFiles(int mode) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  settingsEncoding_->afterSettingsEncoded(
      [this, mode] { controlRoom_->control().startSyncListingAllFiles(mode); });
}
void MainSyncController::RecalculateQuota() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->RecalculateQuota();
}
void MainSyncController::selectiveSyncModefied() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  settingsEncoding_->afterSettingsEncoded([this] { controlRoom_->selective().selectiveSyncModefied(); });
}
void MainSyncController::sendToolTip() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->events().sendToolTip();
}
void MainSyncController::ifSyncFolderDoNotExist() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->ifSyncFolderDoNotExist();
}
void MainSyncController::notAbleTOCreateFolderAtPath() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->notAbleTOCreateFolderAtPath();
}
void MainSyncController::SendPathRootSet() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->finder().SendPathRootSet();
}
void MainSyncController::ShowVersion(const std::string& path) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  controlRoom_->ShowVersion(path);
}

// ---------------------------------------------------------------- ControlRoomAccount

void MainSyncController::queryMainDBOnWorker(int option) {
  postToWorker([this, option] { queryMainDB(option); });
}

SynListingController* MainSyncController::liveChangeListing() { return engines_->liveChangeListing(); }

void MainSyncController::startChangeListing(int64_t index) {
  SynListingController* listing = engines_->liveChangeListing();
  if (listing == nullptr) return;
  const User user = userForEngineController();
  listing->setProxyDetails(ProxyController(user.proxySettingsFilePath()));
  listing->setUser(user);
  serverRoad_->listing().changeListingStarting(index == 0);
  listing->startListingWithIndexNumber(index);
}

void MainSyncController::stopListingAndAddNotificationFile() {
  serverRoad_->listing().StopListingAndAddNotificationFile();
}
void MainSyncController::deleteHalfRestoredFiles() { serverRoad_->downloads().deleteHalfRestoredFiles(); }
void MainSyncController::ClearRestoreRelatedFileEntries() {
  serverRoad_->downloads().ClearRestoreRelatedFileEntries();
}
bool MainSyncController::moveFromCache(const std::string& relativePath, const std::string& modTime,
                                       const std::string& size, const std::string& refId) {
  return serverRoad_->cache().moveFromCache(LocalCache::Wanted{relativePath, modTime, size, refId});
}

}  // namespace ulmora
