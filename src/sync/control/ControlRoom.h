#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/User.h"
#include "foundation/SupportFilePaths.h"
#include "journal/NotificationPoster.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "service/ScriptController.h"
#include "service/UMVersionController.h"
#include "sync/control/AccountControl.h"
#include "sync/control/AccountEvents.h"
#include "sync/control/AccountProgress.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/AccountState.h"
#include "sync/control/ConcernAccount.h"
#include "sync/control/PauseHold.h"
#include "sync/control/QuotaWorker.h"
#include "sync/control/SelectiveSync.h"
#include "sync/control/SelectiveSyncRuns.h"
#include "sync/control/SyncTimers.h"
#include "sync/files/SyncRootFiles.h"
#include "sync/status/ActivityLog.h"
#include "sync/status/FinderLists.h"
#include "sync/status/RecentItems.h"

namespace ulmora {

class CompanionMessenger;
class ExcludedFilesCollections;
class KVTBackupManager;
class SynListingController;
class SyncControllerOwner;
class SyncFilesController;
class UMSDBSyncInputManger;

// What the control concern asks of the rest of the account: the settings'
// reading, the cycle and the worker are the controller's; the
// change listing, the downloads and the local rename/delete and folder runs
// belong to the concerns built after this one.
class ControlRoomAccount : public ConcernAccount {
 public:
  virtual User craeteUserInfoObject() = 0;
  virtual bool isNWAvailable() = 0;
  // Waiting for the owner's merge blocks: on the controller's worker.
  virtual void queryMainDBOnWorker(int option) = 0;
  // With the account's connection record, from `index` (0: a full listing).
  virtual void startChangeListing(int64_t index) = 0;
  // After the settings took effect (a run must carry their secrets).
  virtual void selectiveSyncModefied() = 0;
  // The server road's.
  virtual void stopListingAndAddNotificationFile() = 0;
  virtual void deleteHalfRestoredFiles() = 0;
  virtual void ClearRestoreRelatedFileEntries() = 0;
  virtual bool moveFromCache(const std::string& relativePath, const std::string& modTime,
                             const std::string& size, const std::string& refId) = 0;
  virtual const SyncRootFiles& syncRootFiles() const = 0;
  // The push concern's.
  virtual void cancelRenameDeleteRun() = 0;
  virtual void cancelCreateDirRun() = 0;
  virtual void setEnableListeningNotifications(bool enable) = 0;
};

// Control and periphery: pause, resume, unlink and reinitialise
// (AccountControl), the transfers held and stopped meanwhile (PauseHold), the quota, selective sync and its engine runs, account
// events, recent items, the file manager's lists and the activity record.
// It is the delegate of the account-details client and of the version
// history (whose steps change nothing here: the file a restore writes is
// fenced by VersionRestoreStarted/Ended), and implements the ports its
// collaborators declare.
//
// Thread-safety: the operations of the collaborators say where they run;
// the ports answer from any thread unless they name the main loop.
class ControlRoom final : public ScriptControllerDelegate,
                          public UMVersionControllerDelegateProtocol,
                          public VersionRestoreHost {
 public:
  struct Parts {
    const SupportFilePaths& files;
    std::string enginePath;
    Clock& clock;
    RunLoop& mainLoop;
    // The controller's worker: work that would hold the main loop.
    RunLoop& worker;
    // null: nothing is posted.
    NotificationPoster* poster;
    UMSDBSyncInputManger& queue;
    ExcludedFilesCollections& filters;
    // null: the backup count is not reset.
    SyncFilesController* eventJournal;
    AccountState& state;
    AccountSettings& settings;
    AccountProgress& progress;
    KVTBackupManager& uploadManager;
    KVTBackupManager& downloadManager;
    SyncTimers& timers;
    ControlRoomAccount& account;
  };

  // Reads the selective-sync list.
  explicit ControlRoom(Parts parts);
  ~ControlRoom() override;
  ControlRoom(const ControlRoom&) = delete;
  ControlRoom& operator=(const ControlRoom&) = delete;

  AccountControl& control() { return control_; }
  PauseHold& pause() { return pause_; }
  SelectiveSync& selective() { return selective_; }
  const SelectiveSync& selective() const { return selective_; }
  AccountEvents& events() { return events_; }
  RecentItems& recent() { return recent_; }
  ActivityLog& activity() { return activity_; }
  FinderLists& finder() { return finder_; }
  QuotaWorker& quota() { return quota_; }

  // "YES"/"NO": a get-quota query (marker removal flag); "FromFile". The
  // quota thread is made by the first call and kept for the later ones.
  void runCalQuotaInThread(const std::string& mode);
  void RecalculateQuota();
  // Reported once; a watch notices the folder's return, so that a later
  // loss is reported again.
  void ifSyncFolderDoNotExist();
  void notAbleTOCreateFolderAtPath();
  void sendRecentItemsList();
  void ShowVersion(const std::string& path);

  // ScriptControllerDelegate (the account-details client, on the main loop)
  void didScriptControllerFinishedSuccessfully(const PropertyList& reply, ScriptController& client) override;
  void connectionError(const std::string&, ScriptController&) override {}
  void parsingFailedWithError(const std::string& error, ScriptController&) override;
  // VersionRestoreHost
  void VersionRestoreStarted() override { finder_.VersionRestoreStarted(); }
  void VersionRestoreEnded() override { finder_.VersionRestoreEnded(); }
  std::string syncRootPath() override { return account_.getUlmoraSyncRootPath(); }

  // Ends this concern's threads, runs and timer; the collaborators stay
  // whole for the last callbacks of the other concerns. Idempotent.
  void stop();

 private:
  class NoPoster final : public NotificationPoster {
   public:
    void post(const std::string&, const PropertyList&) override {}
  };

  std::string applicationFile(int index) const { return files_.pathForApplicationFile(index); }
  std::shared_ptr<CompanionMessenger> monitor();
  void watchSyncFolder();

  // The ports of the collaborators (ControlRoom.cpp).
  class ControlPort;
  class QuotaPort;
  class SelectivePort;
  class EventsPort;
  class PausePort;

  const SupportFilePaths& files_;
  const std::string enginePath_;
  RunLoop& mainLoop_;
  UMSDBSyncInputManger& queue_;
  ExcludedFilesCollections& filters_;
  SyncFilesController* const eventJournal_;
  AccountState& state_;
  AccountSettings& settings_;
  AccountProgress& progress_;
  KVTBackupManager& uploadManager_;
  KVTBackupManager& downloadManager_;
  SyncTimers& timers_;
  ControlRoomAccount& account_;
  NoPoster noPoster_;
  std::unique_ptr<ControlPort> controlPort_;
  std::unique_ptr<QuotaPort> quotaPort_;
  std::unique_ptr<SelectivePort> selectivePort_;
  std::unique_ptr<EventsPort> eventsPort_;
  std::unique_ptr<PausePort> pausePort_;
  AccountControl control_;
  PauseHold pause_;
  EngineQuotaQuery quotaQuery_;
  QuotaWorker quota_;
  SelectiveSync selective_;
  SelectiveSyncRuns runs_;
  AccountEvents events_;
  RecentItems recent_;
  ActivityLog activity_;
  FinderLists finder_;
  ScriptController accountDetails_;
  UMVersionController versions_;
  std::shared_ptr<RunLoopTimer> folderWatch_;
  // Last: the folder watch's ticks end with this concern.
  WeakGuard guard_;
};

}  // namespace ulmora
