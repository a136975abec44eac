// Account connection settings, session log files, reachability and the
// renames held back while their file uploads.
#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "engine/KVTPEncodingController.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLogger.h"
#include "foundation/QLUtility.h"
#include "foundation/StringExtensions.h"
#include "platform/FileUtil.h"
#include "platform/NetworkReachability.h"
#include "sync/MainSyncController.h"

namespace ulmora {
namespace {

constexpr int kProxySettings = 84;
constexpr int kUserQuotaDetails = 124;

}  // namespace

AccountSettings::Encoder MainSyncController::encoderForSettings() const {
  return [path = enginePath_](const std::string& secret) -> std::optional<std::string> {
    if (secret.empty()) return std::nullopt;
    return KVTPEncodingController(path).getEncodedPassword(secret);
  };
}

AccountSettings::Decoder MainSyncController::decoderForSettings() const {
  return [](const std::string& stored) { return decryptedString(stored); };
}

bool MainSyncController::setUserData() {
  std::optional<AccountSettings::Applied> applied = settings_->load();
  if (!applied) return false;
  if (applied->businessUser) {
    const std::string marker = applicationFile(kUserQuotaDetails);
    if (fileutil::exists(marker)) QLUtility::removeFile(marker);
  }
  if (applied->syncRoot) setUlmoraSyncRootPath(*applied->syncRoot);
  const AccountSettings::Values v = settings_->values();
  setIsBusinessUser(v.gAccountPlan);
  ctx_.collections.loadExcludedFileListFor(v.guserName);
  accountSettingsChanged();
  // The service host may have changed.
  if (reachability_) reachability_->recheck();
  return true;
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
  std::lock_guard<std::mutex> hold(identityMutex_);
  mUlmoraSyncRootPath_ = path;
}

void MainSyncController::setIsBusinessUser(const std::string& plan) {
  state_.cycle.mIsBusinessUser = plan != "F";
}

void MainSyncController::setBandWidthThrottleForObject(KVTBackupManager* manager) {
  if (manager == nullptr) return;
  manager->setBandwidthThrottleValue(settings_->bandwidthThrottle(manager == mBackupManager_.get()));
}

std::string MainSyncController::createSessionFileForOperation(int operation,
                                                              const std::string& name) {
  CreateXmlLogFile();
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
    // The service host of the account; the settings may not be read yet, so
    // it is looked up at each check.
    reachability_ = std::make_unique<ServiceHostReachability>(
        ctx_.clock, [settings = settings_.get()] { return settings->values().gServerName; });
  }
  if (!reachability_) return;
  state_.cycle.doesNWAvailable = reachability_->isReachable().value_or(false);
  reachability_->start(ctx_.mainLoop, guard_.wrap([this](bool reachable) {
    MyNetworkReachabilityCallBack(reachable);
  }));
}

void MainSyncController::MyNetworkReachabilityCallBack(bool reachable) {
  if (reachable) {
    setNWAvailablityStat(true);
    resetToolTips();
    progress_->status().removeItemFromToolTipFor("T1012");
  } else {
    setNWAvailablityStat(false);
    progress_->status().setMonitorToolTip("T1012");
  }
}

void MainSyncController::setNWAvailablityStat(bool available) {
  if (!available) state_.control.refreshSS = true;
  state_.cycle.doesNWAvailable = available;
}

bool MainSyncController::isNWAvailable() { return state_.cycle.doesNWAvailable; }

std::string MainSyncController::getUserPrivateKey() { return settings_->values().gPvtKey; }

std::string MainSyncController::getUserName() { return settings_->values().gUlmoraUserName; }

std::string MainSyncController::currentulmoraUserName() {
  return settings_->values().gUlmoraUserName;
}

}  // namespace ulmora
