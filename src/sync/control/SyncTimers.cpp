#include "sync/control/SyncTimers.h"

#include "foundation/QLBackupProgressLogger.h"
#include "platform/ThreadCheck.h"

namespace ulmora {

SyncTimers::SyncTimers(RunLoop& mainLoop, SyncTimersHost& host) : mainLoop_(mainLoop), host_(host) {}

SyncTimers::~SyncTimers() { stop(); }

void SyncTimers::invalidate(TimerPtr& timer) {
  if (timer) timer->invalidate();
  timer.reset();
}

void SyncTimers::schedule(TimerPtr& timer, Clock::Duration interval, void (SyncTimersHost::*tick)()) {
  timer = mainLoop_.scheduleTimer(interval, true,
                                  guard_.wrap([this, tick](RunLoopTimer&) { (host_.*tick)(); }));
}

// ---------------------------------------------------------------- the cycle

void SyncTimers::scheduleSyncOperationTimer() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (stopped_ || valid(syncOperationTimer_)) return;
  schedule(syncOperationTimer_, kSyncOperationInterval, &SyncTimersHost::syncOperation);
  daemonTrace("syncOperationTimer scheduled");
}

bool SyncTimers::isSyncOperationTimerValid() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  return valid(syncOperationTimer_);
}

void SyncTimers::invalidateSyncOperationTimer() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  invalidate(syncOperationTimer_);
}

const RunLoopTimer* SyncTimers::syncOperationTimer() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  return syncOperationTimer_.get();
}

// ---------------------------------------------------------------- periodic listening

void SyncTimers::schedulePeriodicTimer() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (stopped_ || valid(PNSPeriodicTimer_)) return;
  schedule(PNSPeriodicTimer_, kPeriodicListeningInterval, &SyncTimersHost::periodicListening);
}

bool SyncTimers::isPeriodicTimerValid() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  return valid(PNSPeriodicTimer_);
}

void SyncTimers::invalidatePeriodicTimer() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  invalidate(PNSPeriodicTimer_);
}

// ---------------------------------------------------------------- keep-alive

void SyncTimers::scheduleKeepAliveTimer() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (stopped_ || valid(DummyPNSTimer_)) return;
  schedule(DummyPNSTimer_, kKeepAliveInterval, &SyncTimersHost::PushDummyNotification);
  daemonTrace("PushDummyNotification scheduled");
}

bool SyncTimers::isKeepAliveTimerValid() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  return valid(DummyPNSTimer_);
}

void SyncTimers::invalidateKeepAliveTimer() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  invalidate(DummyPNSTimer_);
}

// ---------------------------------------------------------------- all

void SyncTimers::createAllSyncTimers() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  schedulePeriodicTimer();
  scheduleSyncOperationTimer();
}

void SyncTimers::cancelAllSyncTimers() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (valid(syncOperationTimer_)) daemonTrace("syncoperationcancelAllSyncTimers.");
  invalidate(syncOperationTimer_);
  invalidate(PNSPeriodicTimer_);
}

void SyncTimers::stop() {
  stopped_ = true;
  guard_.invalidate();
  invalidate(syncOperationTimer_);
  invalidate(PNSPeriodicTimer_);
  invalidate(DummyPNSTimer_);
}

}  // namespace ulmora
