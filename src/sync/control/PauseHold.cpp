#include "sync/control/PauseHold.h"

#include <utility>

#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "platform/ThreadCheck.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/AccountState.h"
#include "sync/control/SyncTimers.h"

namespace ulmora {

PauseHold::PauseHold(Parts p)
    : uploadManager_(p.uploadManager),
      downloadManager_(p.downloadManager),
      mainLoop_(p.mainLoop),
      worker_(p.worker),
      state_(p.state),
      settings_(p.settings),
      timers_(p.timers),
      port_(p.port) {}

void PauseHold::pauseSteps() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  timers_.invalidatePeriodicTimer();
  timers_.invalidateKeepAliveTimer();
  holdUpload();
  if (downloadStopUnderWay_) return;
  if (!downloadManager_.isRunning()) {
    port_.dropQueuedDownloads();
    return;
  }
  stopDownloadThen(&PauseHoldPort::dropQueuedDownloads);
  // What the stopped download was fetching comes back with the listing
  // after the pause.
  port_.listAgain();
  MutexLock hold(state_.listing.mutex);
  state_.listing.listingStartedfromZeroIndex = true;
}

void PauseHold::holdUpload() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  // The running upload keeps its engines and goes on where it stood.
  uploadManager_.setBandwidthThrottleValue("-1");
  uploadHeld_ = true;
}

bool PauseHold::restoreThrottleAfterPause() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (!std::exchange(uploadHeld_, false)) return false;
  daemonTrace("the pause is over: the transfer throttle is restored");
  uploadManager_.setBandwidthThrottleValue(settings_.bandwidthThrottle(true));
  port_.listAgain();
  return true;
}

void PauseHold::stopUpload() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  worker_.post(guard_.wrap([this] { uploadManager_.CancelBackupProcess(false); }));
}

void PauseHold::stopDownloadThen(void (PauseHoldPort::*after)()) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  // A download engine may write until it has ended: what it leaves is
  // cleared only then, and the pause ticks leave the download alone meanwhile.
  downloadStopUnderWay_ = true;
  worker_.post(guard_.wrap([this, after] {
    downloadManager_.CancelBackupProcess(false);
    mainLoop_.post(guard_.wrap([this, after] {
      downloadStopUnderWay_ = false;
      (port_.*after)();
    }));
  }));
}

bool PauseHold::downloadStopUnderWay() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  return downloadStopUnderWay_;
}

bool PauseHold::uploadHeld() const {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  return uploadHeld_;
}

}  // namespace ulmora
