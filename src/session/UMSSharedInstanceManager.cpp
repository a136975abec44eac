#include "session/UMSSharedInstanceManager.h"

namespace ulmora {

UMSSharedInstanceManager& UMSSharedInstanceManager::sharedInstanceManager() {
  // Never destroyed: threads may still look things up while the process exits.
  static auto* instance = new UMSSharedInstanceManager();
  return *instance;
}

MessageSendingModule* UMSSharedInstanceManager::FinderMessForCUser(
    const std::string& consoleUser) const {
  MutexLock hold(mu_);
  auto it = channels_.find(consoleUser);
  return it == channels_.end() ? nullptr : it->second.finder;
}

MessageSendingModule* UMSSharedInstanceManager::MonitorMessForCUser(
    const std::string& consoleUser) const {
  MutexLock hold(mu_);
  auto it = channels_.find(consoleUser);
  return it == channels_.end() ? nullptr : it->second.monitor;
}

template <typename T>
T UMSSharedInstanceManager::accountField(const std::string& consoleUser,
                                         const std::string& syncUser, T Account::*field) const {
  MutexLock hold(mu_);
  auto it = accounts_.find({consoleUser, syncUser});
  return it == accounts_.end() ? T{} : it->second.*field;
}

UlmoraSyncUserController* UMSSharedInstanceManager::userControllerForCUser(
    const std::string& consoleUser, const std::string& syncUser) const {
  return accountField(consoleUser, syncUser, &Account::userController);
}

std::optional<SupportFilePaths> UMSSharedInstanceManager::SupportFilePathsForCUser(
    const std::string& consoleUser, const std::string& syncUser) const {
  return accountField(consoleUser, syncUser, &Account::paths);
}

SyncFilesController* UMSSharedInstanceManager::syncFilesControllerForCUser(
    const std::string& consoleUser, const std::string& syncUser) const {
  return accountField(consoleUser, syncUser, &Account::syncFiles);
}

void UMSSharedInstanceManager::setFinderMessenger(MessageSendingModule* channel,
                                                  const std::string& consoleUser) {
  MutexLock hold(mu_);
  Channels& c = channels_[consoleUser];
  c.finder = channel;
  if (c.finder == nullptr && c.monitor == nullptr) channels_.erase(consoleUser);
}

void UMSSharedInstanceManager::setMonitorMessenger(MessageSendingModule* channel,
                                                   const std::string& consoleUser) {
  MutexLock hold(mu_);
  Channels& c = channels_[consoleUser];
  c.monitor = channel;
  if (c.finder == nullptr && c.monitor == nullptr) channels_.erase(consoleUser);
}

void UMSSharedInstanceManager::setUserController(UlmoraSyncUserController* controller,
                                                 const std::string& consoleUser,
                                                 const std::string& syncUser) {
  MutexLock hold(mu_);
  accounts_[{consoleUser, syncUser}].userController = controller;
  pruneAccount({consoleUser, syncUser});
}

void UMSSharedInstanceManager::setSupportFilePaths(const SupportFilePaths& paths,
                                                   const std::string& consoleUser,
                                                   const std::string& syncUser) {
  MutexLock hold(mu_);
  accounts_[{consoleUser, syncUser}].paths = paths;
}

void UMSSharedInstanceManager::setSyncFilesController(SyncFilesController* controller,
                                                      const std::string& consoleUser,
                                                      const std::string& syncUser) {
  MutexLock hold(mu_);
  accounts_[{consoleUser, syncUser}].syncFiles = controller;
  pruneAccount({consoleUser, syncUser});
}

void UMSSharedInstanceManager::removeAccount(const std::string& consoleUser,
                                             const std::string& syncUser) {
  MutexLock hold(mu_);
  accounts_.erase({consoleUser, syncUser});
}

void UMSSharedInstanceManager::removeChannels(const std::string& consoleUser) {
  MutexLock hold(mu_);
  channels_.erase(consoleUser);
}

void UMSSharedInstanceManager::pruneAccount(const AccountKey& key) {
  auto it = accounts_.find(key);
  if (it == accounts_.end()) return;
  const Account& a = it->second;
  if (a.userController == nullptr && !a.paths && a.syncFiles == nullptr) accounts_.erase(it);
}

}  // namespace ulmora
