// Account connection settings, session log files, reachability and the
// renames held back while their file uploads.
#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLogger.h"
#include "foundation/QLUtility.h"
#include "platform/FileUtil.h"
#include "platform/NetworkReachability.h"
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

void MainSyncController::serviceHostMayHaveChanged() {
  if (reachability_) reachability_->recheck();
}

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

void MainSyncController::constructNWReachablityObject() {
  if (ctx_.makeReachability) {
    reachability_ = ctx_.makeReachability();
  } else {
    // The account's storage server and web service; the settings may not be
    // read yet, so they are looked up at each check. The web service counts
    // because it names a new storage server when the stored one is gone.
    reachability_ = std::make_unique<ServiceHostReachability>(ctx_.clock, [settings = settings_.get()] {
      const auto values = settings->values();
      return std::vector<std::string>{values.gServerName, values.gQuotaServerName.value_or("")};
    });
  }
  if (!reachability_) return;
  const bool reachable = reachability_->isReachable().value_or(false);
  {
    MutexLock hold(state_.cycle.shared.mutex);
    state_.cycle.shared.doesNWAvailable = reachable;
  }
  reachability_->start(ctx_.mainLoop, guard_.wrap([this](bool reachable) {
    MyNetworkReachabilityCallBack(reachable);
  }));
}

void MainSyncController::MyNetworkReachabilityCallBack(bool reachable) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (reachable) {
    setNWAvailablityStat(true);
    controlRoom_->control().resetToolTips();
    progress_->status().removeItemFromToolTipFor("T1012");
  } else {
    setNWAvailablityStat(false);
    progress_->status().setMonitorToolTip("T1012");
  }
}

void MainSyncController::setNWAvailablityStat(bool available) {
  if (!available) {
    MutexLock hold(state_.control.shared.mutex);
    state_.control.shared.refreshSS = true;
  }
  MutexLock hold(state_.cycle.shared.mutex);
  state_.cycle.shared.doesNWAvailable = available;
}

bool MainSyncController::isNWAvailable() {
  MutexLock hold(state_.cycle.shared.mutex);
  return state_.cycle.shared.doesNWAvailable;
}

std::string MainSyncController::currentulmoraUserName() {
  return settings_->values().gUlmoraUserName;
}

}  // namespace ulmora
