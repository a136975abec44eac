#include "engine/KVTProgressRecord.h"

namespace ulmora {

PropertyList KVTProgressRecord::toPropertyList() const {
  PropertyList d{PropertyList::Dict{}};
  d.set(kFileNameKey, filename);
  d.set(kFileSizeKey, filesize);
  d.set(kTransferModeKey, transferMode);
  d.set(kStatusKey, fileTransferedStatus);
  d.set(kTotalFileCountKey, totalFileCount);
  d.set(kBackedUpFileCountKey, backedUpFileCount);
  if (speed) d.set(kSpeedKey, *speed);
  d.set(kTotalTransferedSizeKey, totalTransferedSize);
  d.set(kTotalBackupSizeKey, totalBackupSize);
  d.set(kRestorePendingSizeKey, restorePendingSize);
  return d;
}

}  // namespace ulmora
