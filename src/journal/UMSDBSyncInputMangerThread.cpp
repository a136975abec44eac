// The writer thread: start, stop, passes and the reinitialise step.
#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"
#include "journal/SyncInputHost.h"
#include "journal/UMSDBSyncInputManger.h"

namespace ulmora {
void UMSDBSyncInputManger::startDBSyncInput(bool clear) {
  MutexLock serial(startStopMutex_);
  {
    std::string dbFolder = applicationFile(journal::kDatabaseFolder);
    MutexLock lock(settingsMutex_);
    pathToUpdate_ = std::move(dbFolder);
  }
  {
    MutexLock lock(threadMutex_);
    if (thread_.joinable() && !threadExiting_ && !stopRequested_) return;
  }
  if (clear) clearSyncFiles();
  clearDBEntries();
  daemonTrace("setFolderPaths called");
  setFolderPaths();

  std::thread finished;
  {
    MutexLock lock(threadMutex_);
    if (thread_.joinable() && !threadExiting_) {
      // Still in its last passes: it simply carries on.
      stopRequested_ = false;
      daemonTrace("UMSDBSyncInputManger: writer thread taken back while stopping");
      return;
    }
    finished = std::move(thread_);
  }
  if (finished.joinable()) finished.join();

  MutexLock lock(threadMutex_);
  stopRequested_ = false;
  threadExiting_ = false;
  isDBThreadRunning_ = true;
  thread_ = std::thread([this] { timerFireMethod(); });
}

void UMSDBSyncInputManger::stopDBSyncInput() {
  {
    MutexLock lock(threadMutex_);
    if (!thread_.joinable() || threadExiting_) return;
    stopRequested_ = true;
    if (loopHandle_) loopHandle_->stop();
  }
  threadCv_.notify_all();
}

void UMSDBSyncInputManger::stopDBSyncInputAndWait() {
  MutexLock serial(startStopMutex_);
  stopDBSyncInput();
  std::thread running;
  {
    MutexLock lock(threadMutex_);
    running = std::move(thread_);
  }
  if (running.joinable()) running.join();
}

bool UMSDBSyncInputManger::stopRequested() {
  MutexLock lock(threadMutex_);
  return stopRequested_;
}

void UMSDBSyncInputManger::sleepUnlessStopped(Clock::Duration d) {
  UniqueMutexLock lock(threadMutex_);
  clock_.waitUntil(lock.native(), threadCv_, clock_.monotonicNow() + d,
                   [this]() ULMORA_REQUIRES(threadMutex_) { return stopRequested_; });
}

void UMSDBSyncInputManger::postToWriter(std::function<void()> task) {
  {
    MutexLock lock(threadMutex_);
    if (loopHandle_ && loopHandle_->post(task)) return;
  }
  task();
}

UMSDBSyncInputManger::PassResult UMSDBSyncInputManger::runWriterPass() {
  MutexLock lock(passMutex_);
  writeJournals();
  PassResult pass = writeDatabaseBatches();
  reinitializeStep();
  return pass;
}

UMSDBSyncInputManger::PassResult UMSDBSyncInputManger::guardedPass() {
  try {
    MutexLock lock(passMutex_);
    writeJournals();
    return writeDatabaseBatches();
  } catch (const std::exception& e) {
    daemonTrace(std::string("UMSDBSyncInputManger: writer pass failed: ") + e.what());
  } catch (...) {
    daemonTrace("UMSDBSyncInputManger: writer pass failed");
  }
  return PassResult{false, true};
}

void UMSDBSyncInputManger::reinitializeStep() {
  if (!reinitialiseState_) return;
  if (getUpdateRefIDFilesCount() != 0 || getUpdateBackupFilesCount() != 0) return;
  if (threadToUpdateBackupFile_ || ThreadTOupdateRefIDFile_) {
    interactiveTrace(
        "umsdbsyncinputmanager some thread updating still calling quiery main db  waiting due to "
        "reinitialize");
    return;
  }
  SyncInputHost* h = host();
  if (!h) return;
  reinitialiseState_ = false;
  h->queryMainDB(0);
  daemonTrace("umsdbsyncinputmanager calling quiery main db due to reinitialize");
}

std::string UMSDBSyncInputManger::queuedWork() {
  std::string account;
  auto note = [&account](const char* what, std::size_t n) {
    if (n == 0) return;
    account += (account.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  };
  auto size = [](auto& queue) { return queue.with([](auto& q) { return q.size(); }); };
  note("uploads", size(backupFilesCollection_));
  note("deletes", size(deleteFilesCollection_));
  note("renames", size(renameFilesCollection_));
  note("folder creations", size(createDirCollection_));
  note("downloads", restoreFilesCollection_.with([](RestoreQueue& q) { return q.queued.size(); }));
  note("server-change markers", notificationRequested_.with([](bool& r) { return r ? 1u : 0u; }));
  note("database updates", size(mFilesToUpdate_) + size(mFilesToUpdateRefID_) +
                               size(mFilesToDelete_) + size(mFilesToRename_) +
                               size(mFilesToBackup_));
  note("Out-of-Box database updates",
       size(mOBFilesToUpdateBackup_) + size(mOBFilesToUpdate_) + size(mOBFilesToDelete_));
  return account;
}

void UMSDBSyncInputManger::finalPasses(RunLoop& loop) {
  // Orderly stop: what was queued before the stop is written now, and so is
  // what the passes themselves make arrive. A pass that cannot write (no
  // sync root, a full disk) is tried again until the limit.
  const Clock::TimePoint limit = clock_.monotonicNow() + kFinalPassesLimit;
  for (;;) {
    loop.runUntilIdle();
    guardedPass();
    loop.runUntilIdle();
    const std::string left = queuedWork();
    if (left.empty()) return;
    if (clock_.monotonicNow() >= limit) {
      daemonTrace("UMSDBSyncInputManger: stopping with work not written: " + left);
      return;
    }
    clock_.sleepFor(kFinalPassPause);
  }
}

void UMSDBSyncInputManger::timerFireMethod() {
  RunLoop loop(clock_);
  RunLoop::setCurrent(&loop);
  {
    MutexLock lock(threadMutex_);
    loopHandle_ = loop.handle();
    // A stop that came before the loop existed still ends the first phase.
    if (stopRequested_) loop.stop();
  }
  for (;;) {
    loop.runFor(kRunLoopPhase);
    guardedPass();
    sleepUnlessStopped(kPassPause);
    try {
      reinitializeStep();
    } catch (const std::exception& e) {
      daemonTrace(std::string("UMSDBSyncInputManger: reinitialise step failed: ") + e.what());
    }
    if (!stopRequested()) continue;

    finalPasses(loop);
    MutexLock lock(threadMutex_);
    if (!stopRequested_) continue;  // taken back by a start
    threadExiting_ = true;
    loopHandle_.reset();
    break;
  }
  loop.runUntilIdle();
  RunLoop::setCurrent(nullptr);
  isDBThreadRunning_ = false;
}

}  // namespace ulmora
