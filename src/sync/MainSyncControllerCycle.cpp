// The 5-second cycle: the gate, the pause steps, the order of the workers,
// the cache sweep, thumbnails and the file manager's badges.
#include <utility>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "platform/ThreadCheck.h"
#include "service/SynListingController.h"
#include "sync/MainSyncController.h"
#include "sync/push/PushConcern.h"
#include "sync/control/SyncControllerOwner.h"

namespace ulmora {
// ---------------------------------------------------------------- gate and tick

int MainSyncController::shouldSync() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  const std::string name = syncUserName();
  return settings_->gate(name.empty() ? std::nullopt : std::optional<std::string>(name));
}

bool MainSyncController::syncRootExists() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  return fileutil::isDirectory(getUlmoraSyncRootPath());
}

void MainSyncController::restoreThrottleAfterPause() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  // What changed on the server during the pause is judged before the edits
  // made meanwhile go out (uploads wait for the listing).
  if (controlRoom_->pause().restoreThrottleAfterPause()) uploadGate_.listingAwaitedAfterPause();
}

void MainSyncController::keepPushTimersAlive() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (!settings_->values().guserName.empty()) {
    timers_->schedulePeriodicTimer();
    if (!timers_->isKeepAliveTimerValid()) {
      daemonTrace("PushDummyNotification scheduled1");
      timers_->scheduleKeepAliveTimer();
    }
  }
  if (std::exchange(state_.cycle.duringPauseGotPns, false)) {
    uploadGate_.listingAwaitedAfterPause();
    ctx_.inputQueue.addNotificationFilesInfo();
    QLBackupProgressLogger::progressLogger().logSyncInteractiveSession(
        "during pause pns got so listing called", true);
  }
}

bool MainSyncController::isThumbNailBackupRunning() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  MutexLock hold(state_.cycle.shared.mutex);
  return state_.cycle.shared.isThumbNailBackupRunning;
}

void MainSyncController::backupRunFinished() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  progress_->BackupRestoreFinised(engines_->uploads());
}

void MainSyncController::restoreRunFinished() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  progress_->BackupRestoreFinised(engines_->downloads());
}

bool MainSyncController::isExcuteEventsCapturedRunning() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  MutexLock hold(state_.push.workers.mutex);
  return state_.push.workers.ExcuteEventsCapturedrunning;
}

bool MainSyncController::isCreateDirRunning() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  MutexLock hold(state_.push.workers.mutex);
  return state_.push.workers.createDirRunning;
}

bool MainSyncController::mayStartListing() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  return engines_->changeListingMayStart();
}

bool MainSyncController::uploadWaitsForListing() {
  const bool listingPending = ctx_.inputQueue.isListingRequested() || engines_->changeListingRunning();
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  return uploadGate_.holdUploads(state_.cycle.duringPauseGotPns, listingPending);
}

bool MainSyncController::renamesAndDeletesGoFirst() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  PushConcern* push = pushToStart();
  const bool pending = push != nullptr && (isExcuteEventsCapturedRunning() || push->renameDelete().hasHeldWork() ||
                                           ctx_.inputQueue.CheckIfAnyRenameDeleteOrCreateDirOccured());
  return renameGate_.holdUploads(pending);
}

void MainSyncController::listingStep() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (!ctx_.collections.mFileInfoChangedList().empty()) ctx_.collections.clearFileInfoChangedList();
  const PropertyList markers = ctx_.inputQueue.readFileFor("5");
  const size_t count = markers.asArray() != nullptr ? markers.asArray()->size() : 0;
  const bool reinitialising = getReinitializeState();
  if (!reinitialising && count == 0) return;
  if (reinitialising) {
    daemonTrace("notification got so not called listing may be reintializing isReinitialize:1  "
                "[notificationArray count]:" +
                std::to_string(count));
    return;
  }
  engines_->changeListing().SetIsRetryListingCalledForNoData(false);
  {
    MutexLock hold(state_.listing.mutex);
    state_.listing.retryCount = 0;
  }
  daemonTrace("notification got so called listing");
  {
    MutexLock hold(state_.listing.mutex);
    state_.listing.notificationfileRead = true;
  }
  ctx_.mainLoop.post(guard_.wrap([this] {
    if (PushConcern* push = pushToStart()) push->handler().delayedListingForNotification();
  }));
  controlRoom_->selective().updateSSWindowRefresh();
}

// ---------------------------------------------------------------- cache sweep

void MainSyncController::checkCacheClearanceforSevenDays() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  serverRoad_->cacheSweep().checkCacheClearanceforSevenDays();
}

// ---------------------------------------------------------------- thumbnails

void MainSyncController::createAndUploadThumbnails() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  thumbnails_->createAndUploadThumbnails();
}

// ---------------------------------------------------------------- badges

void MainSyncController::updateIconOverlay() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  daemonTrace("updateIconOverlay call");
  refreshIconOverlay();
}

void MainSyncController::refreshIconOverlay() {
  daemonTrace("refreshIconOverlay called ");
  // The database is read on the worker; the main loop does not wait for it.
  postToWorker([this] {
    SyncControllerOwner* o = owner();
    if (o == nullptr) return;
    const std::vector<std::string> list = o->queryMainDBForChickInsyncStatus();
    daemonTrace("filesCollection:" + std::to_string(list.size()));
    if (list.empty()) {
      daemonTrace("All files are in sync sent to finder writing to downloads folder stioped### ");
      return;
    }
    daemonTrace(
        "All files are not in sync list of non sync sent to finder  writing in downloads folder "
        "commented");
    controlRoom_->finder().postSyncList(list);
  });
}

}  // namespace ulmora
