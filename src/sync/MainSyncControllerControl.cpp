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

void placeholder(const std::string& what) { daemonTrace("sync controller (not built yet): " + what); }

constexpr const char* kFolderInvalidText =
    "Sync folder path is invalid. Please select a different path and try again.";

}  // namespace

void MainSyncController::buildControl() { initializeSelctiveSyncSet(); }
void MainSyncController::stopControl() {}

void MainSyncController::PauseSync() { placeholder("PauseSync"); }
void MainSyncController::ResumeSync() { placeholder("ResumeSync"); }
void MainSyncController::UnlinkSync() { placeholder("UnlinkSync"); }

void MainSyncController::stopSyncForUnlink(bool /*unlink*/) {
  placeholder("stopSyncForUnlink");
  cancelAllSyncTimers();
}

void MainSyncController::ReinitializeSync() { placeholder("ReinitializeSync"); }

void MainSyncController::startSyncListingAllFiles(int mode) {
  placeholder("startSyncListingAllFiles " + std::to_string(mode));
  // A reinitialise ends with its full listing; until listings run it ends
  // here, so the account does not stay marked as reinitialising.
  if (mode == 0 && state_.cycle.isReinitialize.exchange(false)) {
    if (SyncControllerOwner* o = owner()) o->setisReinitializeState(false);
  }
}

void MainSyncController::selectiveSyncModefied() { placeholder("selectiveSyncModefied"); }
void MainSyncController::ShowVersion(const std::string& path) { placeholder("ShowVersion " + path); }

void MainSyncController::SendPathRootSet() {
  SyncControllerOwner* o = owner();
  std::shared_ptr<CompanionMessenger> finder = o != nullptr ? o->finderMessenger() : nullptr;
  if (finder != nullptr) {
    finder->sendIPCMessage(PropertyList(getUlmoraSyncRootPath()), messagetype::kFinderSyncRoot,
                           false);
  }
}

void MainSyncController::RecalculateQuota() { placeholder("RecalculateQuota"); }
void MainSyncController::sendToolTip() { placeholder("sendToolTip"); }

void MainSyncController::notAbleTOCreateFolderAtPath() {
  placeholder("notAbleTOCreateFolderAtPath");
  SyncControllerOwner* o = owner();
  std::shared_ptr<CompanionMessenger> monitor = o != nullptr ? o->monitorMessenger() : nullptr;
  if (monitor == nullptr) return;
  monitor->sendIPCMessage(PropertyList(kFolderInvalidText), messagetype::kMonitorSyncFolderDisabled,
                          false);
  monitor->sendIPCMessage(PropertyList(kFolderInvalidText), messagetype::kMonitorSyncFolderInvalid,
                          false);
}

void MainSyncController::initializeSelctiveSyncSet() {}
void MainSyncController::ifSyncFolderDoNotExist() { placeholder("ifSyncFolderDoNotExist"); }
void MainSyncController::resetToolTips() {}
void MainSyncController::updateSSWindowRefresh() {}
void MainSyncController::runCalQuotaInThread(const std::string& mode) {
  placeholder("runCalQuotaInThread " + mode);
}
void MainSyncController::CreateXmlLogFile() {}
void MainSyncController::accountSettingsChanged() {}
void MainSyncController::VersionRestoreStarted() { placeholder("VersionRestoreStarted"); }
void MainSyncController::VersionRestoreEnded() { placeholder("VersionRestoreEnded"); }

}  // namespace ulmora
