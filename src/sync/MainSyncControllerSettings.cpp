// The account's connection record, session log files, what the network's
// state changes and the renames held back while their file uploads.
#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLogger.h"
#include "foundation/QLUtility.h"
#include "platform/FileUtil.h"
#include "platform/ThreadCheck.h"
#include "sync/MainSyncController.h"

namespace ulmora {

bool MainSyncController::setUserData() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  return settingsEncoding_->setUserData();
}

void MainSyncController::setUlmoraSyncRootPath(const std::string& path) {
  MutexLock hold(identityMutex_);
  mUlmoraSyncRootPath_ = path;
}

void MainSyncController::serviceHostMayHaveChanged() { reachability_->recheck(); }

std::string MainSyncController::createSessionFileForOperation(int operation,
                                                              const std::string& name) {
  controlRoom_->activity().CreateXmlLogFile();
  const std::string wanted = QLLogger::constructSessionFileNameforOperarion(operation, ctx_.clock);
  QLLogger::logDaemonTrace("createSessionFileForOperation path " +
                           fileutil::joinPath(applicationFile(1), "SessionLogsNew/Sync") + " ");
  const AccountSettings::SessionFile file = settings_->sessionFileFor(wanted, name);
  if (file.isNew) {
    QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(
        "Successfully logged on to '" + settings_->values().gUlmoraUserName + "' account", true);
  }
  return file.path;
}

bool MainSyncController::checkRenamedFileisUnderBackup(const RenameEntry& rename) {
  KVTBackupManager* upload = &engines_->uploads();
  const bool running = upload->isRunning();
  return settings_->holdRenameForUpload(rename, running,
                                        running ? upload->fileFolderSetForOperation()
                                                : std::vector<std::string>{});
}

// ---------------------------------------------------------------- reachability

void MainSyncController::networkChanged(bool reachable) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (reachable) {
    controlRoom_->control().resetToolTips();
    progress_->status().removeItemFromToolTipFor("T1012");
  } else {
    progress_->status().setMonitorToolTip("T1012");
  }
}

bool MainSyncController::isNWAvailable() { return reachability_->isNWAvailable(); }

}  // namespace ulmora
