// The upload road: placeholders until the upload concern replaces this file.
#include <algorithm>

#include "foundation/QLBackupProgressLogger.h"
#include "sync/MainSyncController.h"

namespace ulmora {
void MainSyncController::buildUpload() {}
void MainSyncController::stopUpload() {}

void MainSyncController::startBackup() {}

bool MainSyncController::isSupportedFileType(const std::string& path) {
  static const char* const kImageExtensions[] = {"tif", "tiff", "bmp", "dib", "rle", "gif", "jpg",
                                                 "jpeg", "jpe", "jfif", "png", "jp2", "psd", "tga"};
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return std::find(std::begin(kImageExtensions), std::end(kImageExtensions), ext) !=
         std::end(kImageExtensions);
}

void MainSyncController::operationDidStart(KVTBackupManager& /*manager*/) {
  notBuiltYet("operationDidStart");
}
void MainSyncController::operationDidReceiveData(const KVTProgressRecord& /*record*/,
                                                 KVTBackupManager& /*manager*/) {}
void MainSyncController::removeSfErrorFileFromDb(const std::string& path, KVTBackupManager& /*manager*/) {
  notBuiltYet("removeSfErrorFileFromDb " + path);
}
void MainSyncController::makeScriptCallForObject(KVTBackupManager& /*manager*/) {
  notBuiltYet("makeScriptCallForObject");
}
void MainSyncController::operationStartedRetrying(KVTBackupManager& /*manager*/) {}
void MainSyncController::operationDidFinishFileListGeneration(KVTBackupManager& /*manager*/) {}
void MainSyncController::operationDidReceiveErrors(const std::string& error, const std::string& path,
                                                   KVTBackupManager& /*manager*/) {
  notBuiltYet("operationDidReceiveErrors " + path + ": " + error);
}
void MainSyncController::operationDidFailWithError(const std::string& error,
                                                   KVTBackupManager& /*manager*/) {
  notBuiltYet("operationDidFailWithError " + error);
}
void MainSyncController::operationDidFailWithOverQuota(KVTBackupManager& /*manager*/) {
  notBuiltYet("operationDidFailWithOverQuota");
}
void MainSyncController::operationDidCancel(KVTBackupManager& /*manager*/) {
  notBuiltYet("operationDidCancel");
}
void MainSyncController::operationCanceld(KVTBackupManager& /*manager*/) {}
void MainSyncController::operationDidFinishSuccessfully(KVTBackupManager& /*manager*/) {
  notBuiltYet("operationDidFinishSuccessfully");
}
void MainSyncController::restoreRestarted(KVTBackupManager& /*manager*/) {}

}  // namespace ulmora
