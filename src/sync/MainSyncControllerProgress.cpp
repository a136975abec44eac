// Progress counters and status: placeholders until the progress and status
// concern replaces this file. Each traces the call and does the least that
// keeps the account coherent.
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "sync/MainSyncController.h"
#include "sync/SyncControllerOwner.h"

namespace ulmora {
void MainSyncController::buildProgress() {}
void MainSyncController::stopProgress() {}

void MainSyncController::queryMainDB(int option) {
  if (SyncControllerOwner* o = owner()) o->queryMainDB(option);
}

bool MainSyncController::isBackupGoingOn() { return mBackupManager_ && mBackupManager_->isRunning(); }

bool MainSyncController::isRestoreGoingOn() {
  return mRestoreManager_ && mRestoreManager_->isRunning();
}

void MainSyncController::SetQueryMainDBforCountBackup(bool /*query*/) {}

void MainSyncController::GetTotalCountAndTotalSizeOfBackupFiles() {
  if (SyncControllerOwner* o = owner()) o->queryMainDBForTotalCountAndSizeOfBackupFiles();
}

void MainSyncController::SetQueryMainDBforCountRestore(bool /*query*/) {}

void MainSyncController::GetTotalCountAndTotalSizeOfRestoreFiles() {
  if (SyncControllerOwner* o = owner()) o->queryMainDBForTotalCountAndSizeOfRestoreFiles();
}

void MainSyncController::SetTotalBackupCount(int64_t /*count*/) {}
void MainSyncController::SetTotalBackupSize(int64_t /*bytes*/) {}
void MainSyncController::ResetNecessaryVariablesForBackup() {}
void MainSyncController::SetQueriedForBackup(bool /*queried*/) {}
void MainSyncController::SetTotalRestoreCount(int64_t /*count*/) {}
void MainSyncController::SetTotalRestoreSize(int64_t /*bytes*/) {}
void MainSyncController::ResetNecessaryVariablesForRestore() {}
void MainSyncController::SetQueriedForRestore(bool /*queried*/) {}

bool MainSyncController::isbackupStarted() { return state_.progress.backupStarted; }
bool MainSyncController::isrestoreStarted() { return state_.progress.restoreStarted; }

void MainSyncController::BackupRestoreFinised(KVTBackupManager& manager) {
  notBuiltYet("BackupRestoreFinised");
  if (&manager == mBackupManager_.get()) {
    state_.progress.backupStarted = false;
  } else {
    state_.progress.restoreStarted = false;
  }
}

void MainSyncController::ResetCumulativeCountVariablesForRestore() {}

bool MainSyncController::isRenameCollectionEmpty() { return true; }

void MainSyncController::setMonitorToolTip(const std::string& code) {
  notBuiltYet("setMonitorToolTip " + code);
}

void MainSyncController::removeItemFromToolTipFor(const std::string& code) {
  notBuiltYet("removeItemFromToolTipFor " + code);
}

}  // namespace ulmora
