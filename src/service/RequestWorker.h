#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"
#include "service/HttpsTransfer.h"

namespace ulmora {

// A thread of its own for one web request at a time (a long poll, a post
// with its re-sends), which another thread can stop at once.
//
// The running flag is set by start() before the thread starts and cleared by
// the thread as its job ends. stop() cancels the exchange in progress and
// wakes a job waiting in sleepFor(); exchanges the job begins afterwards are
// cancelled at once, until the next start().
//
// Thread-safety: start(), stop(), isRunning() and stopRequested() from any
// thread; perform() and sleepFor() only from inside the job. The destructor
// stops the job and joins its thread: no thread outlives the worker. A job
// must not destroy its own worker.
class RequestWorker {
 public:
  using Job = std::function<void(RequestWorker&)>;

  explicit RequestWorker(Clock& clock);
  ~RequestWorker();
  RequestWorker(const RequestWorker&) = delete;
  RequestWorker& operator=(const RequestWorker&) = delete;

  enum class IfRunning {
    kRefuse,
    // Waits for the running job to end first: for a caller that knows the
    // job is already on its way out.
    kWaitForEnd,
  };

  // Starts `job` on a new thread; false, starting nothing, when a job runs
  // and `ifRunning` is kRefuse. An exception the job throws is traced.
  bool start(Job job, IfRunning ifRunning = IfRunning::kRefuse);
  void stop();
  // stop(), then waits for the job's thread to end.
  void stopAndJoin();
  bool isRunning() const { return running_.load(); }
  bool stopRequested() const;

  // Runs `transfer` so that stop() cancels it.
  HttpsResponse perform(HttpsTransfer& transfer);
  // Waits `d` on the worker's clock; false when stopped first.
  bool sleepFor(Clock::Duration d);

 private:
  void body(const Job& job);

  Clock& clock_;
  std::atomic<bool> running_{false};
  Mutex threadMu_;  // guards thread_; taken before mu_, never the other way
  std::thread thread_ ULMORA_GUARDED_BY(threadMu_);

  mutable Mutex mu_;
  std::condition_variable wake_;
  bool stopped_ ULMORA_GUARDED_BY(mu_) = false;
  HttpsTransfer* transfer_ ULMORA_GUARDED_BY(mu_) = nullptr;
};

}  // namespace ulmora
