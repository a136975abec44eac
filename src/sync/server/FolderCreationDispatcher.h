#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/ThreadAnnotations.h"
#include "platform/WeakGuard.h"
#include "service/KVTCreateDirController.h"
#include "service/KVTCreateDirHandlerProtocol.h"
#include "sync/runs/SyncWorkerThread.h"

namespace ulmora {

// The input-queue calls of the folder-creation worker.
class FolderCreationQueue {
 public:
  virtual ~FolderCreationQueue() = default;
  // The next create-folder batch ("6"): an array of folder paths.
  virtual PropertyList readCreateDirJournal() = 0;
  virtual void deleteCreateDirJournal() = 0;
  virtual void addDirectory(const std::string& fullPath) = 0;
  // Records a folder the server now holds (relative path) in the local
  // database, so that a start finds it gone if it goes while the agent
  // is not running.
  virtual void recordFolderInSync(const std::string& relativeFolder) = 0;
};

// The engine-driven folder-creation controller as the worker drives it.
class FolderCreationService {
 public:
  virtual ~FolderCreationService() = default;
  // Fills the account's user and proxy settings.
  virtual void prepare() = 0;
  virtual void setCancel(bool value) = 0;
  // Synchronous; reports to the worker (KVTCreateDirHandlerProtocol).
  virtual void startCraeteDir(const std::string& relativeFolder) = 0;
};

// The rest of the account the worker reports to. Called on the worker unless
// a method says otherwise.
class FolderCreationEnvironment {
 public:
  virtual ~FolderCreationEnvironment() = default;
  virtual std::string syncRootPath() = 0;
  virtual std::string syncUserName() = 0;
  virtual std::string accountUserName() = 0;
  virtual void setMonitorToolTip(const std::string& status) = 0;
  virtual void removeItemFromToolTipFor(const std::string& status) = 0;
  // Whether this run reports to the file manager (a few folders only); when
  // it does, the folders and their parents have been reported not in sync.
  virtual bool sendMessageToFinder(const std::vector<std::string>& fullFolderPaths) = 0;
  // The paths are in sync (full paths).
  virtual void postInSyncList(const std::vector<std::string>& fullPaths) = 0;
  // On the main loop.
  virtual void startPushing(const std::string& messageID, const std::string& text) = 0;
  virtual void clearFolderCreationFilter() = 0;
  virtual void updateSSWindowRefresh() = 0;
  virtual void passwordChangedFromWeb() = 0;
  virtual std::string createSessionFileForOperation(int operation, const std::string& name) = 0;
  virtual void writeSessionLog(const std::string& file, const std::string& text, bool withTimeStamp) = 0;
};

// Creates on the server the local folders that hold no file (a folder with
// files reaches the server with them): a worker thread takes the journalled
// folders, adds the empty folders below them, and creates each through the
// folder-creation controller, one synchronous run per folder.
//
// Beyond the plain road: a relative journal path is made absolute before it
// is checked; a folder whose creation failed or was cancelled is queued again
// while it still exists and holds no file (one the engine refused at most
// kMaxCreateTries times); paths outside the sync root are skipped; a cancel
// ends the run and leaves the rest queued. A folder created, and each folder
// above it, is recorded in the local database. After a run in which the
// engine failed as a whole and no folder was created, the next run waits
// kFirstRetryDelay, doubling after each such run up to kMaxRetryDelay; a run
// that creates a folder ends the wait.
//
// Thread-safety: CreateFolder, cancel and the accessors on any thread; the
// worker body on one thread at a time; the callbacks on the worker.
class FolderCreationDispatcher final : public KVTCreateDirHandlerProtocol {
 public:
  static constexpr int kMaxCreateTries = 3;
  static constexpr std::size_t kMaxWalkItems = 100000;
  static constexpr int kMaxWalkDepth = 64;
  static constexpr const char* kStatus = "Creating Folder...";
  static constexpr Clock::Duration kFirstRetryDelay = std::chrono::seconds(30);
  static constexpr Clock::Duration kMaxRetryDelay = std::chrono::minutes(15);

  // `runningFlags`: where the running flag the sync cycle reads lives
  // (createDirRunning); nullptr: in the worker itself.
  FolderCreationDispatcher(FolderCreationQueue& queue, FolderCreationService& service,
                           FolderCreationEnvironment& env, RunLoop& mainLoop,
                           WorkerRunningFlags* runningFlags = nullptr);
  ~FolderCreationDispatcher() override;
  FolderCreationDispatcher(const FolderCreationDispatcher&) = delete;
  FolderCreationDispatcher& operator=(const FolderCreationDispatcher&) = delete;

  // From the sync cycle: reads the journal and starts the worker when there
  // are folders.
  void CreateFolder();
  // The worker body.
  void StartExcutingCreateDirOpr();
  // Adds the empty folders at or below `fullPath` to the collection.
  void enumerateForEmptySubFolder(const std::string& fullPath);

  // A folder renamed here reached the server (relative paths). A folder made
  // inside it and queued before the rename is created where the rename took
  // it: under the former name it is no longer there, and the server's
  // rename did not carry it.
  void folderMovedHere(const std::string& oldRelative, const std::string& newRelative);
  static constexpr std::size_t kMovesKept = 256;

  void cancel();
  bool isRunning() const { return worker_.isRunning(); }
  std::vector<std::string> collection() const;
  void join();

  // KVTCreateDirHandlerProtocol
  void createDirDidStart(KVTCreateDirController& controller) override;
  void createDirDidReceiveData(const std::string& folder) override;
  void createDirDidFinishSuccessfully(KVTCreateDirController& controller) override;
  void createDirDidFailWithError(const std::string& error, KVTCreateDirController& controller) override;
  void createDirDidRetry() override;
  void createDirDidReceiveErrors(const std::string& errorLine) override;
  void createDirDidCancel(KVTCreateDirController& controller) override;

 private:
  enum class Outcome { kNone, kCreated, kFailed, kCancelled };
  void appendJournal(const PropertyList& folders);
  void iterateFolder(const std::string& path, int depth, std::size_t& seen);
  void addUnlessPresent(const std::string& path);
  std::vector<std::string> withParents(const std::vector<std::string>& fullPaths) const;
  void requeueIfStillEmpty(const std::string& fullPath, bool countsAsTry);
  void clearStatus();
  void postToMain(std::function<void()> task);
  Clock::TimePoint retryNotBefore() const;
  void noteRunOutcome(bool runFailed);

  FolderCreationQueue& queue_;
  FolderCreationService& service_;
  FolderCreationEnvironment& env_;
  RunLoop::Handle main_;
  Clock& clock_;

  WorkerRunningFlags ownRunning_;
  std::atomic<bool> cancelRequested_{false};  // a single flag the worker polls

  mutable Mutex mu_;
  std::vector<std::string> m_createDirCollection ULMORA_GUARDED_BY(mu_);
  std::vector<std::pair<std::string, std::string>> movesHere_ ULMORA_GUARDED_BY(mu_);  // oldest first
  // `fullPath` carried through the folder renames made here.
  std::string followMovesHere(const std::string& fullPath) const;
  Clock::Duration retryDelay_ ULMORA_GUARDED_BY(mu_) = Clock::Duration::zero();
  Clock::TimePoint retryNotBefore_ ULMORA_GUARDED_BY(mu_) = Clock::TimePoint();

  // Worker-only.
  bool creatingDir_ = false;
  Outcome outcome_ = Outcome::kNone;
  bool runStarted_ = false;   // the engine run of the current folder began
  bool itemRefused_ = false;  // ...and refused the folder itself
  std::string sessionFile_;
  std::map<std::string, int> tries_;

  SyncWorkerThread worker_;

  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
