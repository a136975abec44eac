#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/EngineSetFiles.h"
#include "engine/KVTBackupRestoreHandlerProtocol.h"
#include "engine/ProxyController.h"
#include "engine/User.h"
#include "foundation/SupportFilePaths.h"
#include "platform/Clock.h"
#include "platform/ThreadAnnotations.h"

namespace ulmora {

// Drives the transfer engine for one direction of one account: the upload
// manager (setRestore(false)) or the download manager (setRestore(true)).
//
// A run: the caller configures the manager (user, proxy, set, work folder),
// then startBackup() or startRestore(). Both return at once with isRunning()
// true; the run goes on on a thread of its own, which
//   1. waits out a repeated set (kRepeatedSetWait on the clock), unless cancelled;
//   2. sends operationDidStart;
//   3. writes the entry list (113 for uploads, 118 for downloads), the set files
//      (at most 950 paths each) and the owner-only credential files into the work
//      folder "<application support>/Operation/syncUp|syncDown";
//   4. runs the engines: an upload takes two engines at once when its set spans
//      more than one set file; a download gives the entries before the split
//      point to engine one and the rest to engine two, at the same time;
//   5. reports each file, retries an engine whose connection was lost (at most
//      kMaxRetries times, for the entries it had not finished), and ends with
//      exactly one ending callback (see KVTBackupRestoreHandlerProtocol).
// An engine that prints nothing for the no-progress time-out (except while it
// holds on throttle "-1") is killed and the run fails.
//
// Cancel: setCancel(true) writes "3" to the cancel file; the engines stop and
// the run ends with operationDidCancel. CancelBackupProcess() also stops the
// engines, then asks the delegate to remove half-received files and the
// restore entry files, waits for the run to end (operationDidCancel) and then
// sends operationCanceld on its own thread (deferred to the run's thread when
// called from inside a callback).
//
// Thread-safety: every method may be called from any thread. Delegate calls
// are made with no lock held, so a delegate may call back into the manager
// (setRunningState, CancelBackupProcess, even startBackup) from a callback.
// Lock order: mutex_ before a run's own lock.
class KVTBackupManager {
 public:
  static constexpr int kErrorAccountCancelled = 1001;
  static constexpr int kErrorUnderMaintenance = 1004;
  static constexpr int kErrorAccountBlocked = 1006;
  static constexpr Clock::Duration kRepeatedSetWait = std::chrono::seconds(60);
  static constexpr Clock::Duration kDefaultNoProgressTimeout = std::chrono::minutes(5);
  static constexpr int kMaxRetries = 2;

  explicit KVTBackupManager(Clock& clock = Clock::systemClock());
  // shutdown().
  ~KVTBackupManager();
  KVTBackupManager(const KVTBackupManager&) = delete;
  KVTBackupManager& operator=(const KVTBackupManager&) = delete;

  // Stops a run in progress (its engines are killed) without further delegate
  // calls and joins its threads; later runs are refused. The manager stays
  // usable for questions (isRunning is false). Idempotent.
  void shutdown();

  // --- set-up -------------------------------------------------------------
  void setDelegate(KVTBackupRestoreHandlerProtocol* delegate);
  KVTBackupRestoreHandlerProtocol* delegate() const;
  void setForOB(bool forOB);
  void setRelativeOperation(int relative);
  void setExecutorPath(std::string path);
  void setApplicationSupportFolder(std::string folder);
  void initializeApplicationSupportPaths(std::string consoleUser, std::string syncUser);
  // 1: set files carry no root line (the engine gets "--mirror").
  void setRestoreMirrorPath(int mirror);
  void setConsoleUserName(std::string name);
  void setRestore(bool restore);
  void setBackupSourceFolder(std::string folder);
  void setDestinationPath(std::string path);
  void setProxyObjectWithSettingsFile(const std::string& path);
  // The connection record. A copy: edit it with editUserInfo, which holds the
  // manager's lock, so a run never reads a half-edited record.
  User userInfo() const;
  void setUserInfo(User user);
  void editUserInfo(const std::function<void(User&)>& edit);
  // Where application files (113, 118, 139-142) live; defaults to the
  // SupportFilePaths of initializeApplicationSupportPaths.
  void setApplicationFileResolver(std::function<std::string(int)> resolver);
  // How long a run may go without a line from its engines.
  void setNoProgressTimeout(Clock::Duration timeout);

  // --- work folder ----------------------------------------------------------
  // "<application support>/Operation/syncUp" or ".../syncDown".
  std::string workFolder() const;
  std::string cancelFilePath() const;
  std::string throttleFilePath() const;
  // Removes and recreates the work folder (0700 all the way) and writes "0"
  // to its cancel file. Refused (traced) while engines run.
  void createTempFilePaths();
  void deleteTempFilePaths();
  void removeTempFilePaths();
  void setCancel(bool cancel);
  // "-1" holds the transfer; otherwise bytes per second ("0": unlimited).
  void setBandwidthThrottleValue(const std::string& value);

  // --- the run set -----------------------------------------------------------
  // Stores `set` without repeats; an empty `set` keeps the previous one.
  void setFileFolderSetForOperation(const std::vector<std::string>& set);
  std::vector<std::string> fileFolderSetForOperation() const;
  // True when a path of the current or last run's set is `relativePath` or
  // lies below it (whole path components).
  bool folderSetHasPrefix(std::string_view relativePath) const;
  void setSameBackupSetRepeated(bool repeated);
  void setSameRestoreSetRepeated(bool repeated);
  void setSplitPoint(int64_t splitPoint);
  // What this computer last synced of the files the next upload run may
  // replace; the engine refuses an upload over any other version. Taken by
  // the next upload run only.
  void setSeenVersions(engineset::SeenVersions seen);

  // --- runs ------------------------------------------------------------------
  void startBackup();
  void startRestore();
  void CancelBackupProcess(bool unused);
  // Stops the engines of the active run (SIGTERM: each removes its partial
  // file and exits), escalating to SIGKILL when they do not.
  void stopRSyncOperation();
  // Rewrites BackupFileEntries (113) with `set` in front of its lines.
  void writeBackupsetObjectsToFile(const std::vector<std::string>& set);

  void setFailureCount();
  void setRunningState(bool running);
  bool isRunning() const;
  // True while the active run's engines hold on throttle "-1".
  bool isHeldByThrottle() const;
  double StartTime() const;
  void SetStartTime(double secondsSince1970);
  int64_t PreviousTransferedSize() const;
  void SetPreviousTransferedSize(int64_t bytes);

  // --- the run summary (of the current or last run) -----------------------------
  int32_t succesFileCount() const;
  int32_t incSuccessFileCount() const;
  int32_t syncFileCount() const;
  int32_t failureFileCount() const;
  int32_t backupOrRestorFailCount() const;
  std::string fileSuccessfullySynced() const;
  std::string fileIncSuccessSynced() const;
  bool isCanceled() const;
  int32_t errorCode() const;
  // Engine output lines that did not parse (traced, otherwise ignored).
  int64_t unparsedLineCount() const;

 private:
  class Run;
  struct Summary {
    int32_t success = 0;
    int32_t incremental = 0;
    int32_t inSync = 0;
    int32_t failedFiles = 0;
    int32_t failCount = 0;
    std::string lastFull;
    std::string lastIncremental;
    bool canceled = false;
    int32_t errorCode = 0;
    int64_t unparsedLines = 0;
  };

  void start(bool restore);
  std::string applicationFile(int index) const ULMORA_REQUIRES(mutex_);
  std::string workFolderLocked() const ULMORA_REQUIRES(mutex_);
  bool enginesActive() const;

  Clock& clock_;
  mutable Mutex mutex_;
  KVTBackupRestoreHandlerProtocol* delegate_ ULMORA_GUARDED_BY(mutex_) = nullptr;
  bool forOB_ ULMORA_GUARDED_BY(mutex_) = false;
  int relativeOperation_ ULMORA_GUARDED_BY(mutex_) = 0;
  std::string executorPath_ ULMORA_GUARDED_BY(mutex_);
  std::string applicationSupportFolder_ ULMORA_GUARDED_BY(mutex_);
  SupportFilePaths supportFilePaths_ ULMORA_GUARDED_BY(mutex_);
  std::function<std::string(int)> resolver_ ULMORA_GUARDED_BY(mutex_);
  bool restoreMirror_ ULMORA_GUARDED_BY(mutex_) = false;
  bool restore_ ULMORA_GUARDED_BY(mutex_) = false;
  std::string sourceFolder_ ULMORA_GUARDED_BY(mutex_);
  std::string destinationPath_ ULMORA_GUARDED_BY(mutex_) = "/";
  std::shared_ptr<const ProxyController> proxy_ ULMORA_GUARDED_BY(mutex_) = std::make_shared<ProxyController>();
  User user_ ULMORA_GUARDED_BY(mutex_);
  Clock::Duration noProgressTimeout_ ULMORA_GUARDED_BY(mutex_) = kDefaultNoProgressTimeout;
  std::vector<std::string> set_ ULMORA_GUARDED_BY(mutex_);
  engineset::SeenVersions seen_ ULMORA_GUARDED_BY(mutex_);
  bool sameBackupSetRepeated_ ULMORA_GUARDED_BY(mutex_) = false;
  bool sameRestoreSetRepeated_ ULMORA_GUARDED_BY(mutex_) = false;
  int64_t splitPoint_ ULMORA_GUARDED_BY(mutex_) = 0;
  double startTime_ ULMORA_GUARDED_BY(mutex_) = 0;
  int64_t previousTransferedSize_ ULMORA_GUARDED_BY(mutex_) = 0;
  Summary summary_ ULMORA_GUARDED_BY(mutex_);
  std::atomic<bool> cancelRequested_{false};
  bool shutDown_ ULMORA_GUARDED_BY(mutex_) = false;

  // The run: running_ is set by the starting thread, cleared by the run
  // (unless a newer run began meanwhile, which generation_ tells).
  std::atomic<bool> running_{false};
  uint64_t generation_ ULMORA_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<Run> activeRun_ ULMORA_GUARDED_BY(mutex_);
  std::thread runThread_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::thread> finishedThreads_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
