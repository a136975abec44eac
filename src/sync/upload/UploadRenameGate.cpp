#include "sync/upload/UploadRenameGate.h"

#include "foundation/QLBackupProgressLogger.h"

namespace ulmora {

bool UploadRenameGate::holdUploads(bool localChangesPending) {
  if (!localChangesPending || ticksHeld_ >= kMostTicksHeld) {
    ticksHeld_ = 0;
    return false;
  }
  if (ticksHeld_++ == 0) daemonTrace("uploads and new folders wait for the renames and deletes made here");
  return true;
}

}  // namespace ulmora
