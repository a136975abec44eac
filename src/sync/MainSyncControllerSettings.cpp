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
namespace {

constexpr int kProxySettings = 84;

}  // namespace

bool MainSyncController::setUserData() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  return settingsEncoding_->setUserData();
}

User MainSyncController::craeteUserInfoObject() {
  const AccountSettings::Values v = settings_->values();
  User user;
  user.setUserName(v.guserName);
  user.setPassword(v.gPasswordString);
  user.setPrivateKey(v.gPvtKey);
  user.setPort(QLUtility::portParam());
  user.setKVTServerIP(v.gServerName);
  user.setISDefaultKey(isDefaultKeySetForUser(v.guserName));
  user.setProxySettingsFilePath(applicationFile(kProxySettings));
  user.setWebServer(v.gQuotaServerName.value_or(""));
  user.setUlmoraUsername(v.gUlmoraUserName);
  user.setEncPassword(v.gEPassword);
  user.setEncPvtPassword(v.gEPPassword);
  return user;
}

UserDetails MainSyncController::userDetails() {
  const AccountSettings::Values v = settings_->values();
  UserDetails d;
  d.userName = v.guserName;
  d.password = v.gPasswordString;
  d.server = v.gServerName;
  d.port = "--port=443";
  d.isKVTUser = true;
  d.isDefaultKey = isDefaultKeySetForUser(v.guserName);
  d.privateKeyPath = "key";
  d.exePath = enginePath_;
  d.destination = "/";
  d.syncFolderPath = getUlmoraSyncRootPath();
  d.encPassword = v.gEPassword;
  d.encPvtPassword = v.gEPPassword;
  return d;
}

bool MainSyncController::isDefaultKeySetForUser(const std::string& user) {
  return settings_->isDefaultKeySetForUser(user);
}

void MainSyncController::setUlmoraSyncRootPath(const std::string& path) {
  MutexLock hold(identityMutex_);
  mUlmoraSyncRootPath_ = path;
}

void MainSyncController::serviceHostMayHaveChanged() { reachability_->recheck(); }

void MainSyncController::setBandWidthThrottleForObject(KVTBackupManager* manager) {
  if (manager == nullptr) return;
  manager->setBandwidthThrottleValue(settings_->bandwidthThrottle(manager == mBackupManager_.get()));
}

std::string MainSyncController::createSessionFileForOperation(int operation,
                                                              const std::string& name) {
  controlRoom_->activity().CreateXmlLogFile();
  const std::string wanted = QLLogger::constructSessionFileNameforOperarion(operation, ctx_.clock);
  QLLogger::logDaemonTrace("createSessionFileForOperation path " +
                           fileutil::joinPath(applicationFile(1), "SessionLogsNew/Sync") + " ");
  const AccountSettings::SessionFile file = settings_->sessionFileFor(wanted, name);
  if (file.isNew) {
    QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(
        "Successfully logged on to '" + currentulmoraUserName() + "' account", true);
  }
  return file.path;
}

bool MainSyncController::checkRenamedFileisUnderBackup(const RenameEntry& rename) {
  KVTBackupManager* upload = mBackupManager_.get();
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

std::string MainSyncController::currentulmoraUserName() {
  return settings_->values().gUlmoraUserName;
}

}  // namespace ulmora
