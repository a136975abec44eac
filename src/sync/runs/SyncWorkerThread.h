#pragma once

#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/ThreadAnnotations.h"

namespace ulmora {

// The running flags of the account's rename/delete and folder workers: each
// is set as its worker is claimed and cleared as the body ends; the sync
// cycle reads them, and a cancel clears one while its body still winds down.
struct WorkerRunningFlags {
  mutable Mutex mutex;
  bool ExcuteEventsCapturedrunning ULMORA_GUARDED_BY(mutex) = false;
  bool createDirRunning ULMORA_GUARDED_BY(mutex) = false;
};

// One worker of the sync controller that its owner can still join, started
// in two steps so that "is it running?" and "start it" are one decision:
// claim() sets the running flag (exactly one of two racing callers wins),
// launch() then starts the body on a new thread, which clears the flag as it
// ends. An exception ends the body with a trace line instead of the process.
//
// A cancel may clear the flag while the body still winds down; no new run is
// claimed until that body has returned, so two bodies never overlap. The
// thread of the previous run is joined by the next run's thread (it has
// ended by then), never by the caller of launch(), and the last one by
// join() at shutdown.
//
// Thread-safety: every method from any thread; the owner joins before it
// goes away. The running flag is read and written only under its mutex.
class SyncWorkerThread {
 public:
  // `running` names the worker's flag in `flags`, which the owner and the
  // sync cycle read; `flags` must outlive this object.
  using Flag = bool WorkerRunningFlags::*;
  SyncWorkerThread(WorkerRunningFlags& flags, Flag running) : flags_(flags), running_(running) {}
  ~SyncWorkerThread() { join(); }
  SyncWorkerThread(const SyncWorkerThread&) = delete;
  SyncWorkerThread& operator=(const SyncWorkerThread&) = delete;

  // Sets the running flag unless it is set or an earlier body has not
  // returned yet. false: nothing changed.
  bool claim() {
    MutexLock lock(mu_);
    if (busy_) return false;
    MutexLock flag(flags_.mutex);
    if (flags_.*running_) return false;
    flags_.*running_ = true;
    return true;
  }

  // Gives up a claim that found no work.
  void unclaim() { setRunning(false); }

  bool isRunning() const {
    MutexLock flag(flags_.mutex);
    return flags_.*running_;
  }

  // After a successful claim: runs `body` on a new thread.
  void launch(std::string name, std::function<void()> body) {
    MutexLock lock(mu_);
    busy_ = true;
    thread_ = std::thread([this, previous = std::move(thread_), name = std::move(name),
                           body = std::move(body)]() mutable {
      if (previous.joinable()) previous.join();
      try {
        body();
      } catch (const std::exception& e) {
        daemonTrace(name + " stopped: " + e.what());
      } catch (...) {
        daemonTrace(name + " stopped by an unknown exception");
      }
      MutexLock done(mu_);
      setRunning(false);
      busy_ = false;
    });
  }

  // Waits for the body in progress, if any.
  void join() {
    std::thread last;
    {
      MutexLock lock(mu_);
      last = std::move(thread_);
    }
    if (last.joinable()) last.join();
  }

 private:
  void setRunning(bool value) {
    MutexLock flag(flags_.mutex);
    flags_.*running_ = value;
  }

  // Locked after mu_, never before it.
  WorkerRunningFlags& flags_;
  const Flag running_;
  Mutex mu_;
  bool busy_ ULMORA_GUARDED_BY(mu_) = false;  // a launched body has not returned
  std::thread thread_ ULMORA_GUARDED_BY(mu_);  // the last one launched
};

}  // namespace ulmora
