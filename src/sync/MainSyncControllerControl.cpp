// Control and periphery: placeholders until the control concern replaces
// this file. The companions' commands are traced and do what keeps the
// account coherent.
#include "foundation/QLBackupProgressLogger.h"
#include "ipc/IpcMessageTypes.h"
#include "journal/CompanionMessenger.h"
#include "sync/MainSyncController.h"
#include "sync/SyncControllerOwner.h"

namespace ulmora {
namespace {

constexpr const char* kFolderInvalidText =
    "Sync folder path is invalid. Please select a different path and try again.";

}  // namespace

void MainSyncController::buildControl() { initializeSelctiveSyncSet(); }
void MainSyncController::stopControl() {}

void MainSyncController::PauseSync() { notBuiltYet("PauseSync"); }
void MainSyncController::ResumeSync() { notBuiltYet("ResumeSync"); }
void MainSyncController::UnlinkSync() { notBuiltYet("UnlinkSync"); }

void MainSyncController::stopSyncForUnlink(bool /*unlink*/) {
  notBuiltYet("stopSyncForUnlink");
  cancelAllSyncTimers();
}

void MainSyncController::ReinitializeSync() { notBuiltYet("ReinitializeSync"); }

void MainSyncController::startSyncListingAllFiles(int mode) {
  notBuiltYet("startSyncListingAllFiles " + std::to_string(mode));
  // A reinitialise ends with its full listing; until listings run it ends
  // here, so the account does not stay marked as reinitialising.
  if (mode == 0 && state_.cycle.isReinitialize.exchange(false)) {
    if (SyncControllerOwner* o = owner()) o->setisReinitializeState(false);
  }
}

void MainSyncController::selectiveSyncModefied() { notBuiltYet("selectiveSyncModefied"); }
void MainSyncController::ShowVersion(const std::string& path) { notBuiltYet("ShowVersion " + path); }

void MainSyncController::SendPathRootSet() {
  SyncControllerOwner* o = owner();
  std::shared_ptr<CompanionMessenger> finder = o != nullptr ? o->finderMessenger() : nullptr;
  if (finder != nullptr) {
    finder->sendIPCMessage(PropertyList(getUlmoraSyncRootPath()), messagetype::kFinderSyncRoot,
                           false);
  }
}

void MainSyncController::RecalculateQuota() { notBuiltYet("RecalculateQuota"); }
void MainSyncController::sendToolTip() { notBuiltYet("sendToolTip"); }

void MainSyncController::notAbleTOCreateFolderAtPath() {
  notBuiltYet("notAbleTOCreateFolderAtPath");
  SyncControllerOwner* o = owner();
  std::shared_ptr<CompanionMessenger> monitor = o != nullptr ? o->monitorMessenger() : nullptr;
  if (monitor == nullptr) return;
  monitor->sendIPCMessage(PropertyList(kFolderInvalidText), messagetype::kMonitorSyncFolderDisabled,
                          false);
  monitor->sendIPCMessage(PropertyList(kFolderInvalidText), messagetype::kMonitorSyncFolderInvalid,
                          false);
}

void MainSyncController::initializeSelctiveSyncSet() {}
void MainSyncController::ifSyncFolderDoNotExist() { notBuiltYet("ifSyncFolderDoNotExist"); }
void MainSyncController::resetToolTips() {}
void MainSyncController::updateSSWindowRefresh() {}
void MainSyncController::runCalQuotaInThread(const std::string& mode) {
  notBuiltYet("runCalQuotaInThread " + mode);
}
void MainSyncController::CreateXmlLogFile() {}
void MainSyncController::accountSettingsChanged() {}
void MainSyncController::VersionRestoreStarted() { notBuiltYet("VersionRestoreStarted"); }
void MainSyncController::VersionRestoreEnded() { notBuiltYet("VersionRestoreEnded"); }

}  // namespace ulmora
