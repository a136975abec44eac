#include "sync/control/SettingsEncoding.h"

#include <exception>
#include <iterator>
#include <utility>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTPEncodingController.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "platform/FileUtil.h"
#include "platform/ThreadCheck.h"

namespace ulmora {

SettingsEncoding::Encoder SettingsEncoding::engineEncoder(std::string enginePath) {
  return [path = std::move(enginePath)](const std::string& secret,
                                         std::stop_token stop) -> std::optional<std::string> {
    if (secret.empty()) return std::nullopt;
    return KVTPEncodingController(path).getEncodedPassword(secret, stop);
  };
}

AccountSettings::Encoder SettingsEncoding::blockingEngineEncoder(std::string enginePath) {
  return [path = std::move(enginePath)](const std::string& secret) -> std::optional<std::string> {
    if (secret.empty()) return std::nullopt;
    return KVTPEncodingController(path).getEncodedPassword(secret);
  };
}

SettingsEncoding::SettingsEncoding(Parts parts)
    : settings_(parts.settings),
      state_(parts.state),
      filters_(parts.filters),
      mainLoop_(parts.mainLoop),
      quotaMarker_(std::move(parts.quotaMarker)),
      encoder_(std::move(parts.encoder)),
      account_(parts.account) {}

SettingsEncoding::~SettingsEncoding() { stop(); }

bool SettingsEncoding::setUserData() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  std::optional<AccountSettings::Reading> reading = settings_.read();
  if (!reading) return false;
  // The engine may hang for minutes (tries of 30 s each): never on the main
  // loop, and a newer reading does not wait for an older one.
  stopEncoder();
  if (stopped_) return true;
  const uint64_t generation = ++generation_;
  pending_ = true;
  auto done = guard_.wrap([this, generation](AccountSettings::Reading& encoded) {
    this->encoded(generation, std::move(encoded));
  });
  // Captures no `this`: stop() kills the engine without waiting for it.
  thread_ = std::jthread([encoder = encoder_, loop = mainLoop_.handle(), done = std::move(done),
                           reading = std::move(*reading)](std::stop_token stop) mutable {
    try {
      AccountSettings::encodeSecrets(reading.values, [&encoder, &stop](const std::string& secret) {
        return encoder(secret, stop);
      });
      if (stop.stop_requested()) return;
      loop.post([done = std::move(done), reading = std::move(reading)]() mutable { done(reading); });
    } catch (const std::exception& e) {
      daemonTrace(std::string("setUserData: encoding stopped: ") + e.what());
    } catch (...) {
      daemonTrace("setUserData: encoding stopped by an unknown exception");
    }
  });
  return true;
}

bool SettingsEncoding::pending() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  return pending_;
}

void SettingsEncoding::encoded(uint64_t generation, AccountSettings::Reading reading) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  // A later reading is on its way and carries its own values.
  if (generation != generation_ || stopped_) return;
  const AccountSettings::Applied applied = reading.applied;
  settings_.commit(std::move(reading));
  if (applied.businessUser && !quotaMarker_.empty() && fileutil::exists(quotaMarker_)) {
    QLUtility::removeFile(quotaMarker_);
  }
  if (applied.syncRoot) account_.setUlmoraSyncRootPath(*applied.syncRoot);
  const AccountSettings::Values v = settings_.values();
  state_.cycle.mIsBusinessUser = v.gAccountPlan != "F";
  filters_.loadExcludedFileListFor(v.guserName);
  account_.serviceHostMayHaveChanged();
  pending_ = false;
  // In the order they were asked for; one of them may read the settings
  // again, and what it defers then waits for that reading.
  std::vector<std::function<void()>> waiting = std::exchange(waiting_, {});
  for (size_t i = 0; i < waiting.size(); ++i) {
    if (pending_) {
      waiting_.insert(waiting_.begin(), std::make_move_iterator(waiting.begin() + i),
                      std::make_move_iterator(waiting.end()));
      return;
    }
    waiting[i]();
  }
}

void SettingsEncoding::afterSettingsEncoded(std::function<void()> task) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (!pending_) {
    task();
    return;
  }
  waiting_.push_back(std::move(task));
}

void SettingsEncoding::dropWaiting() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  waiting_.clear();
}

void SettingsEncoding::stop() {
  stopped_ = true;
  guard_.invalidate();
  stopEncoder();
}

void SettingsEncoding::stopEncoder() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

}  // namespace ulmora
