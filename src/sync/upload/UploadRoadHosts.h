#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/User.h"
#include "media/VideoCGICallController.h"
#include "sync/control/AccountProgress.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/AccountState.h"
#include "sync/control/ControlRoom.h"
#include "sync/runs/UploadRoadPorts.h"
#include "sync/server/ServerRoad.h"

namespace ulmora {

class ExcludedFilesCollections;
class KVTBackupManager;
class SyncControllerOwner;

// What the upload road asks of the rest of the account that neither an
// earlier concern nor the account's shared objects answer: the settings'
// reading and the owner are the controller's, push and thumbnails later
// concerns'.
class UploadRoadAccount {
 public:
  virtual ~UploadRoadAccount() = default;

  // The agent's side of the account; nullptr before it is set.
  virtual SyncControllerOwner* accountOwner() = 0;
  virtual std::string getUlmoraSyncRootPath() = 0;
  virtual User craeteUserInfoObject() = 0;
  // Blocks while the owner merges.
  virtual void queryMainDB(int option) = 0;
  virtual std::string createSessionFileForOperation(int operation, const std::string& name) = 0;
  // Main loop: a storage server named by service discovery becomes the
  // account's; a push message goes out.
  virtual void useDiscoveredServer(const std::string& server) = 0;
  virtual void startPushing(const std::string& topic, const std::string& messageId, const std::string& text) = 0;
  // The thumbnail concern's.
  virtual void addToCraeteThumbnail(const std::string& fullPath) = 0;
  virtual void updateImageInformation() = 0;
};

// The host the upload road's collaborators declare, answered from the
// account's shared objects, the earlier concerns (control, progress, the
// server road) and the road's port.
//
// Thread-safety: called on the main loop and the engine runs' threads; what
// belongs to the main loop is posted there through `postOnMain`.
class UploadRoadHosts final : public UploadRoadHost {
 public:
  using PostOnMain = std::function<void(std::function<void()>)>;

  struct Parts {
    AccountState& state;
    AccountSettings& settings;
    AccountProgress& progress;
    ControlRoom& control;
    ServerRoad& server;
    ExcludedFilesCollections& filters;
    KVTBackupManager& uploadManager;
    KVTBackupManager& downloadManager;
    VideoCGICallController& video;
    UploadRoadAccount& account;
    PostOnMain postOnMain;
  };

  explicit UploadRoadHosts(Parts parts) : p_(std::move(parts)) {}

  // The server road's download entries are cleared (CancelBackupProcess).
  void ClearRestoreRelatedFileEntries() { p_.server.downloads().ClearRestoreRelatedFileEntries(); }
  // The answer is used on the main loop.
  void useDiscoveredServerOnMain(const std::string& server);

  // progress and status
  void ResetCumulativeCountVariablesForBackup() override {
    p_.progress.tracker().ResetCumulativeCountVariablesForBackup();
  }
  void backupSetDispatched() override;
  void GetTotalCountAndTotalSizeOfBackupFiles() override {
    p_.progress.tracker().GetTotalCountAndTotalSizeOfBackupFiles();
  }
  void BackupRestoreStarted(bool upload) override {
    p_.progress.BackupRestoreStarted(upload ? p_.uploadManager : p_.downloadManager);
  }
  void sendDataToMonitor(const KVTProgressRecord& record, int optype, int /*state*/) override {
    p_.progress.tracker().sendDataToMonitor(record, optype);
  }
  void setMonitorToolTip(const std::string& code) override { p_.progress.status().setMonitorToolTip(code); }
  void removeItemFromToolTipFor(const std::string& item) override {
    p_.progress.status().removeItemFromToolTipFor(item);
  }
  void showDesktopPushNotification(const std::string& text) override {
    p_.progress.status().showDesktopPushNotification(text);
  }
  void sendMonitorMessage(const std::string& text, int type) override;
  void queryMainDB(int option) override { p_.account.queryMainDB(option); }
  // account, control and periphery
  User accountUser() override { return p_.account.craeteUserInfoObject(); }
  void setServerAddress(const std::string& server) override { p_.account.useDiscoveredServer(server); }
  void HandleAccountUnderMaintainence() override { p_.control.events().HandleAccountUnderMaintainence(); }
  void passwordChangedFromWeb() override { p_.control.events().passwordChangedFromWeb(); }
  void runCalQuotaInThread(const std::string& mode) override { p_.control.runCalQuotaInThread(mode); }
  void updateSSWindowRefresh() override { p_.control.selective().updateSSWindowRefresh(); }
  void setRecentlyModifiedItems(const std::string& file, const std::string& operation) override {
    p_.control.recent().setRecentlyModifiedItems(file, operation);
  }
  std::string createSessionFileForOperation(int operation, const std::string& name) override {
    return p_.account.createSessionFileForOperation(operation, name);
  }
  void uploadAfterRename(const RenameEntry& rename) override { p_.settings.uploadAfterRename(rename); }
  void keepRefusedUpload(const std::string& relativePath) override;
  // media
  void addToCraeteThumbnail(const std::string& fullPath) override { p_.account.addToCraeteThumbnail(fullPath); }
  void setVideoUserDetails(const std::string& user, const std::string& password) override;
  void addVideoFile(const std::string& relativePath) override { p_.video.addFiles(relativePath); }
  void makeVideoCGICall() override { p_.video.makeVideoCGICall(); }
  void updateImageInformation() override { p_.account.updateImageInformation(); }
  // push and the server road
  void startPushing(const std::string& topic, const std::string& messageId, const std::string& text) override;
  void updateRefIDwithListingIndex(bool fromZero) override {
    p_.server.listing().updateRefIDwithListingIndex(fromZero);
  }
  // The server road owns the listing index; it moves only past a run in
  // which every file arrived and after which nothing waits.
  void downloadRunEnded(bool allArrived, bool downloadsPending) override {
    if (allArrived && !downloadsPending) p_.server.listing().commitHeldIndex();
  }
  void deleteHalfRestoredFiles() override { p_.server.downloads().deleteHalfRestoredFiles(); }
  // exclusion filters and the notification bus
  std::optional<std::vector<std::string>> filterversionRestoredFile(
      const std::vector<std::string>& relativePaths) override;
  void rowGoesWithFile(const std::string& relativePath) override;
  // See UploadRoad::seenVersionForUpload. Any thread.
  std::optional<engineset::SeenVersion> seenVersionForUpload(const std::string& path);
  void clearRestoreSets(const std::vector<std::string>& stillQueued) override;
  void downloadWritten(const std::string& relativePath, const std::string& reportedSize) override;
  bool downloadWrittenSinceQueued(const std::string& relativePath) override;
  void uploadArrived(const std::string& relativePath, const std::string& reportedSize) override;
  void postSyncList(const std::vector<std::string>& relativePaths) override {
    p_.control.finder().postSyncList(relativePaths);
  }

 private:
  Parts p_;
};

}  // namespace ulmora
