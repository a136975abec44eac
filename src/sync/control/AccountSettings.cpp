#include "sync/control/AccountSettings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>

#include "foundation/LoginDetails.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "platform/FileUtil.h"
#include "sync/control/SyncGate.h"

namespace ulmora {
namespace {

std::optional<PropertyList> readDict(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::optional<PropertyList> list = PropertyList::readFile(path);
  if (!list || !list->isDict()) return std::nullopt;
  return list;
}

std::string lowerCased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return text;
}

}  // namespace

AccountSettings::AccountSettings(Files files, Encoder encoder, Decoder decoder)
    : files_(std::move(files)), encoder_(std::move(encoder)), decoder_(std::move(decoder)) {}

void AccountSettings::apply(Values& v, const PropertyList& login, const Encoder& encoder,
                            const Decoder& decoder) {
  const auto text = [&](const char* key) { return login.stringFor(key); };
  if (auto s = text(kAccountUserKey)) v.gUlmoraUserName = *s;
  if (auto s = text(kEngineUserKey)) v.guserName = *s;
  if (auto s = text(kPasswordKey)) v.gPasswordString = decoder ? decoder(*s) : *s;
  if (auto s = text(kUserAtServerKey)) v.gUserAtServer = lowerCased(*s);
  if (auto s = text(kIPKey)) {
    v.gServerName = *s;
  } else if (auto n = text(kServerNameKey)) {
    v.gServerName = *n;
  }
  v.gQuotaServerName = text(kQuotaServerKey);
  if (auto s = text(kAccountPlanKey)) v.gAccountPlan = *s;
  v.mIsBusinessUser = v.gAccountPlan != "F";
  if (auto s = text(kPushServerKey)) v.gPNSServer = "https://" + *s + "/pns/broadcast";
  if (auto s = text(kPrivateKeyKey)) {
    v.gPvtKey = decoder ? decoder(*s) : *s;
  } else {
    v.gPvtKey = kDefaultPrivateKey;
  }
  encodeSecrets(v, encoder);
}

void AccountSettings::encodeSecrets(Values& v, const Encoder& encoder) {
  if (!encoder) return;
  if (auto e = encoder(v.gPasswordString)) v.gEPassword = *e;
  if (auto e = encoder(v.gPvtKey)) v.gEPPassword = *e;
}

std::optional<AccountSettings::Applied> AccountSettings::load() {
  std::optional<Reading> reading = read();
  if (!reading) return std::nullopt;
  // Encoding runs the engine: done outside the lock, on a copy.
  encodeSecrets(reading->values, encoder_);
  Applied applied = reading->applied;
  commit(std::move(*reading));
  return applied;
}

std::optional<AccountSettings::Reading> AccountSettings::read() const {
  std::optional<PropertyList> login = readDict(files_.loginDetails);
  if (!login) {
    daemonTrace("setUserData: the login details at \"" + files_.loginDetails +
                "\" are missing or unreadable; the last settings are kept");
    return std::nullopt;
  }
  std::optional<PropertyList> folders = readDict(files_.syncFolders);
  Reading reading{values(), std::move(*login), {}};
  apply(reading.values, reading.login, nullptr, decoder_);
  reading.applied.businessUser = reading.values.mIsBusinessUser;
  if (folders) {
    if (auto root = folders->stringFor(reading.values.gUlmoraUserName)) {
      reading.applied.syncRoot = LoginDetails::usableRoot(*root);
      if (!reading.applied.syncRoot)
        daemonTrace("setUserData: the sync root \"" + *root + "\" is not usable; kept");
    }
  }
  return reading;
}

void AccountSettings::commit(Reading reading) {
  MutexLock hold(mu_);
  values_ = std::move(reading.values);
  lastGoodLogin_ = std::move(reading.login);
}

void AccountSettings::useDiscoveredServer(const std::string& server) {
  if (server.empty()) return;
  {
    MutexLock hold(mu_);
    values_.gServerName = server;
  }
  std::optional<PropertyList> login = readDict(files_.loginDetails);
  if (!login) return;
  login->set(kServerNameKey, server);
  if (!login->writeFile(files_.loginDetails))
    daemonTrace("service discovery: the login details could not keep the server " + server);
}

AccountSettings::Values AccountSettings::values() const {
  MutexLock hold(mu_);
  return values_;
}

int AccountSettings::gate(const std::optional<std::string>& syncUserName) {
  syncgate::Input in;
  in.syncUserName = syncUserName;
  in.loginDetailsExist = !files_.loginDetails.empty() && fileutil::exists(files_.loginDetails);
  std::optional<PropertyList> login = in.loginDetailsExist ? readDict(files_.loginDetails)
                                                           : std::nullopt;
  if (in.loginDetailsExist) {
    MutexLock hold(mu_);
    if (login) {
      lastGoodLogin_ = login;
    } else if (lastGoodLogin_) {
      daemonTrace("shouldSync: the login details cannot be read; their last good reading is used");
      login = lastGoodLogin_;
    }
  }
  in.loginDetails = login ? &*login : nullptr;
  std::optional<PropertyList> folders = readDict(files_.syncFolders);
  in.syncFolders = folders ? &*folders : nullptr;
  return syncgate::shouldSync(in);
}

bool AccountSettings::isDefaultKeySetForUser(const std::string& user) const {
  std::optional<PropertyList> keys = readDict(files_.defaultKeys);
  if (!keys) return false;
  return keys->stringFor(user) == std::optional<std::string>("DEFAULT");
}

User AccountSettings::connectionRecord() const {
  const Values v = values();
  User user;
  user.setUserName(v.guserName);
  user.setPassword(v.gPasswordString);
  user.setPrivateKey(v.gPvtKey);
  user.setPort(QLUtility::portParam());
  user.setKVTServerIP(v.gServerName);
  user.setISDefaultKey(isDefaultKeySetForUser(v.guserName));
  user.setProxySettingsFilePath(files_.proxySettings);
  user.setWebServer(v.gQuotaServerName.value_or(""));
  user.setUlmoraUsername(v.gUlmoraUserName);
  user.setEncPassword(v.gEPassword);
  user.setEncPvtPassword(v.gEPPassword);
  return user;
}

UserDetails AccountSettings::mediaDetails(const std::string& enginePath, const std::string& syncRoot) const {
  const Values v = values();
  UserDetails d;
  d.userName = v.guserName;
  d.password = v.gPasswordString;
  d.server = v.gServerName;
  d.port = "--port=443";
  d.isKVTUser = true;
  d.isDefaultKey = isDefaultKeySetForUser(v.guserName);
  d.privateKeyPath = "key";
  d.exePath = enginePath;
  d.destination = "/";
  d.syncFolderPath = syncRoot;
  d.encPassword = v.gEPassword;
  d.encPvtPassword = v.gEPPassword;
  return d;
}

std::string AccountSettings::throttleFrom(const PropertyList* prefs, bool uploadManager,
                                          bool idle) {
  if (prefs == nullptr || !prefs->isDict()) return kDefaultThrottle;
  const char* key = kThrottleKey;
  const PropertyList* enabled = prefs->find(kEnableThrottleKey);
  if (uploadManager && enabled != nullptr && enabled->boolValue()) {
    key = idle ? kThrottleIdleKey : kThrottleAutoPauseKey;
  }
  const PropertyList* value = prefs->find(key);
  if (value == nullptr) return "";
  return value->textValue().value_or("");
}

std::string AccountSettings::bandwidthThrottle(bool uploadManager) const {
  std::optional<PropertyList> prefs = readDict(files_.daemonPreferences);
  const bool idle = !files_.idleMarker.empty() && fileutil::exists(files_.idleMarker);
  return engineRateFrom(throttleFrom(prefs ? &*prefs : nullptr, uploadManager, idle));
}

std::string AccountSettings::runStartThrottle(bool uploadManager) const {
  if (!readDict(files_.daemonPreferences)) return "";
  return bandwidthThrottle(uploadManager);
}

std::string AccountSettings::engineRateFrom(const std::string& kilobytesPerSecond) {
  // The default of 100 taken as bytes would stretch a small file's upload
  // over minutes.
  constexpr double kBytesPerKilobyte = 1024.0;
  // Anything above this is beyond any link: unlimited.
  constexpr double kLimit = 1e15;
  double value = 0;
  const char* first = kilobytesPerSecond.data();
  const char* last = first + kilobytesPerSecond.size();
  auto [end, ec] = std::from_chars(first, last, value);
  if (kilobytesPerSecond.empty() || ec != std::errc() || end != last || !(value > 0)) return kilobytesPerSecond;
  const double bytes = value * kBytesPerKilobyte;
  if (bytes >= kLimit) return "0";
  return std::to_string(std::max<int64_t>(1, std::llround(bytes)));
}

AccountSettings::SessionFile AccountSettings::sessionFileFor(const std::string& wantedName,
                                                             const std::string& operationName) {
  // Without the folder a bare name would be a file in the working folder.
  if (files_.sessionLogsFolder.empty()) return {"", false};
  const std::string folder = files_.sessionLogsFolder.back() == '/' ? files_.sessionLogsFolder
                                                                     : files_.sessionLogsFolder + "/";
  MutexLock hold(sessionLogLock_);
  std::vector<std::string> names =
      fileutil::listDirectory(files_.sessionListing).value_or(std::vector<std::string>{});
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name.empty() || name.front() == '.') continue;
    if (name != wantedName) continue;
    if (name.substr(0, name.find(' ')) != operationName) continue;
    return {folder + name, false};
  }
  return {folder + wantedName, true};
}

bool AccountSettings::holdRenameForUpload(const RenameEntry& rename, bool uploadRunning,
                                          const std::vector<std::string>& uploadSet) {
  if (!uploadRunning || uploadSet.size() != 1) return false;
  MutexLock hold(renameMu_);
  if (uploadSet.front() == rename.originalPath) {
    mRenameDicAfterBackup_.erase(rename.originalPath);
  } else {
    const bool fromEarlier =
        std::any_of(mRenameDicAfterBackup_.begin(), mRenameDicAfterBackup_.end(),
                    [&](const auto& e) { return e.second == rename.originalPath; });
    if (!fromEarlier) return false;
  }
  mRenameDicAfterBackup_[rename.originalPath] = rename.renamedPath;
  return true;
}

std::map<std::string, std::string> AccountSettings::takeRenamesAfterBackup() {
  MutexLock hold(renameMu_);
  return std::exchange(mRenameDicAfterBackup_, {});
}

std::optional<std::string> AccountSettings::takeRenameAfterBackup(const std::string& oldPath) {
  MutexLock hold(renameMu_);
  for (auto* held : {&mRenameDicAfterBackup_, &uploadAfterRename_}) {
    auto it = held->find(oldPath);
    if (it == held->end()) continue;
    std::string renamed = std::move(it->second);
    held->erase(it);
    return renamed;
  }
  return std::nullopt;
}

void AccountSettings::uploadAfterRename(const RenameEntry& rename) {
  if (rename.originalPath.empty() || rename.renamedPath.empty()) return;
  MutexLock hold(renameMu_);
  uploadAfterRename_[rename.originalPath] = rename.renamedPath;
}

std::map<std::string, std::string> AccountSettings::renamesAfterBackup() const {
  MutexLock hold(renameMu_);
  return mRenameDicAfterBackup_;
}

}  // namespace ulmora
