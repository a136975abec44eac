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
#include "platform/ThreadCheck.h"
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
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  std::optional<AccountSettings::Reading> reading = settings_->read();
  if (!reading) return false;
  encodeSettings(std::move(*reading));
  return true;
}

bool MainSyncController::settingsEncodingPending() const {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  return settingsPending_;
}

void MainSyncController::encodeSettings(AccountSettings::Reading reading) {
  // The engine may hang for minutes (tries of 30 s each): never on the main
  // loop, and a newer reading does not wait for an older one.
  stopSettingsEncoder();
  if (shutDown_) return;
  const uint64_t generation = ++settingsGeneration_;
  settingsPending_ = true;
  auto done = guard_.wrap([this, generation](AccountSettings::Reading& encoded) {
    settingsEncoded(generation, std::move(encoded));
  });
  // Captures no `this`: shutdown stops it without waiting for the engine.
  settingsEncoder_ = std::jthread([path = enginePath_, loop = ctx_.mainLoop.handle(),
                                   done = std::move(done),
                                   reading = std::move(reading)](std::stop_token stop) mutable {
    try {
      AccountSettings::encodeSecrets(
          reading.values, [&path, &stop](const std::string& secret) -> std::optional<std::string> {
            if (secret.empty()) return std::nullopt;
            return KVTPEncodingController(path).getEncodedPassword(secret, stop);
          });
      if (stop.stop_requested()) return;
      loop.post([done = std::move(done), reading = std::move(reading)]() mutable { done(reading); });
    } catch (const std::exception& e) {
      daemonTrace(std::string("setUserData: encoding stopped: ") + e.what());
    } catch (...) {
      daemonTrace("setUserData: encoding stopped by an unknown exception");
    }
  });
}

void MainSyncController::stopSettingsEncoder() {
  if (!settingsEncoder_.joinable()) return;
  settingsEncoder_.request_stop();
  settingsEncoder_.join();
}

void MainSyncController::settingsEncoded(uint64_t generation, AccountSettings::Reading reading) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  // A later reading is on its way and carries its own values.
  if (generation != settingsGeneration_ || shutDown_) return;
  const AccountSettings::Applied applied = reading.applied;
  settings_->commit(std::move(reading));
  if (applied.businessUser) {
    const std::string marker = applicationFile(kUserQuotaDetails);
    if (fileutil::exists(marker)) QLUtility::removeFile(marker);
  }
  if (applied.syncRoot) setUlmoraSyncRootPath(*applied.syncRoot);
  const AccountSettings::Values v = settings_->values();
  setIsBusinessUser(v.gAccountPlan);
  ctx_.collections.loadExcludedFileListFor(v.guserName);
  // The service host may have changed.
  if (reachability_) reachability_->recheck();
  settingsPending_ = false;
  // In the order they were asked for; one of them may read the settings
  // again, and what it defers then waits for that reading.
  std::vector<std::function<void()>> waiting = std::exchange(afterSettings_, {});
  for (size_t i = 0; i < waiting.size(); ++i) {
    if (settingsPending_) {
      afterSettings_.insert(afterSettings_.begin(), std::make_move_iterator(waiting.begin() + i),
                            std::make_move_iterator(waiting.end()));
      return;
    }
    waiting[i]();
  }
}

void MainSyncController::afterSettingsEncoded(std::function<void()> task) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (!settingsPending_) {
    task();
    return;
  }
  afterSettings_.push_back(std::move(task));
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

void MainSyncController::setIsBusinessUser(const std::string& plan) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  state_.cycle.mIsBusinessUser = plan != "F";
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
