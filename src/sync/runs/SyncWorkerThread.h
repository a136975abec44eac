#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/ThreadAnnotations.h"

namespace ulmora {

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
// goes away.
class SyncWorkerThread {
 public:
  // `running` is the flag the owner and the sync cycle read; it must outlive
  // this object.
  explicit SyncWorkerThread(std::atomic<bool>& running) : running_(running) {}
  ~SyncWorkerThread() { join(); }
  SyncWorkerThread(const SyncWorkerThread&) = delete;
  SyncWorkerThread& operator=(const SyncWorkerThread&) = delete;

  // Sets the running flag unless it is set or an earlier body has not
  // returned yet. false: nothing changed.
  bool claim() {
    MutexLock lock(mu_);
    if (busy_) return false;
    bool idle = false;
    return running_.compare_exchange_strong(idle, true);
  }

  // Gives up a claim that found no work.
  void unclaim() { running_ = false; }

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
      running_ = false;
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
  std::atomic<bool>& running_;
  Mutex mu_;
  bool busy_ ULMORA_GUARDED_BY(mu_) = false;  // a launched body has not returned
  std::thread thread_ ULMORA_GUARDED_BY(mu_);  // the last one launched
};

}  // namespace ulmora
