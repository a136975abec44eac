// Progress counters and the status tracker of the account: the facade's
// operations forward to ProgressTracker and UlmoraSyncStatus, which reach
// the rest of the account through the ports below.
#include <optional>
#include <string>

#include "engine/KVTBackupManager.h"
#include "foundation/LoginDetails.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/UMSDBSyncInputManger.h"
#include "sync/MainSyncController.h"
#include "sync/ProgressStatusAdapters.h"
#include "sync/ProgressTracker.h"
#include "sync/SyncControllerOwner.h"
#include "sync/UlmoraSyncStatus.h"

namespace ulmora {

// What the counters and the status tracker ask of the account, answered by
// the controller.
class MainSyncController::ProgressRoom final : public ProgressHost, public SyncStatusHost {
 public:
  explicit ProgressRoom(MainSyncController& controller)
      : c_(controller),
        uploadView_([&controller] { return controller.mBackupManager_.get(); }),
        downloadView_([&controller] { return controller.mRestoreManager_.get(); }),
        monitor_([&controller] { return controller.monitorMessenger(); }),
        status(*this, monitor_),
        tracker(controller.ctx_.clock, status, *this, uploadView_, downloadView_) {
    status.initialize();
  }

  // ProgressHost: the owner counts on a worker of its own.
  void requestBackupTotals() override {
    if (SyncControllerOwner* o = c_.owner()) o->queryMainDBForTotalCountAndSizeOfBackupFiles();
  }
  void requestRestoreTotals() override {
    if (SyncControllerOwner* o = c_.owner()) o->queryMainDBForTotalCountAndSizeOfRestoreFiles();
  }
  bool CheckIfBackupFilesPendingBool() override {
    return c_.ctx_.inputQueue.CheckIfBackupFilesPendingBool();
  }
  bool CheckForRestoreFilesInMemory() override {
    return c_.ctx_.inputQueue.CheckForRestoreFilesInMemory();
  }
  bool CheckForRestoreFiles() override { return c_.ctx_.inputQueue.CheckForRestoreFiles(); }

  // SyncStatusHost
  bool isNWAvailable() override { return c_.isNWAvailable(); }
  bool isbackupStarted() override { return tracker.isbackupStarted(); }
  bool isrestoreStarted() override { return tracker.isrestoreStarted(); }
  bool isListingGoingOn() override { return c_.isListingGoingOn(); }
  bool isSubAccount() override { return LoginDetails::isSubAccount(accountDetailsPath()); }
  std::string accountDetailsPath() override {
    return QLUtility::pathForTemplateKey("UMLoginDetailsFile", c_.ctx_.session.consoleUser);
  }
  std::string getSyncFilePath() override { return c_.getSyncFilePath(); }

 private:
  MainSyncController& c_;
  KVTManagerRunView uploadView_;
  KVTManagerRunView downloadView_;
  MessengerMonitorSink monitor_;

 public:
  UlmoraSyncStatus status;
  ProgressTracker tracker;
};

namespace {

std::optional<TransferDirection> directionOf(const KVTBackupManager* manager,
                                             const KVTBackupManager* upload,
                                             const KVTBackupManager* download) {
  if (manager == download) return TransferDirection::kDownload;
  if (manager == upload) return TransferDirection::kUpload;
  return std::nullopt;
}

}  // namespace

void MainSyncController::buildProgress() {
  progressRoom_ = std::make_shared<ProgressRoom>(*this);
}

// The room stays until the controller goes: a late caller on another thread
// still finds it, and with the runs stopped nothing reaches the monitor.
void MainSyncController::stopProgress() {}

// ---------------------------------------------------------------- counts

void MainSyncController::queryMainDB(int option) {
  if (SyncControllerOwner* o = owner()) o->queryMainDB(option);
}

bool MainSyncController::isBackupGoingOn() { return mBackupManager_ && mBackupManager_->isRunning(); }

bool MainSyncController::isRestoreGoingOn() {
  return mRestoreManager_ && mRestoreManager_->isRunning();
}

void MainSyncController::SetQueryMainDBforCountBackup(bool query) {
  if (progressRoom_) progressRoom_->tracker.SetQueryMainDBforCountBackup(query);
}

void MainSyncController::GetTotalCountAndTotalSizeOfBackupFiles() {
  if (progressRoom_) progressRoom_->tracker.GetTotalCountAndTotalSizeOfBackupFiles();
}

void MainSyncController::SetQueryMainDBforCountRestore(bool query) {
  if (progressRoom_) progressRoom_->tracker.SetQueryMainDBforCountRestore(query);
}

void MainSyncController::GetTotalCountAndTotalSizeOfRestoreFiles() {
  if (progressRoom_) progressRoom_->tracker.GetTotalCountAndTotalSizeOfRestoreFiles();
}

void MainSyncController::SetTotalBackupCount(int64_t count) {
  if (progressRoom_) progressRoom_->tracker.SetTotalBackupCount(count);
}

void MainSyncController::SetTotalBackupSize(int64_t bytes) {
  if (progressRoom_) progressRoom_->tracker.SetTotalBackupSize(bytes);
}

void MainSyncController::ResetNecessaryVariablesForBackup() {
  if (progressRoom_) progressRoom_->tracker.ResetNecessaryVariablesForBackup();
}

void MainSyncController::SetQueriedForBackup(bool queried) {
  if (progressRoom_) progressRoom_->tracker.SetQueriedForBackup(queried);
}

void MainSyncController::SetTotalRestoreCount(int64_t count) {
  if (progressRoom_) progressRoom_->tracker.SetTotalRestoreCount(count);
}

void MainSyncController::SetTotalRestoreSize(int64_t bytes) {
  if (progressRoom_) progressRoom_->tracker.SetTotalRestoreSize(bytes);
}

void MainSyncController::ResetNecessaryVariablesForRestore() {
  if (progressRoom_) progressRoom_->tracker.ResetNecessaryVariablesForRestore();
}

void MainSyncController::SetQueriedForRestore(bool queried) {
  if (progressRoom_) progressRoom_->tracker.SetQueriedForRestore(queried);
}

// ---------------------------------------------------------------- progress

void MainSyncController::ResetCumulativeCountVariablesForBackup() {
  if (progressRoom_) progressRoom_->tracker.ResetCumulativeCountVariablesForBackup();
}

void MainSyncController::ResetCumulativeCountVariablesForRestore() {
  if (progressRoom_) progressRoom_->tracker.ResetCumulativeCountVariablesForRestore();
}

void MainSyncController::ResetSetVariablesForBackup() {
  if (progressRoom_) progressRoom_->tracker.ResetSetVariablesForBackup();
}

void MainSyncController::ResetSetVariablesForRestore() {
  if (progressRoom_) progressRoom_->tracker.ResetSetVariablesForRestore();
}

bool MainSyncController::isbackupStarted() {
  return progressRoom_ && progressRoom_->tracker.isbackupStarted();
}

bool MainSyncController::isrestoreStarted() {
  return progressRoom_ && progressRoom_->tracker.isrestoreStarted();
}

void MainSyncController::BackupRestoreStarted(KVTBackupManager& manager) {
  if (!progressRoom_) return;
  // Only the download manager announces a download; anything else is an upload.
  progressRoom_->tracker.BackupRestoreStarted(&manager == mRestoreManager_.get()
                                                  ? TransferDirection::kDownload
                                                  : TransferDirection::kUpload);
}

void MainSyncController::BackupRestoreFinised(KVTBackupManager& manager) {
  if (!progressRoom_) return;
  progressRoom_->tracker.BackupRestoreFinised(
      directionOf(&manager, mBackupManager_.get(), mRestoreManager_.get()));
}

void MainSyncController::sendDataToMonitor(const KVTProgressRecord& record, int optype,
                                           int /*state*/) {
  if (progressRoom_) progressRoom_->tracker.sendDataToMonitor(record, optype);
}

std::string MainSyncController::totalTimeRemainingForBackup(double rate, int64_t pendingSize,
                                                            bool forBackUp) {
  if (!progressRoom_) return "";
  return progressRoom_->tracker.totalTimeRemainingForBackup(rate, pendingSize, forBackUp);
}

std::string MainSyncController::TransferRateConversion(double bytesPerSecond) {
  return ProgressTracker::TransferRateConversion(bytesPerSecond);
}

void MainSyncController::resetValsForEMACalculation_Up() {
  if (progressRoom_) progressRoom_->tracker.resetValsForEMACalculation_Up();
}

void MainSyncController::resetValsForEMACalculation_Down() {
  if (progressRoom_) progressRoom_->tracker.resetValsForEMACalculation_Down();
}

int64_t MainSyncController::PreviousTransferedSizeForBackupMainSync() {
  return progressRoom_ ? progressRoom_->tracker.PreviousTransferedSizeForBackupMainSync() : 0;
}

int64_t MainSyncController::PreviousTransferedSizeForRestoreMainSync() {
  return progressRoom_ ? progressRoom_->tracker.PreviousTransferedSizeForRestoreMainSync() : 0;
}

std::shared_ptr<CompanionMessenger> MainSyncController::monitorMessenger() const {
  SyncControllerOwner* o = owner();
  return o != nullptr ? o->monitorMessenger() : nullptr;
}

// ---------------------------------------------------------------- status

void MainSyncController::setMonitorToolTip(const std::string& item) {
  if (progressRoom_) progressRoom_->status.setMonitorToolTip(item);
}

void MainSyncController::removeItemFromToolTipFor(const std::string& item) {
  if (progressRoom_) progressRoom_->status.removeItemFromToolTipFor(item);
}

void MainSyncController::removePNSRelatedToolTipsOnMainThread() {
  if (progressRoom_) progressRoom_->status.removePNSRelatedToolTipsOnMainThread();
}

void MainSyncController::WriteToCurrentStatus(const std::string& status) {
  if (progressRoom_) progressRoom_->status.WriteToCurrentStatus(status);
}

void MainSyncController::showDesktopPushNotification(const std::string& text) {
  if (progressRoom_) progressRoom_->status.showDesktopPushNotification(text);
}

std::string MainSyncController::shortenedNotificationName(const std::string& name) {
  return UlmoraSyncStatus::shortenedNotificationName(name);
}

void MainSyncController::sendCurrentSyncStatus() {
  if (progressRoom_) progressRoom_->status.sendCurrentSyncStatus();
}

void MainSyncController::setQuotaFull(bool full) {
  if (progressRoom_) progressRoom_->status.setQuotaFull(full);
}

std::string MainSyncController::currentSyncStatus() const {
  return progressRoom_ ? progressRoom_->status.currentStatus() : "";
}

}  // namespace ulmora
