#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/ThreadAnnotations.h"
#include "foundation/SupportFilePaths.h"

namespace ulmora {

class MessageSendingModule;
class SyncFilesController;
class UlmoraSyncUserController;

// The registry of per-console-user channels and per-account objects, keyed by
// console user and (console user, sync user).
//
// It owns nothing: whoever registers an object owns it and removes it from
// the registry before destroying it. Pointers handed out stay valid until
// then; owners remove their objects only during shutdown, after stopping
// every thread that looks them up.
//
// Thread-safety: every member may be called from any thread (one mutex: the
// journal writers look things up from their own threads while the main
// thread registers accounts).
class UMSSharedInstanceManager {
 public:
  UMSSharedInstanceManager() = default;
  UMSSharedInstanceManager(const UMSSharedInstanceManager&) = delete;
  UMSSharedInstanceManager& operator=(const UMSSharedInstanceManager&) = delete;

  // The process-wide registry, made on first use.
  static UMSSharedInstanceManager& sharedInstanceManager();

  // nullptr when none is registered.
  MessageSendingModule* FinderMessForCUser(const std::string& consoleUser) const;
  MessageSendingModule* MonitorMessForCUser(const std::string& consoleUser) const;
  UlmoraSyncUserController* userControllerForCUser(const std::string& consoleUser,
                                                   const std::string& syncUser) const;
  std::optional<SupportFilePaths> SupportFilePathsForCUser(const std::string& consoleUser,
                                                           const std::string& syncUser) const;
  SyncFilesController* syncFilesControllerForCUser(const std::string& consoleUser,
                                                   const std::string& syncUser) const;

  // Registration. A nullptr removes the entry.
  void setFinderMessenger(MessageSendingModule* channel, const std::string& consoleUser);
  void setMonitorMessenger(MessageSendingModule* channel, const std::string& consoleUser);
  void setUserController(UlmoraSyncUserController* controller, const std::string& consoleUser,
                         const std::string& syncUser);
  void setSupportFilePaths(const SupportFilePaths& paths, const std::string& consoleUser,
                           const std::string& syncUser);
  void setSyncFilesController(SyncFilesController* controller, const std::string& consoleUser,
                              const std::string& syncUser);

  // Forgets every object of one account / of one console user's channels.
  void removeAccount(const std::string& consoleUser, const std::string& syncUser);
  void removeChannels(const std::string& consoleUser);

 private:
  using AccountKey = std::pair<std::string, std::string>;
  struct Channels {
    MessageSendingModule* finder = nullptr;
    MessageSendingModule* monitor = nullptr;
  };
  struct Account {
    UlmoraSyncUserController* userController = nullptr;
    std::optional<SupportFilePaths> paths;
    SyncFilesController* syncFiles = nullptr;
  };

  template <typename T>
  T accountField(const std::string& consoleUser, const std::string& syncUser,
                 T Account::*field) const;
  // Requires mu_. Drops an account entry once nothing is left in it.
  void pruneAccount(const AccountKey& key) ULMORA_REQUIRES(mu_);

  mutable Mutex mu_;
  std::map<std::string, Channels> channels_ ULMORA_GUARDED_BY(mu_);
  std::map<AccountKey, Account> accounts_ ULMORA_GUARDED_BY(mu_);
};

}  // namespace ulmora
