// The upload road's build hook and what the road asks of the controller; the
// road itself (UploadRoad) is the engine managers' delegate.
#include <optional>

#include "capture/ExcludedFilesCollections.h"
#include "engine/KVTBackupManager.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "sync/MainSyncController.h"
#include "sync/runs/SeenVersionRule.h"
#include "sync/server/ServerRoad.h"
#include "sync/control/SyncControllerOwner.h"
#include "sync/files/SyncPathHelpers.h"
#include "platform/ThreadCheck.h"

namespace ulmora {
namespace {

constexpr int kLoginDetails = 26;
constexpr int kProxySettings = 84;
constexpr int kBackupFileEntries = 113;
constexpr int kBackupFileEntriesAfterDelete = 114;
constexpr int kRestoreFileEntries = 118;
constexpr int kUserQuotaDetails = 124;

}  // namespace

void MainSyncController::buildUpload() {
  uploadRoad_ = std::make_unique<UploadRoad>(UploadRoad::Parts{
      engines_->uploads(), engines_->downloads(), ctx_.inputQueue, ctx_.collections, ctx_.session.syncUser,
      ctx_.session.consoleUser,
      RunRoadContext::Files{applicationFile(kBackupFileEntries), applicationFile(kRestoreFileEntries),
                            applicationFile(kUserQuotaDetails), applicationFile(kLoginDetails), accountPlistPath()},
      applicationFile(kBackupFileEntriesAfterDelete), applicationFile(kProxySettings), ctx_.clock, ctx_.mainLoop,
      state_, *settings_, *progress_, *controlRoom_, *serverRoad_, static_cast<UploadRoadAccount&>(*this)});
}

// The engine runs may still report until the lifecycle has stopped them, so
// the road stays whole until the controller goes; only the lookup thread ends.
void MainSyncController::stopUpload() {
  if (uploadRoad_) uploadRoad_->stop();
}

std::string MainSyncController::accountPlistPath() const {
  return QLUtility::pathForTemplateKey("UMLoginDetailsFile", ctx_.session.consoleUser);
}

void MainSyncController::useDiscoveredServer(const std::string& server) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (server.empty()) return;
  daemonTrace("service discovery: storage server " + server);
  // Stored first: a run prepared from here on takes its record from the
  // settings, and must not bring the old server back.
  settings_->useDiscoveredServer(server);
  engines_->useServer(server);
}

// ------------------------------------------------------------------ dispatch

void MainSyncController::startBackup() {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (uploadRoad_) uploadRoad_->startBackup();
}

void MainSyncController::startPushing(const std::string& topic, const std::string& messageId,
                                      const std::string& text) {
  ULMORA_DCHECK_ON_LOOP(ctx_.mainLoop);
  if (PushConcern* push = pushToStart()) push->startPushing(topic, messageId, text);
}

std::string MainSyncController::pathBackupFileEntry() const { return applicationFile(kBackupFileEntries); }
User MainSyncController::userForEngineController() {
  if (uploadRoad_) return uploadRoad_->userForEngineController();
  User user = craeteUserInfoObject();
  user.setISDefaultKey(false);
  return user;
}

std::optional<std::string> MainSyncController::CreateFullPathByAppendingSyncRoot(const std::string& path) {
  return syncpaths::fullPath(SyncRootPath(getUlmoraSyncRootPath()), path);
}

std::string MainSyncController::createRelativePathToUlmoraSync(const std::string& path) {
  return syncpaths::relativePath(SyncRootPath(getUlmoraSyncRootPath()), path);
}

bool MainSyncController::isInDeleteList(const std::string& path, const std::vector<std::string>& deleted) {
  return syncpaths::isUnderAny(path, ctx_.collections.filterDeletedFolderToavoid(deleted));
}

}  // namespace ulmora
