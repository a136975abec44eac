// Push messages, local renames and deletes, folder creation: placeholders
// until the push concern replaces this file.
#include "foundation/QLBackupProgressLogger.h"
#include "sync/MainSyncController.h"

namespace ulmora {
namespace {

void placeholder(const std::string& what) { daemonTrace("sync controller (not built yet): " + what); }

}  // namespace

void MainSyncController::buildPush() {}
void MainSyncController::stopPush() {}

void MainSyncController::setEnableListeningNotifications(bool enable) {
  state_.push.enableListeningNotifications = enable;
}
void MainSyncController::periodicListening() { placeholder("periodicListening"); }
void MainSyncController::PushDummyNotification() { placeholder("PushDummyNotification"); }
void MainSyncController::delayedListingForNotification() {
  placeholder("delayedListingForNotification");
}
void MainSyncController::ExcuteEventsCaptured() {}
void MainSyncController::CreateFolder() {}

void MainSyncController::setOfflineDeleteRenamedFileInfo(const std::optional<RDDataBaseRows>& rows) {
  placeholder(rows ? "rename/delete rows for " + std::to_string(rows->size()) + " operations"
                   : std::string("the rename/delete database could not be read"));
}

void MainSyncController::connectionDidStart(KVTNotificationController& /*client*/) {}
void MainSyncController::connectionDidReceiveDataForAction(KVTNotificationController& /*client*/,
                                                           const PropertyList& /*data*/,
                                                           const std::string& /*action*/) {}
void MainSyncController::connectionDidFinishSuccessfullyForAction(
    KVTNotificationController& /*client*/, const std::string& /*action*/) {}
void MainSyncController::connectionDidFailWithErrorsForAction(KVTNotificationController& /*client*/,
                                                              const std::string& error,
                                                              const std::string& /*action*/) {
  placeholder("connectionDidFailWithErrorsForAction " + error);
}

void MainSyncController::renameDeleteDidStart(KVTRenameDeleteController& /*controller*/,
                                              const std::string& /*type*/) {}
void MainSyncController::renameDidReceiveData(const std::string& /*oldPath*/,
                                              const std::string& /*newPath*/) {}
void MainSyncController::deleteDidReceiveData(const std::string& /*path*/) {}
void MainSyncController::renameDeleteDidFinishSuccessfully(KVTRenameDeleteController& /*controller*/,
                                                           const std::string& /*type*/) {}
void MainSyncController::renameDeleteDidFailWithError(const std::string& error,
                                                      KVTRenameDeleteController& /*controller*/,
                                                      const std::string& /*type*/) {
  placeholder("renameDeleteDidFailWithError " + error);
}

void MainSyncController::createDirDidStart(KVTCreateDirController& /*controller*/) {}
void MainSyncController::createDirDidReceiveData(const std::string& /*folder*/) {}
void MainSyncController::createDirDidFinishSuccessfully(KVTCreateDirController& /*controller*/) {}
void MainSyncController::createDirDidFailWithError(const std::string& error,
                                                   KVTCreateDirController& /*controller*/) {
  placeholder("createDirDidFailWithError " + error);
}

}  // namespace ulmora
