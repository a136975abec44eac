// The account's side of the database counts: the owner counts, the
// progress counters keep the totals.
#include <string>

#include "engine/KVTBackupManager.h"
#include "journal/CompanionMessenger.h"
#include "sync/MainSyncController.h"
#include "sync/control/SyncControllerOwner.h"

namespace ulmora {

void MainSyncController::buildProgress() {
  progress_ = std::make_unique<AccountProgress>(
      AccountProgress::Account{ctx_.session.consoleUser, getSyncFilePath()}, ctx_.clock, engines_->uploads(),
      engines_->downloads(), ctx_.inputQueue, state_, static_cast<AccountProgressHost&>(*this));
}

// The progress stays until the controller goes: a late caller on another
// thread still finds it, and with the runs stopped nothing reaches the monitor.
void MainSyncController::stopProgress() {}

// ---------------------------------------------------------------- counts

void MainSyncController::queryMainDB(int option) {
  if (SyncControllerOwner* o = owner()) o->queryMainDB(option);
}

bool MainSyncController::isBackupGoingOn() { return engines_->uploads().isRunning(); }

bool MainSyncController::isRestoreGoingOn() { return engines_->downloads().isRunning(); }

void MainSyncController::SetQueryMainDBforCountBackup(bool query) {
  if (progress_) progress_->tracker().SetQueryMainDBforCountBackup(query);
}

void MainSyncController::GetTotalCountAndTotalSizeOfBackupFiles() {
  if (progress_) progress_->tracker().GetTotalCountAndTotalSizeOfBackupFiles();
}

void MainSyncController::SetQueryMainDBforCountRestore(bool query) {
  if (progress_) progress_->tracker().SetQueryMainDBforCountRestore(query);
}

void MainSyncController::GetTotalCountAndTotalSizeOfRestoreFiles() {
  if (progress_) progress_->tracker().GetTotalCountAndTotalSizeOfRestoreFiles();
}

void MainSyncController::SetTotalBackupCount(int64_t count) {
  if (progress_) progress_->tracker().SetTotalBackupCount(count);
}

void MainSyncController::SetTotalBackupSize(int64_t bytes) {
  if (progress_) progress_->tracker().SetTotalBackupSize(bytes);
}

void MainSyncController::ResetNecessaryVariablesForBackup() {
  if (progress_) progress_->tracker().ResetNecessaryVariablesForBackup();
}

void MainSyncController::SetQueriedForBackup(bool queried) {
  if (progress_) progress_->tracker().SetQueriedForBackup(queried);
}

void MainSyncController::SetTotalRestoreCount(int64_t count) {
  if (progress_) progress_->tracker().SetTotalRestoreCount(count);
}

void MainSyncController::SetTotalRestoreSize(int64_t bytes) {
  if (progress_) progress_->tracker().SetTotalRestoreSize(bytes);
}

void MainSyncController::ResetNecessaryVariablesForRestore() {
  if (progress_) progress_->tracker().ResetNecessaryVariablesForRestore();
}

void MainSyncController::SetQueriedForRestore(bool queried) {
  if (progress_) progress_->tracker().SetQueriedForRestore(queried);
}

// ---------------------------------------------------------------- progress

bool MainSyncController::isbackupStarted() { return progress_ && progress_->tracker().isbackupStarted(); }

bool MainSyncController::isrestoreStarted() { return progress_ && progress_->tracker().isrestoreStarted(); }

}  // namespace ulmora
