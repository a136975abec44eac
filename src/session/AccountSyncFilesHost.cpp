#include "session/AccountSyncFilesHost.h"

#include "session/CompanionChannelMessenger.h"
#include "session/UMSSharedInstanceManager.h"

namespace ulmora {

AccountSyncFilesHost::AccountSyncFilesHost(std::string syncRoot,
                                           UMSSharedInstanceManager& registry,
                                           std::string consoleUser)
    : syncRoot_(std::move(syncRoot)), registry_(registry), consoleUser_(std::move(consoleUser)) {}

std::shared_ptr<CompanionMessenger> AccountSyncFilesHost::finderMessenger() {
  if (!active_) return nullptr;
  return wrap(registry_.FinderMessForCUser(consoleUser_));
}

std::shared_ptr<CompanionMessenger> AccountSyncFilesHost::monitorMessenger() {
  if (!active_) return nullptr;
  return wrap(registry_.MonitorMessForCUser(consoleUser_));
}

std::shared_ptr<CompanionMessenger> AccountSyncFilesHost::wrap(
    MessageSendingModule* channel) const {
  if (channel == nullptr) return nullptr;
  return std::make_shared<CompanionChannelMessenger>(*channel);
}

}  // namespace ulmora
