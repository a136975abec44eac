#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/ThreadAnnotations.h"

#include "engine/KVTBackupRestoreHandlerProtocol.h"
#include "media/VideoCGICallController.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "sync/control/AccountState.h"
#include "sync/server/DownloadRunHandler.h"
#include "sync/runs/RunHandlerCommon.h"
#include "sync/control/ServiceDiscovery.h"
#include "sync/upload/UploadDispatcher.h"
#include "sync/upload/UploadRenames.h"
#include "sync/upload/UploadRoadAdapters.h"
#include "sync/upload/UploadRoadHosts.h"
#include "sync/upload/UploadRunHandler.h"

namespace ulmora {

class HttpsTransfer;
class KVTBackupManager;
class ExcludedFilesCollections;
class UMSDBSyncInputManger;

// The upload road: upload dispatch, the run endings of both directions and
// service discovery. It is the delegate of both engine managers, tells them
// apart by identity and ignores any other manager's reports.
//
// Thread-safety: the engine reports come on the runs' threads (and
// CancelBackupProcess's caller's); startBackup and dispatchDownloads on the
// main loop (checked in debug and test builds); the collaborators guard their
// own state.
class UploadRoad final : public KVTBackupRestoreHandlerProtocol {
 public:
  struct Parts {
    KVTBackupManager& uploadManager;
    KVTBackupManager& downloadManager;
    UMSDBSyncInputManger& queue;
    ExcludedFilesCollections& filters;
    std::string syncUser;
    std::string consoleUser;
    RunRoadContext::Files files;
    std::string backupFileEntriesAfterDelete;
    std::string proxySettings;
    Clock& clock;
    RunLoop& mainLoop;
    AccountState& state;
    AccountSettings& settings;
    AccountProgress& progress;
    ControlRoom& control;
    ServerRoad& server;
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
  // The next downloads: the download journal's files and those whose own
  // failure is due for another try, as engine runs of the server road; with
  // nothing to fetch the download counters start over.
  void dispatchDownloads();
  // The pure part: `journal` ({path: size}) and `dueRetries` together, less
  // the files renamed here while a listing ran (not fetched under their old
  // names). A path in both keeps the journal's size.
  static std::map<std::string, std::string> downloadBatch(const PropertyList& journal,
                                                          std::map<std::string, std::string> dueRetries,
                                                          const std::set<std::string>& renamedDuringListing);
  VideoCGICallController& video() { return video_; }
  // The server version an upload or delete of `path` may replace: what
  // this computer's own last transfer of it left there, else what its
  // database row recorded when it was last synced; nullopt when neither
  // says. Any thread.
  std::optional<engineset::SeenVersion> seenVersionForUpload(const std::string& path);
  // Ends the lookup thread and drops work posted to the main loop; the road
  // stays whole for the runs' last reports.
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
  void deleteHalfRestoredFiles() override { hosts_.deleteHalfRestoredFiles(); }
  void ClearRestoreRelatedFileEntries() override { hosts_.ClearRestoreRelatedFileEntries(); }
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
  RunLoop& mainLoop_;
  AccountState& state_;
  AccountSettings& settings_;
  AccountProgress& progress_;
  ServerRoad& server_;
  const std::string consoleUser_;
  UploadRoadAccount& account_;
  VideoCGICallController video_;
  UploadRoadHosts hosts_;
  KVTManagerPort uploadPort_;
  KVTManagerPort downloadPort_;
  InputQueuePort queuePort_;
  UploadRenames renames_;
  RunRoadContext context_;
  UploadDispatcher dispatcher_;
  UploadRunHandler uploadRuns_;
  DownloadRunHandler downloadRuns_;
  // The lookup request under way, so that a stop need not wait out its
  // time-out.
  Mutex lookupMutex_;
  HttpsTransfer* lookup_ ULMORA_GUARDED_BY(lookupMutex_) = nullptr;
  bool lookupStopped_ ULMORA_GUARDED_BY(lookupMutex_) = false;
  ServiceDiscovery discovery_;
  // Last: work posted to the main loop ends with the road.
  WeakGuard guard_;
};

}  // namespace ulmora
