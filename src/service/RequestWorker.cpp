#include "service/RequestWorker.h"

#include <exception>
#include <string>

#include "platform/Trace.h"

namespace ulmora {

RequestWorker::RequestWorker(Clock& clock) : clock_(clock) {}

RequestWorker::~RequestWorker() { stopAndJoin(); }

void RequestWorker::stopAndJoin() {
  stop();
  MutexLock hold(threadMu_);
  if (thread_.joinable()) thread_.join();
}

bool RequestWorker::start(Job job, IfRunning ifRunning) {
  MutexLock hold(threadMu_);
  if (ifRunning == IfRunning::kWaitForEnd && thread_.joinable()) thread_.join();
  if (running_.exchange(true)) return false;
  // The previous job has ended (running_ was clear); its thread is at most
  // returning.
  if (thread_.joinable()) thread_.join();
  {
    MutexLock lock(mu_);
    stopped_ = false;
  }
  thread_ = std::thread([this, job = std::move(job)] { body(job); });
  return true;
}

void RequestWorker::body(const Job& job) {
  try {
    job(*this);
  } catch (const std::exception& e) {
    traceLine(std::string("RequestWorker: job failed: ") + e.what());
  } catch (...) {
    traceLine("RequestWorker: job failed");
  }
  running_.store(false);
}

void RequestWorker::stop() {
  MutexLock lock(mu_);
  stopped_ = true;
  if (transfer_ != nullptr) transfer_->cancel();
  wake_.notify_all();
}

bool RequestWorker::stopRequested() const {
  MutexLock lock(mu_);
  return stopped_;
}

HttpsResponse RequestWorker::perform(HttpsTransfer& transfer) {
  {
    MutexLock lock(mu_);
    if (stopped_) transfer.cancel();
    transfer_ = &transfer;
  }
  HttpsResponse response = transfer.perform();
  MutexLock lock(mu_);
  transfer_ = nullptr;
  return response;
}

bool RequestWorker::sleepFor(Clock::Duration d) {
  UniqueMutexLock lock(mu_);
  const auto deadline = clock_.monotonicNow() + d;
  return !clock_.waitUntil(lock.native(), wake_, deadline,
                           [this]() ULMORA_REQUIRES(mu_) { return stopped_; });
}

}  // namespace ulmora
