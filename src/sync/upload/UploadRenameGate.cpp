#include "sync/upload/UploadRenameGate.h"

#include "foundation/QLBackupProgressLogger.h"

namespace ulmora {

bool UploadRenameGate::holdUploads(bool localChangesPending) {
  if (!localChangesPending || ticksHeld_ >= kMostTicksHeld) {
    ticksHeld_ = 0;
    return false;
  }
  if (ticksHeld_++ == 0) daemonTrace("uploads wait for the renames and deletes made here");
  return true;
}

}  // namespace ulmora
