#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "journal/SyncFilesHost.h"

namespace ulmora {

class MessageSendingModule;
class UMSSharedInstanceManager;

// What one account's event journal writer asks of the account: its sync root,
// and the console user's companion channels while the account is the
// logged-in one. An account that is not active must not talk to the
// companions, which belong to whichever account is.
//
// The channels are looked up in the registry at each call, so a channel that
// is registered or removed later is followed.
//
// Thread-safety: every method may be called from any thread.
class AccountSyncFilesHost final : public SyncFilesHost {
 public:
  AccountSyncFilesHost(std::string syncRoot, UMSSharedInstanceManager& registry,
                       std::string consoleUser);

  // Set by the account as it becomes, or stops being, the logged-in one.
  void setActive(bool active) { active_ = active; }
  bool isActive() const { return active_; }

  std::string syncRootPath() override { return syncRoot_; }
  // nullptr while inactive or while no channel is registered.
  std::shared_ptr<CompanionMessenger> finderMessenger() override;
  std::shared_ptr<CompanionMessenger> monitorMessenger() override;

 private:
  std::shared_ptr<CompanionMessenger> wrap(MessageSendingModule* channel) const;

  const std::string syncRoot_;
  UMSSharedInstanceManager& registry_;
  const std::string consoleUser_;
  std::atomic<bool> active_{false};
};

}  // namespace ulmora
