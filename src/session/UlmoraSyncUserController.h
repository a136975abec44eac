#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "capture/ExcludedFilesCollections.h"
#include "capture/FileStateDatabaseQueries.h"
#include "database/UMDatabaseWrapper.h"
#include "foundation/SupportFilePaths.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncFilesControllerProtocol.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "session/AccountSyncFilesHost.h"
#include "session/CaptureInputQueueAdapter.h"
#include "session/SyncFilesCaptureSink.h"
#include "session/SyncFilesWriterControl.h"
#include "sync/SyncContext.h"
#include "sync/SyncController.h"
#include "sync/control/SyncControllerOwner.h"
#include "sync/control/SyncSessionDetails.h"

namespace ulmora {

class CaptureJournalSink;
class DBManager;
class DatabaseMerger;
class EventJournalWriterControl;
class NEWFSEventWatcher;
class NotificationPoster;
class UMSDBSyncInputManger;
class UMSSharedInstanceManager;
struct IpcMessage;

// One sync account of the console user: builds the account's objects, wires
// them together, starts them, forwards the companions' commands to the sync
// controller, and stops everything in order.
//
// What it runs: the database merge thread, the input queue's writer (the
// queue is shared by the process; this account installs itself as its host),
// the account's event journal writer (SyncFilesController, registered in the
// registry and its delegate is this), the watcher of the sync root feeding
// that writer, a worker thread for the database counts, and, on a
// reinitialise, a walk of the sync root.
//
// Thread-safety: construction, start, activate, deactivate, shutdown, the
// command handlers, the calls into the event journal writer and the
// destructor belong to the main thread (checked in debug and test builds).
// The SyncControllerOwner members may be called from any thread.
class UlmoraSyncUserController final : public SyncControllerOwner,
                                       public SyncFilesControllerProtocol {
 public:
  // Builds the account's sync controller from what the account gives it.
  using SyncControllerFactory = std::function<std::unique_ptr<SyncController>(SyncContext)>;

  struct Options {
    UMSSharedInstanceManager* registry = nullptr;  // the shared registry when null
    UMSDBSyncInputManger* inputQueue = nullptr;    // the shared queue when null
    // For the input queue and the event journal writer; may stay null.
    NotificationPoster* poster = nullptr;
    Clock* clock = nullptr;                        // the system clock when null
    RunLoop* mainLoop = nullptr;                   // RunLoop::main() when null
    // A MainSyncController when empty.
    SyncControllerFactory makeSyncController;
    // Where found changes go, and where the journal-writer calls go; the
    // account's own event journal writer when null.
    CaptureJournalSink* journalSink = nullptr;
    EventJournalWriterControl* eventJournal = nullptr;
    bool watchSyncRoot = true;
    bool unlinked = false;        // "Unlink status": built, but not started
    bool reinitializeDue = false;
    // How long queryMainDB waits for the published batches to be merged;
    // a main database that cannot be used must not hold the caller forever.
    Clock::Duration mergeWaitLimit = std::chrono::seconds(60);
    // How long shutdown lets the last batches merge.
    Clock::Duration finalMergeLimit = std::chrono::seconds(20);
  };

  // initWithDetails: builds the account's objects; starts nothing.
  UlmoraSyncUserController(SyncSessionDetails details, Options options);
  // shutdown(), then unregisters.
  ~UlmoraSyncUserController() override;
  UlmoraSyncUserController(const UlmoraSyncUserController&) = delete;
  UlmoraSyncUserController& operator=(const UlmoraSyncUserController&) = delete;

  // Registers the account and its event journal writer, makes the sync
  // folder (0700) when missing, starts the merge thread, initialises the
  // sync controller, starts the event journal writer
  // (didBackupSetOrUserChanged), then activate().
  void start();
  // Becomes the logged-in account (again): installs itself in the input
  // queue, starts its writer, the watcher and, unless unlinked, the sync.
  void activate(bool unlinked);
  // Another account was logged in: stopSyncForUnlink(true); the watcher
  // stops and the input queue writes what this account queued.
  void deactivate();
  // Stops in order: the watcher (what it saw is queued), the walk, the
  // worker; the event journal writer (its last tick writes what is queued);
  // then, if this account is the queue's host, the queue's writer (its last
  // pass writes every queued entry); then waits for the merge of the
  // published batches and stops the merge thread. Idempotent.
  void shutdown();

  const SyncSessionDetails& details() const { return details_; }
  const SupportFilePaths& supportFilePaths() const { return paths_; }
  SyncController& syncController() { return *syncController_; }
  SyncFilesController& syncFilesController() { return *syncFiles_; }
  ExcludedFilesCollections& excludedFiles() { return collections_; }
  bool isActive() const { return active_; }
  bool isReinitializing() const { return reinitializing_; }
  bool isSubAccount() const;

  // Forwards a companion's command; false when the type is not one the
  // account handles (48, 49, 50, 502, 503, 513, 517, 10). Main thread.
  bool handleCommand(const IpcMessage& message);
  // 49/50: the sync controller's UnlinkSync, then stopSyncForUnlink(true).
  void UnlinkSync();
  // 517 after ReinitializeSync: marks the reinitialise, removes the local
  // database and its unmerged batches, and walks the sync root again; when
  // the walk ends the sync controller starts a full listing.
  void DeleteLocalDBAndEnumerate();

  // Waits until the published database batches are merged (at most
  // mergeWaitLimit), then has the pending uploads (1), downloads (2) or both
  // (0) queued again from the local database. Blocks the calling thread.
  void performQueryMainDB(int option);

  // SyncFilesControllerProtocol: the journal writer's delegate calls.
  void didDBQueryFinishedForBackupFiles(const std::vector<std::string>& paths) override;
  void didDBQueryForRDDBCompleated() override;

  // Calls into the event journal writer.
  void didBackupSetOrUserChanged();
  void accountLoggedOutWithUnlink(bool unlink);
  void checkSelectiveSyncFolders();
  void clearOBInformationsFromDB();
  void checkForOBFolders();
  void startOBFolderEnumeration();
  void checkForDBQueryAfterRename();

  // SyncControllerOwner
  std::string syncRootPath() const override { return details_.syncRootPath; }
  std::string syncFolderForUser(const std::string& user) const override;
  std::string createRelativePathToUlmoraSync(const std::string& path) const override;
  std::shared_ptr<CompanionMessenger> finderMessenger() const override;
  std::shared_ptr<CompanionMessenger> monitorMessenger() const override;
  void setisReinitializeState(bool state) override;
  // Posts performQueryMainDB to the account's worker and returns.
  void queryMainDB(int option) override;
  std::vector<std::string> queryMainDBForChickInsyncStatus() override;
  void queryMainDBForTotalCountAndSizeOfBackupFiles() override;
  void queryMainDBForTotalCountAndSizeOfRestoreFiles() override;

 private:
  std::string applicationFile(int index) const { return paths_.pathForApplicationFile(index); }
  std::shared_ptr<DatabaseMerger> merger() const;
  void startMerger();
  void stopMerger();
  void removeLocalDatabase();
  bool localDatabaseExists() const;
  // The folders the user deselected (selective-sync list, relative paths).
  std::set<std::string> deselectedFolders() const;
  // Walks the sync root (skipping deselected folders) on a thread; when the
  // walk ends a reinitialise asks for the full listing.
  void startEnumeration();
  void startWatcher();
  void stopWatcher();
  void stopEnumeration();
  void enumerationFinished(bool completed);
  void postToWorker(std::function<void()> task);
  void installInInputQueue();
  void stopEventJournalWriter();

  const SyncSessionDetails details_;
  const Options options_;
  UMSSharedInstanceManager& registry_;
  UMSDBSyncInputManger& inputQueue_;
  Clock& clock_;
  RunLoop::Handle mainLoop_;
  SupportFilePaths paths_;
  const std::string dbFolder_;  // application file 107

  CaptureInputQueueAdapter filterQueue_;
  ExcludedFilesCollections collections_;
  FileStateDatabaseQueries database_;
  // The event journal writer and what reaches it. It is kept until the
  // destructor, after everything that may still queue into it.
  mutable AccountSyncFilesHost syncFilesHost_;
  std::unique_ptr<SyncFilesController> syncFiles_;
  SyncFilesCaptureSink syncFilesSink_;
  SyncFilesWriterControl syncFilesControl_;
  CaptureJournalSink& sink_;
  EventJournalWriterControl& eventJournal_;
  std::unique_ptr<DBManager> dbManager_;

  // The sync controller uses what is above; it is built after it and
  // destroyed before it. totals_ reports into it.
  std::unique_ptr<SyncController> syncController_;
  std::unique_ptr<UMDatabaseWrapper> totals_;

  mutable Mutex mergerMutex_;
  std::shared_ptr<DatabaseMerger> merger_ ULMORA_GUARDED_BY(mergerMutex_);

  // Main thread only.
  std::unique_ptr<NEWFSEventWatcher> watcher_;
  std::jthread enumeration_;
  bool started_ = false;
  bool shutDown_ = false;
  bool folderUsable_ = false;
  bool hostInstalled_ = false;

  std::atomic<bool> active_{false};
  std::atomic<bool> reinitializing_{false};

  RunLoop workerLoop_;
  std::thread worker_;

  WeakGuard guard_;  // last: posted work dies with the controller
};

}  // namespace ulmora
