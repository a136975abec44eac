#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/ProxyController.h"
#include "engine/User.h"
#include "foundation/SupportFilePaths.h"
#include "journal/RenameEntry.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "service/KVTCreateDirController.h"
#include "service/KVTRenameDeleteController.h"
#include "service/RenameDeleteHost.h"
#include "sync/control/AccountProgress.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/AccountState.h"
#include "sync/control/ConcernAccount.h"
#include "sync/control/ControlRoom.h"
#include "sync/control/SyncSessionDetails.h"
#include "sync/control/SyncTimers.h"
#include "sync/push/PushHandler.h"
#include "sync/server/FolderCreationDispatcher.h"
#include "sync/server/RenameDeleteDispatcher.h"

namespace ulmora {

class ExcludedFilesCollections;
class KVTBackupManager;
class NotificationPoster;
class QLBackupProgressLogger;
class ServerRoad;
class SynListingController;
class SyncControllerOwner;
class UMSDBSyncInputManger;
class UploadRoad;

// What the push concern asks of the rest of the account: the settings'
// reading, the listing and the cycle are the controller's, the thumbnails a
// later concern's. The roads, built before it, it holds itself.
class PushConcernAccount : public ConcernAccount {
 public:
  // Blocks while the owner merges.
  virtual void queryMainDB(int option) = 0;
  virtual void startSyncListingAllFiles(int mode) = 0;
  // The account's connection record for an engine-driven controller.
  virtual User userForEngineController() = 0;
  virtual std::string createSessionFileForOperation(int operation, const std::string& name) = 0;
  virtual bool checkRenamedFileisUnderBackup(const RenameEntry& rename) = 0;
  // The thumbnail concern's.
  virtual bool hasImageFiles() = 0;
  virtual void updateThumbnailController(const std::string& fullOld, const std::string& fullNew) = 0;
};

// Push messages, local renames and deletes, folder creation: the push
// handler and the two workers, each dispatcher the delegate of its own
// engine-driven controller, and the ports through which they see the
// account.
//
// Thread-safety: the push operations run on the main loop (each checks);
// the workers' ports answer from their threads, through the account's
// guarded state.
class PushConcern final : public PushHost,
                          public RenameDeleteQueue,
                          public RenameDeleteEnvironment,
                          public RenameDeleteHost,
                          public FolderCreationQueue,
                          public FolderCreationEnvironment {
 public:
  struct Parts {
    const SupportFilePaths& files;
    SyncSessionDetails session;
    std::string enginePath;
    Clock& clock;
    RunLoop& mainLoop;
    // null: nothing is posted.
    NotificationPoster* poster;
    UMSDBSyncInputManger& queue;
    ExcludedFilesCollections& filters;
    AccountState& state;
    AccountSettings& settings;
    AccountProgress& progress;
    ControlRoom& control;
    // The server road fetches the server's version of a file whose delete
    // or rename was refused; the upload road knows the version a file last
    // synced.
    ServerRoad& server;
    UploadRoad& uploads;
    KVTBackupManager& uploadManager;
    QLBackupProgressLogger& renameLogger;
    SyncTimers& timers;
    PushConcernAccount& account;
  };

  explicit PushConcern(Parts parts);
  ~PushConcern() override;
  PushConcern(const PushConcern&) = delete;
  PushConcern& operator=(const PushConcern&) = delete;

  // Ends the workers and the subscription; the collaborators stay whole for
  // the engine callbacks of the runs stopped later. Idempotent.
  void stop();

  PushHandler& handler() { return handler_; }
  RenameDeleteDispatcher& renameDelete() { return renameDelete_; }
  FolderCreationDispatcher& folderCreation() { return folderCreation_; }

  // The push operations, each with the account's topic and service as they
  // stand. Main loop.
  void setEnableListeningNotifications(bool enable);
  void startPushing(const std::string& topic, const std::string& messageID, const std::string& filePath);
  void periodicListening();
  void PushDummyNotification();

  // ---- PushHost
  int shouldSync() override { return account_.shouldSync(); }
  bool isReinitialize() override {
    MutexLock hold(state_.listing.mutex);
    return state_.listing.isReinitialize;
  }
  std::optional<std::string> machineID() override;
  void setMonitorToolTip(const std::string& status) override { progress_.status().setMonitorToolTip(status); }
  void showDesktopPushNotification(const std::string& code) override {
    progress_.status().showDesktopPushNotification(code);
  }
  void sendToMonitor(const std::string& text, int type) override;
  void addNotificationFilesInfo() override;
  void calculateQuota(bool byDelete) override { control_.runCalQuotaInThread(byDelete ? "YES" : "NO"); }
  bool isBackupRunning() override;
  void queryMainDB(bool) override { account_.queryMainDB(1); }
  void passwordChangedFromWeb() override { control_.events().passwordChangedFromWeb(); }
  void removeLoginDetailsFile() override;
  bool isListingRunning() override;
  void cancelListing() override;
  void startSyncListingAllFiles(int mode) override { account_.startSyncListingAllFiles(mode); }
  bool isSyncTimerValid() override;
  std::string syncTimerDescription() override;
  bool isPeriodicTimerValid() override { return timers_.isPeriodicTimerValid(); }
  void resetPeriodicTimer() override;
  bool isDummyTimerValid() override { return timers_.isKeepAliveTimerValid(); }
  void resetDummyTimer() override;
  void setIsTenMinutesListing(bool value) override {
    MutexLock hold(state_.listing.mutex);
    state_.listing.isTenMinutesListing = value;
  }
  void setDuringPauseGotPns(bool value) override;

  // ---- RenameDeleteQueue, FolderCreationQueue
  bool CheckIfAnyRenameDeleteOrCreateDirOccured() override;
  std::optional<PropertyList> parseEventsToGetEventSets() override;
  void deleteFileFor(const std::string& code, bool onlyRedItems) override;
  void addDeleteFiles(const std::string& path) override;
  void addRenamedFiles(const RenameEntry& rename) override;
  void addBackupFiles(const std::string& fullPath) override;
  void addFileToBackup(const std::string& path) override;
  void addDirectory(const std::string& fullPath) override;
  void recordFolderInSync(const std::string& relativeFolder) override;
  void setShouldReturnBackupEntries(bool value) override;
  void deleteFileEntryFromRDDB(const std::string& fullPath) override;
  PropertyList readCreateDirJournal() override;
  void deleteCreateDirJournal() override;

  // ---- RenameDeleteEnvironment, FolderCreationEnvironment, RenameDeleteHost
  std::string syncRootPath() override { return account_.getUlmoraSyncRootPath(); }
  std::string syncUserName() override;
  std::string accountUserName() override { return settings_.values().gUlmoraUserName; }
  void reloadAccountUserNameIfEmpty() override;
  void addRenamedPathsDuringListing(const std::vector<std::string>& oldPaths) override;
  void clearRenamedPathDuringListing() override;
  bool isUploadRunning() override { return isBackupRunning(); }
  void cancelUpload() override;
  bool uploadSetHasPrefix(const std::string& relativePath) override;
  std::string deleteJournalFolder() override;
  // Posted: the server road is the main loop's.
  void fetchServerVersion(const std::string& relativePath) override;
  std::map<std::string, std::string> renamesAfterBackup() override { return settings_.renamesAfterBackup(); }
  std::optional<std::string> takeRenameAfterBackup(const std::string& oldPath) override {
    return settings_.takeRenameAfterBackup(oldPath);
  }
  bool isInBackupList(const std::vector<std::string>& deleted) override;
  std::vector<std::string> filterDeletedFolderToavoid(const std::vector<std::string>& paths) override;
  void clearDeleteFilter() override;
  void clearFolderCreationFilter() override;
  bool AreAllToBeExcludedDelete(const std::vector<std::string>& paths) override {
    return AccountEvents::AreAllToBeExcludedDelete(paths);
  }
  void removeItemFromToolTipFor(const std::string& status) override {
    progress_.status().removeItemFromToolTipFor(status);
  }
  void sendToFinder(const std::vector<std::string>& fullPaths, int type, bool runInThread) override;
  void postInSyncList(const std::vector<std::string>& fullPaths) override;
  bool sendMessageToFinder(const std::vector<std::string>& fullFolderPaths) override {
    return control_.finder().sendMessageToFinder(fullFolderPaths);
  }
  void setRecentlyModifiedItems(const std::string& name, const std::string& operation) override {
    control_.recent().setRecentlyModifiedItems(name, operation);
  }
  // Recent local renames, for the thumbnail jobs.
  void setLastRenamedInfo(const std::string& fullOld, const std::string& fullNew) override;
  bool hasImageFiles() override { return account_.hasImageFiles(); }
  void updateThumbnailController(const std::string& fullOld, const std::string& fullNew) override {
    account_.updateThumbnailController(fullOld, fullNew);
  }
  void startPushing(const std::string& messageID, const std::string& text) override {
    handler_.startPushing(syncUserName(), messageID, text);
  }
  void calculateQuota() override { control_.runCalQuotaInThread("YES"); }
  void updateSSWindowRefresh() override { control_.selective().updateSSWindowRefresh(); }
  std::string createSessionFileForOperation(int operation, const std::string& name) override {
    return account_.createSessionFileForOperation(operation, name);
  }
  void writeSessionLog(const std::string& file, const std::string& text, bool withTimeStamp) override;
  void logSyncInteractiveSession(const std::string& text, bool flush) override;
  bool checkRenamedFileisUnderBackup(const RenameEntry& rename) override {
    return account_.checkRenamedFileisUnderBackup(rename);
  }
  bool isRenameCollectionEmpty() override { return renameDelete_.isRenameCollectionEmpty(); }
  // Read on the worker when a delete set goes out.
  std::optional<engineset::SeenVersion> seenVersion(const std::string& relativePath) override;
  // On the worker, as the server reports each rename, before the rows change.
  void renamedOnServer(const std::string& oldPath, const std::string& newPath) override;

 private:
  // The folder-creation controller as its worker drives it.
  class CreateDirEngine final : public FolderCreationService {
   public:
    CreateDirEngine(PushConcern& p, KVTCreateDirController& k) : p_(p), k_(k) {}
    void prepare() override { p_.fillAccount(k_); }
    void setCancel(bool value) override { k_.setCancel(value); }
    void startCraeteDir(const std::string& folder) override { k_.startCraeteDir(folder); }

   private:
    PushConcern& p_;
    KVTCreateDirController& k_;
  };

  // The account's connection record and proxy settings for a run.
  template <class Controller>
  void fillAccount(Controller& k) {
    const User user = account_.userForEngineController();
    k.setProxyDetails(ProxyController(user.proxySettingsFilePath()));
    k.setUser(user);
  }
  // The push topic and service follow the account settings.
  void refreshAccount();

  const SupportFilePaths& files_;
  const SyncSessionDetails session_;
  RunLoop& mainLoop_;
  NotificationPoster* const poster_;
  UMSDBSyncInputManger& queue_;
  ExcludedFilesCollections& filters_;
  AccountState& state_;
  AccountSettings& settings_;
  AccountProgress& progress_;
  ControlRoom& control_;
  ServerRoad& server_;
  UploadRoad& uploads_;
  KVTBackupManager& uploadManager_;
  QLBackupProgressLogger& renameLogger_;
  SyncTimers& timers_;
  PushConcernAccount& account_;
  KVTRenameDeleteController renameDeleteController_;
  KVTCreateDirController createDirController_;
  KVTRenameDeleteService renameDeleteEngine_;
  CreateDirEngine createDirEngine_;
  PushHandler handler_;
  RenameDeleteDispatcher renameDelete_;
  FolderCreationDispatcher folderCreation_;
  // Last: work this concern posts ends with it.
  WeakGuard guard_;
};

}  // namespace ulmora
