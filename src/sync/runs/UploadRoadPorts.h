#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/KVTProgressRecord.h"
#include "engine/EngineSetFiles.h"
#include "engine/User.h"
#include "journal/RenameEntry.h"

namespace ulmora {

// What an engine manager tells about its current or last run.
struct RunSummary {
  int32_t succesFileCount = 0;
  int32_t incSuccessFileCount = 0;
  int32_t syncFileCount = 0;
  int32_t failureFileCount = 0;
  int32_t backupOrRestorFailCount = 0;
  std::string fileSuccessfullySynced;
  std::string fileIncSuccessSynced;
  bool isCanceled = false;
  int32_t errorCode = 0;
};

// One engine manager (upload or download) as the upload road drives it.
//
// Thread-safety: every method may be called from any thread.
class TransferManagerPort {
 public:
  virtual ~TransferManagerPort() = default;

  // Dispatch.
  virtual std::vector<std::string> fileFolderSetForOperation() const = 0;
  virtual void setFileFolderSetForOperation(const std::vector<std::string>& set) = 0;
  virtual void setSameBackupSetRepeated(bool repeated) = 0;
  // Source folder, destination "/", the connection record, the proxy
  // settings file, upload direction, a fresh work folder, cancel cleared.
  virtual void prepareUploadRun(const std::string& sourceFolder, const User& user,
                                const std::string& proxySettingsFile) = 0;
  // The server versions the next upload run may replace (see
  // seenVersionForUpload); the engine refuses an upload over any other.
  virtual void setSeenVersions(engineset::SeenVersions seen) = 0;
  virtual void startBackup() = 0;

  // Run endings.
  virtual RunSummary summary() const = 0;
  virtual bool isRunning() const = 0;
  virtual void setRunningState(bool running) = 0;
  virtual void removeTempFilePaths() = 0;
  virtual void setKVTServerIP(const std::string& server) = 0;
};

// The sync input queue as the upload road uses it.
//
// Thread-safety: every method may be called from any thread.
class SyncInputPort {
 public:
  virtual ~SyncInputPort() = default;

  // The next upload batch (journal code "1").
  virtual std::vector<std::string> readUploadBatch() = 0;
  virtual bool shouldReturnBackupEntries() const = 0;
  virtual bool CheckIfBackupFilesPendingBool() = 0;
  virtual bool doesIPFileAvailableFor(const std::string& code) = 0;
  virtual void deleteFileFor(const std::string& code, bool onlyRedItems) = 0;
  virtual std::vector<std::string> CheckifAnyRestoreFilesPending() = 0;

  // {relative path: "Backup"} records a finished transfer.
  virtual void addFileToUpdate(const std::map<std::string, std::string>& entries) = 0;
  virtual void addFileToDelete(const std::string& relativePath) = 0;
  virtual void addRenamedFiles(const RenameEntry& entry) = 0;
  // A full path to upload again.
  virtual void addBackupFiles(const std::string& fullPath) = 0;
};

// What the upload road asks of the rest of the sync controller: the
// controller's own operations of other concerns, the media controllers, the
// exclusion filters and the notification bus.
//
// Thread-safety: called from the main thread (dispatch) and from the engine
// managers' threads (run callbacks); implementations must be thread-safe.
class UploadRoadHost {
 public:
  virtual ~UploadRoadHost() = default;

  // --- progress and status
  virtual void ResetCumulativeCountVariablesForBackup() = 0;
  // A set is dispatched: its progress counters, the pending-upload set and
  // its size start again, the large-set marker is cleared.
  virtual void backupSetDispatched() = 0;
  virtual void GetTotalCountAndTotalSizeOfBackupFiles() = 0;
  virtual void BackupRestoreStarted(bool upload) = 0;
  virtual void sendDataToMonitor(const KVTProgressRecord& record, int optype, int state) = 0;
  virtual void setMonitorToolTip(const std::string& code) = 0;
  virtual void removeItemFromToolTipFor(const std::string& item) = 0;
  virtual void showDesktopPushNotification(const std::string& text) = 0;
  virtual void sendMonitorMessage(const std::string& text, int type) = 0;
  virtual void queryMainDB(int option) = 0;

  // --- account, control and periphery
  // The connection record: names, password, key, port, server, default-key
  // flag, encoded password and key.
  virtual User accountUser() = 0;
  // The discovered storage server becomes the account's.
  virtual void setServerAddress(const std::string& server) = 0;
  virtual void HandleAccountUnderMaintainence() = 0;
  virtual void passwordChangedFromWeb() = 0;
  virtual void runCalQuotaInThread(const std::string& mode) = 0;
  virtual void updateSSWindowRefresh() = 0;
  virtual void setRecentlyModifiedItems(const std::string& file, const std::string& operation) = 0;
  virtual std::string createSessionFileForOperation(int operation, const std::string& name) = 0;
  // A rename held for the upload is handed on although the file's content
  // never arrived: the new name is uploaded once the server made the rename.
  virtual void uploadAfterRename(const RenameEntry& rename) = 0;
  // The server refused the upload of `relativePath`: it holds a version from
  // another computer that this one never saw. That version stays; the local
  // file is kept as a conflict copy and the server's version fetched.
  virtual void keepRefusedUpload(const std::string& relativePath) = 0;

  // --- media
  virtual void addToCraeteThumbnail(const std::string& fullPath) = 0;
  virtual void setVideoUserDetails(const std::string& user, const std::string& password) = 0;
  virtual void addVideoFile(const std::string& relativePath) = 0;
  virtual void makeVideoCGICall() = 0;
  virtual void updateImageInformation() = 0;

  // --- push and the server road
  virtual void startPushing(const std::string& topic, const std::string& messageId,
                            const std::string& text) = 0;
  virtual void updateRefIDwithListingIndex(bool fromZero) = 0;
  // A download run ended. `allArrived`: every file of the set arrived (a
  // clean completion); `downloadsPending`: downloads still wait. The listing
  // index may move only on allArrived without pending downloads.
  virtual void downloadRunEnded(bool allArrived, bool downloadsPending) = 0;
  virtual void deleteHalfRestoredFiles() = 0;

  // --- exclusion filters and the notification bus
  virtual std::optional<std::vector<std::string>> filterversionRestoredFile(
      const std::vector<std::string>& relativePaths) = 0;
  // The row of `relativePath` is about to be removed (its file is gone, or
  // an item of a run failed): the server version it recorded stays known
  // for the delete or upload of the path that follows.
  virtual void rowGoesWithFile(const std::string& relativePath) = 0;
  // Also ends the upload marks of downloads that never wrote their file
  // and that none of `stillQueued` (the downloads waiting for a later run)
  // will write.
  virtual void clearRestoreSets(const std::vector<std::string>& stillQueued) = 0;
  // A download wrote the file after its path was last queued for download,
  // and it is still that write.
  virtual bool downloadWrittenSinceQueued(const std::string& relativePath) = 0;
  // The download wrote `relativePath` (or found it equal): an upload entry
  // of this very file is the download's own and is not sent back.
  // `reportedSize`: the size the report gives.
  virtual void downloadWritten(const std::string& relativePath, const std::string& reportedSize) = 0;
  // The upload of `relativePath` arrived with `reportedSize` bytes: the
  // version it left is the one this computer last saw.
  virtual void uploadArrived(const std::string& relativePath, const std::string& reportedSize) = 0;
  // "FilessyncListGot" with {"syncList": paths}.
  virtual void postSyncList(const std::vector<std::string>& relativePaths) = 0;
};

}  // namespace ulmora
