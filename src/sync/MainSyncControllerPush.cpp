// Push messages, local renames and deletes, folder creation: the
// PushConcern is built here, the contract's operations of this concern go to
// it while the controller runs, and the controller answers what it asks.
#include "foundation/QLBackupProgressLogger.h"
#include "platform/ThreadCheck.h"
#include "sync/MainSyncController.h"
#include "sync/server/ServerRoad.h"
#include "sync/upload/UploadRoad.h"

namespace ulmora {

void MainSyncController::buildPush() {
  push_ = std::make_unique<PushConcern>(PushConcern::Parts{
      appSupportFilePaths_, ctx_.session, enginePath_, ctx_.clock, ctx_.mainLoop, ctx_.poster, ctx_.inputQueue,
      ctx_.collections, state_, *settings_, *progress_, *controlRoom_, *serverRoad_, *uploadRoad_, engines_->uploads(),
      *mRenameLogger_, *timers_, static_cast<PushConcernAccount&>(*this)});
}

// Ends the workers and the subscription; the collaborators stay whole until
// the controller goes, for the engine callbacks of the runs stopped later.
void MainSyncController::stopPush() {
  if (push_) push_->stop();
}

// Work of this concern starts only while the controller runs.
PushConcern* MainSyncController::pushToStart() { return shutDown_ ? nullptr : push_.get(); }

void MainSyncController::setEnableListeningNotifications(bool enable) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  state_.push.enableListeningNotifications = enable;
  if (PushConcern* push = pushToStart()) push->setEnableListeningNotifications(enable);
}

void MainSyncController::ExcuteEventsCaptured() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (PushConcern* push = pushToStart()) push->renameDelete().ExcuteEventsCaptured();
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

void MainSyncController::CreateFolder() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (PushConcern* push = pushToStart()) push->folderCreation().CreateFolder();
}

}  // namespace ulmora
