#include "sync/control/SyncCycle.h"

#include "foundation/QLBackupProgressLogger.h"
#include "platform/ThreadCheck.h"
#include "sync/control/SyncGate.h"

namespace ulmora {

int runSyncCycleTick(SyncCyclePort& port) {
  ULMORA_DCHECK_ON_LOOP(RunLoop::main());
  if (!port.hasInputQueue()) {
    daemonTrace("No inputmanager from sync operation timer");
    return -1;
  }
  port.checkCacheClearanceforSevenDays();
  // Nothing may be downloaded into, or listed for, a folder that is not there.
  if (!port.syncRootExists()) {
    port.ifSyncFolderDoNotExist();
    return -1;
  }

  const int gate = port.shouldSync();
  switch (gate) {
    case syncgate::kNoAccount:
    case syncgate::kUnlinked:
    case 2:
    case syncgate::kMoveInProgress:
      return gate;
    case syncgate::kPaused:
      port.pauseSteps();
      return gate;
    case syncgate::kMaySync:
      port.completePendingStart();
      port.restoreThrottleAfterPause();
      port.keepPushTimersAlive();
      break;
    default:
      break;
  }

  if (!port.isThumbNailBackupRunning()) port.createAndUploadThumbnails();

  const bool network = port.isNWAvailable();
  const bool movesFirst = network && port.renamesAndDeletesGoFirst();
  if (!port.isBackupGoingOn() && network) {
    if (port.isbackupStarted()) {
      daemonTrace("tooltip modification for backup");
      port.backupRunFinished();
    }
    if (!port.uploadWaitsForListing() && !movesFirst) port.startBackup();
  }
  if (!port.isRestoreGoingOn() && network) {
    if (port.isrestoreStarted()) {
      daemonTrace("tooltip modification for restore");
      port.restoreRunFinished();
    }
    port.dispatchDownloads();
  }
  if (!port.isExcuteEventsCapturedRunning() && network) port.ExcuteEventsCaptured();
  if (!port.isCreateDirRunning() && network && !movesFirst) port.CreateFolder();
  if (network && !port.isExcuteEventsCapturedRunning() && port.mayStartListing()) {
    port.listingStep();
  }
  return gate;
}

}  // namespace ulmora
