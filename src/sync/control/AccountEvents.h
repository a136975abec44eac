#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "journal/CompanionMessenger.h"
#include "journal/RenameEntry.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"

namespace ulmora {

// What the account events act on.
class AccountEventsPort {
 public:
  virtual ~AccountEventsPort() = default;
  // Asks the account-details service (the reply comes back through
  // AccountEvents::didScriptControllerFinishedSuccessfully).
  virtual void requestAccountDetails() = 0;
  // Reloads the account's connection settings from the login details.
  virtual void reloadSettings() = 0;
  virtual void queryMainDB(bool backupOnly) = 0;
  // Ends the process; the service manager starts it again.
  virtual void exitProcess(int status) = 0;
  // true once (and clears it) when a listing asked for a restart after the
  // next account-details reply.
  virtual bool takeRestartDueToMaintenance() = 0;
  virtual bool accountLoggedOutUnlinked() = 0;

  virtual void setMonitorToolTip(const std::string& status) = 0;
  virtual void showDesktopPushNotification(const std::string& code) = 0;
  virtual void sendCurrentSyncStatus() = 0;
  virtual std::shared_ptr<CompanionMessenger> monitorMessenger() = 0;
};

// The account's reactions to events that belong to no single transfer: the
// account under maintenance (fetch its server details again), a password
// changed on the web, a status request, and a sync folder that is missing or
// cannot be made.
//
// The waits before fetching the details again (120 s) and before the restart
// (60 s) are timers on the main loop, so neither the engine's reporting thread
// nor the main loop is held. A maintenance report while a fetch is already
// waiting is the same report; each kind of folder problem (missing, invalid)
// is reported once and not again until the folder was seen in place.
//
// Thread-safety: HandleAccountUnderMaintainence, passwordChangedFromWeb and
// syncFolderFound may be called from any thread; the rest runs on the main
// loop.
class AccountEvents {
 public:
  static constexpr Clock::Duration kMaintenanceWait = std::chrono::seconds(120);
  static constexpr Clock::Duration kRestartWait = std::chrono::seconds(60);
  static constexpr int kPasswordChangedMessage = 509;
  static constexpr int kFolderInvalidMessage = 511;
  static constexpr int kFolderMissingMessage = 512;
  static constexpr const char* kFolderMissingText =
      "Sync has been disabled! Ulmora cannot locate the Sync folder. Enable Sync again to resume "
      "file sync operations.";
  static constexpr const char* kFolderInvalidText =
      "Sync folder path is invalid. Please select a different path and try again.";
  static constexpr const char* kServerKey = "kvtsrvrip";

  struct Paths {
    std::string lastUserLoginDetails;  // application file 26
    std::string loginDetails;          // application file 24
  };

  AccountEvents(Paths paths, AccountEventsPort& port, RunLoop& mainLoop);

  void HandleAccountUnderMaintainence();
  void getLoginDetailForUlmoraSyncUser();
  // `fromOwnClient`: the reply comes from the account-details client.
  void didScriptControllerFinishedSuccessfully(const PropertyList& reply, bool fromOwnClient);
  void parsingFailedWithError(const std::string& error);
  void didReceievedData();

  void passwordChangedFromWeb();
  void sendToolTip();
  void ifSyncFolderDoNotExist();
  void notAbleTOCreateFolderAtPath();
  // The sync folder is in place again: a later loss is reported anew.
  void syncFolderFound();

  // Whether every rename, or every deleted path, is a temporary file of an
  // office application ("~$" names), so the run needs no status of its own.
  static bool AreAllToBeExcluded(const std::vector<RenameEntry>& renames);
  static bool AreAllToBeExcludedDelete(const std::vector<std::string>& paths);
  // A storage server address as the details service may give it.
  static bool isPlausibleServer(const std::string& server);

 private:
  void removeLastUserLoginDetails();
  void sendToMonitor(const std::string& text, int type);

  const Paths paths_;
  AccountEventsPort& port_;
  RunLoop& mainLoop_;
  // Latches taken with exchange: each stands alone.
  std::atomic<bool> maintenanceFetchPending_{false};
  // One latch per kind of folder problem: a missing folder reported first
  // must not silence the report that the path is invalid.
  std::atomic<bool> missingFolderReported_{false};
  std::atomic<bool> invalidFolderReported_{false};
  bool restartScheduled_ = false;  // main loop only
  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
