#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "engine/KVTBackupRestoreHandlerProtocol.h"
#include "media/VideoCGICallController.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "sync/control/AccountState.h"
#include "sync/server/DownloadRunHandler.h"
#include "sync/runs/RunHandlerCommon.h"
#include "sync/control/ServiceDiscovery.h"
#include "sync/upload/UploadDispatcher.h"
#include "sync/upload/UploadRenames.h"
#include "sync/upload/UploadRoadAdapters.h"
#include "sync/upload/UploadRunHandler.h"

namespace ulmora {

class HttpsTransfer;
class KVTBackupManager;
class UMSDBSyncInputManger;

// What the upload road asks of the rest of the account: its collaborators'
// host, and the few things the road itself needs.
class UploadRoadAccount : public UploadRoadHost {
 public:
  // The renames the settings hold back while their file uploads (taken).
  virtual std::map<std::string, std::string> takeRenamesAfterBackup() = 0;
  // CancelBackupProcess: the server road's download entries are cleared.
  virtual void ClearRestoreRelatedFileEntries() = 0;
  // A server named by service discovery, used on the main loop.
  virtual void useDiscoveredServerOnMain(const std::string& server) = 0;
};

// The upload road: upload dispatch, the run endings of both directions and
// service discovery. It is the delegate of both engine managers, tells them
// apart by identity and ignores any other manager's reports.
//
// Thread-safety: the engine reports come on the runs' threads (and
// CancelBackupProcess's caller's); startBackup on the main loop; the
// collaborators guard their own state.
class UploadRoad final : public KVTBackupRestoreHandlerProtocol {
 public:
  struct Parts {
    KVTBackupManager& uploadManager;
    KVTBackupManager& downloadManager;
    UMSDBSyncInputManger& queue;
    std::function<std::string()> syncRoot;
    // The transfer throttle preference for an upload run as it stands.
    std::function<std::string()> uploadThrottle;
    std::string syncUser;
    std::string consoleUser;
    RunRoadContext::Files files;
    std::string backupFileEntriesAfterDelete;
    std::string proxySettings;
    // The server version a file's upload may replace (UploadDispatcher).
    std::function<std::optional<engineset::SeenVersion>(const std::string&)> seenVersion;
    Clock& clock;
    AccountState& state;
    UploadRoadAccount& account;
  };

  // Becomes the delegate of both managers.
  explicit UploadRoad(Parts parts);
  UploadRoad(const UploadRoad&) = delete;
  UploadRoad& operator=(const UploadRoad&) = delete;

  // Renames held after the previous run ended belong to it: handed on, never
  // dropped; then the next batch.
  void startBackup();
  User userForEngineController() { return dispatcher_.userForEngineController(); }
  // Downloads that failed on their own and are due again ({path: size}).
  std::map<std::string, std::string> dueDownloadRetries() { return downloadRuns_.takeDueRetries(); }
  VideoCGICallController& video() { return video_; }
  // Ends the lookup thread; the road stays whole for the runs' last reports.
  void stop();

  // KVTBackupRestoreHandlerProtocol
  void operationDidStart(KVTBackupManager& manager) override;
  void operationDidReceiveData(const KVTProgressRecord& record, KVTBackupManager& manager) override;
  void removeSfErrorFileFromDb(const std::string& path, KVTBackupManager& manager) override;
  void makeScriptCallForObject(KVTBackupManager& manager) override;
  void operationStartedRetrying(KVTBackupManager& /*manager*/) override {}
  void operationDidFinishFileListGeneration(KVTBackupManager& /*manager*/) override {}
  void operationDidReceiveErrors(const std::string& error, const std::string& path,
                                 KVTBackupManager& manager) override;
  void operationDidFailWithError(const std::string& error, KVTBackupManager& manager) override;
  void operationDidFailWithOverQuota(KVTBackupManager& manager) override;
  void operationDidCancel(KVTBackupManager& manager) override;
  void operationCanceld(KVTBackupManager& manager) override;
  void operationDidFinishSuccessfully(KVTBackupManager& manager) override;
  void restoreRestarted(KVTBackupManager& /*manager*/) override {}
  void deleteHalfRestoredFiles() override { account_.deleteHalfRestoredFiles(); }
  void ClearRestoreRelatedFileEntries() override { account_.ClearRestoreRelatedFileEntries(); }
  // Reports that need nothing from the account: what they tell is already
  // known from the reports above.
  void operationDidRetry() {}
  void operationDidReceiveFileTransferStatus(const PropertyList& /*status*/, KVTBackupManager& /*manager*/) {}
  void queryMainDBForBackupFiles() {}
  void updateBackupStatusToDb(const PropertyList& /*entries*/) {}

 private:
  RunDirection direction(KVTBackupManager& manager) const {
    return directionOf(&manager, &uploadManager_, &downloadManager_);
  }
  // Renames of the running set, held by the settings, are followed by the
  // progress reports and handed on by the run's end.
  void gatherHeldRenames();
  ServiceDiscovery::Ports discoveryPorts();

  KVTBackupManager& uploadManager_;
  KVTBackupManager& downloadManager_;
  UMSDBSyncInputManger& queue_;
  const std::function<std::string()> syncRoot_;
  const std::string consoleUser_;
  UploadRoadAccount& account_;
  KVTManagerPort uploadPort_;
  KVTManagerPort downloadPort_;
  InputQueuePort queuePort_;
  UploadRenames renames_;
  VideoCGICallController video_;
  RunRoadContext context_;
  UploadDispatcher dispatcher_;
  UploadRunHandler uploadRuns_;
  DownloadRunHandler downloadRuns_;
  // The lookup request under way, so that a stop need not wait out its
  // time-out.
  std::mutex lookupMutex_;
  HttpsTransfer* lookup_ = nullptr;
  bool lookupStopped_ = false;
  ServiceDiscovery discovery_;
};

}  // namespace ulmora
