#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "foundation/QLBackupProgressLogger.h"

namespace ulmora {

// One detached-style worker of the sync controller that its owner can still
// join: start() sets the running flag on the calling thread before the thread
// exists (so a second start cannot slip in), the thread clears it as it ends,
// and an exception ends the body with a trace line instead of the process.
//
// Thread-safety: start and join from any thread; the owner joins before it
// goes away.
class SyncWorkerThread {
 public:
  SyncWorkerThread() = default;
  ~SyncWorkerThread() { join(); }
  SyncWorkerThread(const SyncWorkerThread&) = delete;
  SyncWorkerThread& operator=(const SyncWorkerThread&) = delete;

  // Waits for the previous body (which has ended or is ending), then starts
  // `body`. `running` must outlive the thread.
  void start(std::atomic<bool>& running, std::string name, std::function<void()> body) {
    join();
    running = true;
    std::lock_guard<std::mutex> lock(mu_);
    thread_ = std::thread([&running, name = std::move(name), body = std::move(body)] {
      try {
        body();
      } catch (const std::exception& e) {
        daemonTrace(name + " stopped: " + e.what());
      } catch (...) {
        daemonTrace(name + " stopped by an unknown exception");
      }
      running = false;
    });
  }

  void join() {
    std::thread done;
    {
      std::lock_guard<std::mutex> lock(mu_);
      done = std::move(thread_);
    }
    if (done.joinable()) done.join();
  }

 private:
  std::mutex mu_;
  std::thread thread_;
};

}  // namespace ulmora
