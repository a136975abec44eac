#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

// One per-file progress report of a transfer run, handed to
// KVTBackupRestoreHandlerProtocol::operationDidReceiveData. Its dictionary form
// (toPropertyList) is what goes to the status monitor; the key and mode texts
// below are read byte for byte by the sync controller and the monitor.
struct KVTProgressRecord {
  // Keys of the dictionary form.
  static constexpr const char* kFileNameKey = "filename";
  static constexpr const char* kFileSizeKey = "filesize";
  static constexpr const char* kTransferModeKey = "tansferMode";
  static constexpr const char* kStatusKey = "fileTransferedStatus";
  static constexpr const char* kTotalFileCountKey = "totalFileCount";
  static constexpr const char* kBackedUpFileCountKey = "BackedUpFileCount";
  static constexpr const char* kSpeedKey = "speed";
  static constexpr const char* kTotalTransferedSizeKey = "TotalTrasferedSize";
  static constexpr const char* kTotalBackupSizeKey = "TotalBackup Size";
  static constexpr const char* kRestorePendingSizeKey = "RestorePendingSize";

  // Transfer modes.
  static constexpr const char* kFullBackup = "[Full Backup]";
  static constexpr const char* kIncrementalBackup = "[Incremental Backup]";
  static constexpr const char* kFullRestore = "[Full Restore]";
  static constexpr const char* kIncrementalRestore = "[Incremental Restore]";
  static constexpr const char* kSyncFile = "[Sync File]";
  // Status of a finished file.
  static constexpr const char* kDone = "Done";

  std::string filename;              // relative to the sync root, begins with "/"
  std::string filesize;              // bytes, decimal text
  std::string transferMode;          // one of the modes above
  std::string fileTransferedStatus;  // kDone when the file is complete
  int64_t totalFileCount = 0;        // entries of the run's set
  int64_t backedUpFileCount = 0;     // files finished so far in this run
  std::optional<std::string> speed;  // bytes per second, when the engine said
  int64_t totalTransferedSize = 0;   // bytes finished so far in this run
  int64_t totalBackupSize = 0;       // bytes of the run's whole set
  int64_t restorePendingSize = 0;    // bytes still to download (0 for uploads)

  bool isDone() const { return fileTransferedStatus == kDone; }

  PropertyList toPropertyList() const;
};

}  // namespace ulmora
