#pragma once

// The run machinery of KVTBackupManager; included only by its own .cpp files.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "engine/EngineCredentials.h"
#include "engine/EngineWorker.h"
#include "engine/KVTBackupManager.h"

namespace ulmora {

// What a run needs, copied from the manager when the run starts, so later
// set-up calls do not change a run in progress.
struct RunPlan {
  bool restore = false;
  std::string executor;
  std::string workFolder;
  User user;
  std::shared_ptr<const ProxyController> proxy;
  std::string localRoot;
  std::string destination;
  bool mirror = false;
  std::vector<std::string> entries;
  engineset::SeenVersions seen;  // uploads: passed as --seen-versions
  int64_t splitPoint = 0;
  Clock::Duration noProgressTimeout{};
  bool repeatedSet = false;
  KVTBackupRestoreHandlerProtocol* delegate = nullptr;
  std::string entryListFile;                    // 113 or 118
  std::vector<std::string> restoreStatusFiles;  // 139, 140 for downloads
};

// One run, shared between the run's thread (execute) and threads that cancel
// it. Lock order: the manager's mutex_, then mu_. No lock is held during a
// delegate call.
class KVTBackupManager::Run {
 public:
  // How long engines get to stop after SIGTERM before they are killed.
  static constexpr Clock::Duration kTerminateGrace = std::chrono::seconds(3);
  // How long CancelBackupProcess waits for the run's ending before it leaves
  // operationCanceld to the run's thread.
  static constexpr Clock::Duration kCancelWaitLimit = std::chrono::seconds(30);

  Run(KVTBackupManager& manager, Clock& clock, uint64_t generation, RunPlan plan);
  ~Run();

  void execute();

  // Any thread.
  void wake();
  bool cancelByProcess();  // false when the run is already ending
  void awaitEnginesExited();
  void finishCancelByProcess();
  void terminateEngines();
  void shutdown();
  bool enginesLaunched() const;
  bool held() const { return held_; }

 private:
  struct Slot {
    int number = 0;  // engine one or two
    std::vector<std::string> entries;
    int retries = 0;
    std::unique_ptr<EngineWorker> worker;  // replaced under mu_
    bool live = false;
    bool held = false;
    bool sawStart = false;
    std::unordered_set<std::string> ended;
    int64_t doneBase = 0, bytesBase = 0;
    int64_t total = 0, totalBytes = 0, done = 0, transferred = 0, pending = 0;
    std::optional<ProcessResult> result;
    std::string fatal;
    std::string errorText;
  };
  enum class Ending { kSuccess, kFailure, kOverQuota, kCancel };
  struct Outcome {
    Ending ending = Ending::kSuccess;
    std::string error;
    int32_t errorCode = 0;
    bool partial = false;  // finished, but some files failed
  };
  template <typename F>
  void call(F&& f);

  bool stopRequested() const;
  bool stopRequestedLocked() const ULMORA_REQUIRES(mu_);
  void waitRepeatedSet();
  // The paths a run sends, and how many of them go to the first engine.
  struct Entries {
    std::vector<std::string> paths;
    int64_t splitPoint = 0;
  };
  // What each download target under the local root is now (size and time,
  // or nothing), in the order of plan_.entries.
  std::vector<std::string> localStamps() const;
  // plan_.entries less the download targets whose local copy changed since
  // `before` was taken: written in the minute a repeated set waits, such a
  // copy is the user's, newer than what the set was sent for.
  Entries entriesStillWanted(const std::vector<std::string>& before) const;
  bool prepare(std::string& error, const Entries& entries);
  bool launch(Slot& slot, const std::string& setStem);
  void loop();
  void dispatch(EngineWorker::Event& e);
  void onProgress(Slot& slot, const EngineLineRecord& r);
  void onItemError(Slot& slot, const EngineLineRecord& r);
  void onStart(Slot& slot, const EngineLineRecord& r);
  void onExited(Slot& slot, EngineWorker::Event& e);
  void onNoProgress();
  bool allSlotsDone() const;
  bool anyHeld() const;
  void signalAll(bool kill);
  Outcome decide();
  Outcome slotOutcome(const Slot& slot) const;
  void finish(const Outcome& outcome);
  void releaseWorkers();
  void awaitCancelCleanup();

  KVTBackupManager& manager_;
  Clock& clock_;
  const uint64_t generation_;
  const RunPlan plan_;
  std::unique_ptr<EngineCredentials> credentials_;
  // Set by prepare() under mu_, before any worker exists; afterwards the
  // run's thread changes a slot's own fields, and only `worker` is read by
  // other threads (under mu_).
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<EngineWorker>> retired_;
  bool timedOut_ = false;
  bool connectReported_ = false;
  bool fileListReported_ = false;
  int64_t unparsed_ = 0;
  EngineLineRecord line_;  // the run's thread: the line being handled
  std::atomic<std::thread::id> threadId_{};
  std::atomic<bool> shutdown_{false};
  std::atomic<bool> held_{false};

  mutable Mutex mu_;
  std::condition_variable cv_;
  std::deque<EngineWorker::Event> events_ ULMORA_GUARDED_BY(mu_);
  int liveWorkers_ ULMORA_GUARDED_BY(mu_) = 0;
  bool kicked_ ULMORA_GUARDED_BY(mu_) = false;
  bool canceledByProcess_ ULMORA_GUARDED_BY(mu_) = false;
  bool terminated_ ULMORA_GUARDED_BY(mu_) = false;  // stopRSyncOperation asked the engines to stop
  bool endingDecided_ ULMORA_GUARDED_BY(mu_) = false;
  bool finished_ ULMORA_GUARDED_BY(mu_) = false;
  bool deferredCanceld_ ULMORA_GUARDED_BY(mu_) = false;
  // CancelBackupProcess is cleaning up on its thread; the ending waits for it.
  bool cleanupPending_ ULMORA_GUARDED_BY(mu_) = false;
  std::optional<Clock::TimePoint> killAt_ ULMORA_GUARDED_BY(mu_);
};

}  // namespace ulmora
