// The server road: placeholders until the server concern replaces this file.
#include "foundation/QLBackupProgressLogger.h"
#include "service/ServerRecord.h"
#include "sync/MainSyncController.h"

namespace ulmora {
void MainSyncController::buildListing() {}
void MainSyncController::stopListing() {}

std::vector<std::string> MainSyncController::splitArraySizeWise(
    const std::map<std::string, std::string>& batch) {
  std::vector<std::string> list;
  for (const auto& entry : batch) list.push_back(entry.first);
  return list;
}

void MainSyncController::StartRestore(const std::vector<std::string>& list) {
  notBuiltYet("StartRestore of " + std::to_string(list.size()) + " entries");
}

void MainSyncController::deleteHalfRestoredFiles() {}
void MainSyncController::ClearRestoreRelatedFileEntries() {}
void MainSyncController::ClearBackupRelatedFileEntries() {}

void MainSyncController::listingDidStart(SynListingController& /*listing*/) {}
void MainSyncController::listingDidReceiveData(int64_t /*index*/) {}
void MainSyncController::listingDidFinishSuccessfully(SynListingController& /*listing*/) {}
void MainSyncController::listingDidFailWithError(const std::string& error,
                                                 SynListingController& /*listing*/) {
  notBuiltYet("listingDidFailWithError " + error);
}
void MainSyncController::listingDidCancel(SynListingController& /*listing*/) {}
void MainSyncController::listingDataProcessedComplete(SynListingController& /*listing*/) {
  notBuiltYet("listingDataProcessedComplete");
}
void MainSyncController::validateFiles(const ServerRecord& /*record*/,
                                       const std::string& /*operation*/) {}
void MainSyncController::updateRefID(const ServerRecord& /*record*/,
                                     const std::string& /*operation*/) {}
void MainSyncController::RetryListing(SynListingController& /*listing*/) {
  notBuiltYet("RetryListing");
}

}  // namespace ulmora
