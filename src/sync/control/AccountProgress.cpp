#include "sync/control/AccountProgress.h"

#include "engine/KVTBackupManager.h"
#include "foundation/LoginDetails.h"
#include "foundation/QLUtility.h"
#include "journal/UMSDBSyncInputManger.h"
#include "sync/control/SyncControllerOwner.h"

namespace ulmora {

AccountProgress::AccountProgress(Account account, Clock& clock, KVTBackupManager& upload, KVTBackupManager& download,
                                 UMSDBSyncInputManger& queue, AccountState& state, AccountProgressHost& host)
    : account_(std::move(account)),
      upload_(upload),
      download_(download),
      queue_(queue),
      state_(state),
      host_(host),
      uploadView_([this] { return &upload_; }),
      downloadView_([this] { return &download_; }),
      monitor_([this]() -> std::shared_ptr<CompanionMessenger> {
        SyncControllerOwner* o = host_.progressOwner();
        return o != nullptr ? o->monitorMessenger() : nullptr;
      }),
      status_(*this, monitor_),
      tracker_(clock, status_, *this, uploadView_, downloadView_) {
  status_.initialize();
}

void AccountProgress::BackupRestoreStarted(KVTBackupManager& manager) {
  tracker_.BackupRestoreStarted(&manager == &download_ ? TransferDirection::kDownload
                                                       : TransferDirection::kUpload);
}

void AccountProgress::BackupRestoreFinised(KVTBackupManager& manager) {
  std::optional<TransferDirection> direction;
  if (&manager == &download_) {
    direction = TransferDirection::kDownload;
  } else if (&manager == &upload_) {
    direction = TransferDirection::kUpload;
  }
  tracker_.BackupRestoreFinised(direction);
}

void AccountProgress::requestBackupTotals() {
  if (SyncControllerOwner* o = host_.progressOwner()) o->queryMainDBForTotalCountAndSizeOfBackupFiles();
}
void AccountProgress::requestRestoreTotals() {
  if (SyncControllerOwner* o = host_.progressOwner()) o->queryMainDBForTotalCountAndSizeOfRestoreFiles();
}
bool AccountProgress::CheckIfBackupFilesPendingBool() { return queue_.CheckIfBackupFilesPendingBool(); }
bool AccountProgress::CheckForRestoreFilesInMemory() { return queue_.CheckForRestoreFilesInMemory(); }
bool AccountProgress::CheckForRestoreFiles() { return queue_.CheckForRestoreFiles(); }

bool AccountProgress::isSubAccount() { return LoginDetails::isSubAccount(accountDetailsPath()); }
std::string AccountProgress::accountDetailsPath() {
  return QLUtility::pathForTemplateKey("UMLoginDetailsFile", account_.consoleUser);
}

}  // namespace ulmora
