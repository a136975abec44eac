#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/AccountState.h"

namespace ulmora {

class ExcludedFilesCollections;

// What taking new settings changes elsewhere in the account (main loop).
class SettingsEncodingAccount {
 public:
  virtual ~SettingsEncodingAccount() = default;
  // The sync-folder list names a usable root for the account.
  virtual void setUlmoraSyncRootPath(const std::string& path) = 0;
  // The service host may have changed: reachability checks again.
  virtual void serviceHostMayHaveChanged() = 0;
};

// setUserData and what it leads to: the login details are read at once (the
// answer is whether they could be), their password and key are encoded by
// the engine on a thread of their own (a hung engine takes minutes), and the
// values take effect on the main loop when that ends. Work that would start
// an engine run with the last secrets waits for them (afterSettingsEncoded).
// A newer reading kills the encoding of an older one, whose values never
// take effect; stop() kills the one running.
//
// Thread-safety: main loop only (checked), but stop(), which may also run
// from the destructor of the thread that built it; the encoding thread
// touches nothing of this object and reports through a posted task.
class SettingsEncoding {
 public:
  // Engine-encodes one secret; gives up when `stop` is requested. nullopt
  // for an empty secret or when the engine fails.
  using Encoder = std::function<std::optional<std::string>(const std::string& secret, std::stop_token stop)>;

  struct Parts {
    AccountSettings& settings;
    AccountState& state;
    ExcludedFilesCollections& filters;
    RunLoop& mainLoop;
    // Application file 124: a business plan has no over-quota marker.
    std::string quotaMarker;
    Encoder encoder;
    SettingsEncodingAccount& account;
  };

  // The engine at `enginePath` as the encoder of the reading's secrets, and
  // as AccountSettings' own (which runs on the caller's thread, unstoppable).
  static Encoder engineEncoder(std::string enginePath);
  static AccountSettings::Encoder blockingEngineEncoder(std::string enginePath);

  explicit SettingsEncoding(Parts parts);
  // stop().
  ~SettingsEncoding();
  SettingsEncoding(const SettingsEncoding&) = delete;
  SettingsEncoding& operator=(const SettingsEncoding&) = delete;

  // Reads the login details and the sync-folder list; false (nothing
  // changes, nothing waits) when the login details are missing or unusable.
  // Main loop.
  bool setUserData();
  // True from setUserData until its values took effect. Main loop.
  bool pending() const;
  // Runs `task` now, or once the pending values took effect, in the order
  // asked; a task that reads the settings again makes the ones after it wait
  // for that reading. Main loop.
  void afterSettingsEncoded(std::function<void()> task);
  // What waits is dropped (the account stopped). Main loop.
  void dropWaiting();
  // Kills the running encoding and joins its thread; nothing reported
  // afterwards takes effect, and a later setUserData encodes nothing.
  // Idempotent.
  void stop();

 private:
  void stopEncoder();
  void encoded(uint64_t generation, AccountSettings::Reading reading);

  AccountSettings& settings_;
  AccountState& state_;
  ExcludedFilesCollections& filters_;
  RunLoop& mainLoop_;
  const std::string quotaMarker_;
  const Encoder encoder_;
  SettingsEncodingAccount& account_;
  // Main loop only: the latest reading's number, whether its values have
  // yet to take effect, and what waits for them.
  uint64_t generation_ = 0;
  bool pending_ = false;
  bool stopped_ = false;
  std::vector<std::function<void()>> waiting_;
  std::jthread thread_;
  // Last: an encoding's report dies with this object.
  WeakGuard guard_;
};

}  // namespace ulmora
