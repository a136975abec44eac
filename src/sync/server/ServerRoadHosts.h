#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/User.h"
#include "platform/Clock.h"
#include "sync/control/AccountProgress.h"
#include "sync/control/AccountState.h"
#include "sync/control/ControlRoom.h"
#include "sync/files/CacheSweeper.h"
#include "sync/files/SyncRootFiles.h"
#include "sync/server/ListingHandler.h"
#include "sync/server/ListingOutcome.h"
#include "sync/server/ServerRoadPorts.h"

namespace ulmora {

class ExcludedFilesCollections;
class KVTBackupManager;
class SynListingController;
class SyncControllerOwner;
class UMSDBSyncInputManger;

// What the server road asks of the rest of the account that neither an
// earlier concern nor the account's shared objects answer: the settings'
// reading, the timers and the cycle are the controller's,
// the renames made here the push concern's.
class ServerRoadAccount {
 public:
  virtual ~ServerRoadAccount() = default;

  // The agent's side of the account; nullptr before it is set.
  virtual SyncControllerOwner* accountOwner() = 0;
  virtual std::string getUlmoraSyncRootPath() = 0;
  virtual User craeteUserInfoObject() = 0;
  // The account's connection record for an engine-driven controller.
  virtual User userForEngineController() = 0;
  // After the settings took effect. Main loop.
  virtual void startSyncListingAllFiles(int mode) = 0;
  virtual void selectiveSyncModefied() = 0;
  virtual void createAllSyncTimers() = 0;
  // The change listing; nullptr once the controller has stopped.
  virtual SynListingController* liveChangeListing() = 0;
  virtual std::string createSessionFileForOperation(int operation, const std::string& name) = 0;
  // A server rename that is the echo of one made here (taken once).
  virtual bool takeRenamedHere(const std::string& oldPath, const std::string& newPath) = 0;
};

// The hosts the server road's collaborators declare, answered from the
// account's shared objects, the earlier concerns (control, progress) and the
// road's port.
//
// Thread-safety: called on the listings' workers and the main loop; what
// belongs to the main loop is posted there through `postOnMain`.
class ServerRoadHosts final : public ListingHost,
                              public ListingOutcomeHost,
                              public RecentItemsPort,
                              public SelectiveSyncCheck,
                              public SyncSessionLogPort {
 public:
  using PostOnMain = std::function<void(std::function<void()>)>;

  struct Parts {
    UMSDBSyncInputManger& queue;
    ExcludedFilesCollections& filters;
    AccountState& state;
    AccountProgress& progress;
    ControlRoom& control;
    KVTBackupManager& uploadManager;
    KVTBackupManager& downloadManager;
    const SyncRootFiles& files;
    CacheSweeper& cacheSweep;
    // The login details the account's cancellation removes.
    std::string loginDetails;
    ServerRoadAccount& account;
    PostOnMain postOnMain;
  };

  explicit ServerRoadHosts(Parts parts);

  // The download dispatch's part: the batch's counters start again and the
  // monitor shows the download before the totals are counted.
  void downloadSetStarting();
  void postSyncList(const std::vector<std::string>& fullPaths);

  // ListingHost
  bool isUploadRunning() override;
  bool isDownloadRunning() override;
  bool lastDownloadRunFailed() override;
  bool startListingFromStoredIndex() override;
  void setMonitorToolTip(const std::string& code) override { p_.progress.status().setMonitorToolTip(code); }
  void removeItemFromToolTipFor(const std::string& code) override {
    p_.progress.status().removeItemFromToolTipFor(code);
  }
  void removePNSRelatedToolTips() override { p_.progress.status().removePNSRelatedToolTipsOnMainThread(); }
  void showDesktopPushNotification(const std::string& code) override {
    p_.progress.status().showDesktopPushNotification(code);
  }
  void passwordChangedFromWeb() override { p_.control.events().passwordChangedFromWeb(); }
  void accountCancelledFromListing() override;
  void selectiveSyncModefied() override;
  void setQueueReinitializeState(bool state) override;
  void reinitialiseEnded() override;
  void createAllSyncTimers() override { p_.account.createAllSyncTimers(); }
  void getLoginDetailForUlmoraSyncUser() override;
  void clearRecentItems() override { p_.control.recent().clearItems(); }
  // ListingOutcomeHost
  void sendRecentItemsList(const std::vector<std::string>& restoredFromCache) override;
  void deleteCachedFiles() override;
  void WritingCreateDirCollection(const std::string& path) override;
  // RecentItemsPort
  void setRecentlyModifiedItems(const std::string& fullPath, const std::string& operation) override {
    p_.control.recent().setRecentlyModifiedItems(fullPath, operation);
  }
  // SelectiveSyncCheck
  bool checkForFileisUnderSSyncSet(const std::string& path) override {
    return p_.control.selective().checkForFileisUnderSSyncSet(path);
  }
  // SyncSessionLogPort
  void syncDeleted(const std::string& relativePath) override;
  void syncRenamed(const std::string& oldRelative, const std::string& newRelative) override;
  void conflictCopyKept(const std::string& relativePath, const std::string& copyRelative) override;

 private:
  Parts p_;
};

}  // namespace ulmora
