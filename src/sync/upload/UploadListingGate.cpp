#include "sync/upload/UploadListingGate.h"

#include "foundation/QLBackupProgressLogger.h"

namespace ulmora {

bool UploadListingGate::holdUploads(bool pushDuringPause, bool listingPending) {
  if (pushDuringPause) awaited_ = true;
  // The awaited listing ran (nothing asked for, nothing running): done.
  if (awaited_ && !pushDuringPause && !listingPending) awaited_ = false;
  if (!awaited_ || ticksHeld_ >= kMostTicksHeld) {
    ticksHeld_ = 0;
    return false;
  }
  if (ticksHeld_++ == 0) daemonTrace("uploads wait for the change listing");
  return true;
}

}  // namespace ulmora
