#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ipc/IpcChannel.h"
#include "ipc/IpcMessage.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "foundation/LoginDetails.h"
#include "session/UlmoraSyncUserController.h"

namespace ulmora {

class BusNotificationPoster;
class MessageSendingModule;
class NotificationBus;
class UMSDBSyncInputManger;
class UMSSharedInstanceManager;

// The console user's side of the agent: opens the channels to the file
// manager's integration and the status monitor and the notification bus,
// polls the login details and keeps one account controller per account that
// has been logged in, and dispatches the companions' commands.
//
// Login details: read at start and every pollInterval. When they name an
// account with a usable sync root, that account's controller is made (once)
// and becomes the active one; when they name another account than the active
// one, the old account is stopped (stopSyncForUnlink), shut down with its
// threads joined and dropped, and then the new one takes over; an account
// that comes back later is built again. Details that are missing or unusable change nothing; the reason is
// traced when it changes and the file is read again at the next poll.
//
// Companions: each time the file manager's integration connects (a
// replacement of an open connection too), it is greeted, the active
// account sends it the sync root and the badges are refreshed; each time the
// monitor connects, it is greeted and sent the status.
//
// Thread-safety: everything runs on the main thread (the loop given in the
// options; checked in debug and test builds). Commands arrive there from the
// channels.
class UMSMultipleACManager {
 public:
  struct Options {
    std::string consoleUser;  // the running user when empty
    // Where the sockets go; IpcPaths::socketFolder() when empty.
    std::string socketFolder;
    bool openChannels = true;
    Clock* clock = nullptr;     // the system clock when null
    RunLoop* loop = nullptr;    // RunLoop::main() when null
    UMSSharedInstanceManager* registry = nullptr;  // the shared one when null
    UMSDBSyncInputManger* inputQueue = nullptr;    // the shared one when null
    Clock::Duration pollInterval = std::chrono::seconds(3);
    // Settings for each account controller; registry, queue, clock, loop
    // and poster are filled in from the fields above.
    UlmoraSyncUserController::Options account;
  };

  explicit UMSMultipleACManager(Options options);
  // shutdown().
  ~UMSMultipleACManager();
  UMSMultipleACManager(const UMSMultipleACManager&) = delete;
  UMSMultipleACManager& operator=(const UMSMultipleACManager&) = delete;

  // Opens the channels and the bus, registers them, reads the login details
  // and schedules the timers.
  void start();
  // Stops the timers and every account in order (see
  // UlmoraSyncUserController::shutdown), then the channels and the bus.
  // Idempotent.
  void shutdown();

  // One poll of the login details.
  void pollLoginDetails();
  // A command from a companion.
  void handleCommand(const IpcMessage& message);
  // Posts "IconOverlayStatus" and has the active account refresh its badges.
  void refreshFinderSync();

  const std::string& consoleUser() const { return consoleUser_; }
  UlmoraSyncUserController* activeAccount() const;
  size_t accountCount() const { return accounts_.size(); }
  MessageSendingModule* finderChannel() const { return finder_.get(); }
  MessageSendingModule* monitorChannel() const { return monitor_.get(); }
  NotificationBus* bus() const { return bus_.get(); }

 private:
  void openChannels();
  void switchTo(const LoginDetails::Account& account);
  void companionConnected(IpcChannel channel);
  // Tells a companion that has just connected which agent serves it.
  void announce(MessageSendingModule& channel);
  void noteProblem(const std::string& problem);

  Options options_;
  const std::string consoleUser_;
  Clock& clock_;
  RunLoop& loop_;
  UMSSharedInstanceManager& registry_;
  UMSDBSyncInputManger& inputQueue_;
  SupportFilePaths consolePaths_;

  std::unique_ptr<MessageSendingModule> finder_;
  std::unique_ptr<MessageSendingModule> monitor_;
  std::unique_ptr<NotificationBus> bus_;
  std::unique_ptr<BusNotificationPoster> poster_;

  std::map<std::string, std::unique_ptr<UlmoraSyncUserController>> accounts_;
  std::string activeSyncUser_;
  std::string lastProblem_;
  bool started_ = false;
  bool shutDown_ = false;
  std::shared_ptr<RunLoopTimer> pollTimer_;

  WeakGuard guard_;  // last: timers and commands die with the manager
};

}  // namespace ulmora
