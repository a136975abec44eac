#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "service/SynListHandlerProtocol.h"
#include "sync/control/AccountState.h"
#include "sync/server/DownloadDispatcher.h"
#include "sync/server/ListingHandler.h"
#include "sync/server/ListingIndexStore.h"
#include "sync/server/ListingOutcome.h"
#include "sync/server/ListingTally.h"
#include "sync/server/LocalCache.h"
#include "sync/server/RecordApplier.h"
#include "sync/server/RecordChangeTracker.h"
#include "sync/server/ServerRoadAdapters.h"
#include "sync/server/ServerRoadHosts.h"
#include "sync/server/ServerRoadPorts.h"
#include "sync/files/CacheSweeper.h"
#include "sync/files/SyncRootFiles.h"
#include "platform/RunLoop.h"

namespace ulmora {

class DataBaseWrapper;
class ExcludedFilesCollections;
class KVTBackupManager;
class SynListingController;
class UMSDBSyncInputManger;
class UserDefaults;

// The server road: the delegate of the change listing and of the
// reference-id listing, the record decisions and their applier, downloads,
// the local cache and its weekly sweep, and the end of a listing. It owns its collaborators and
// builds them in its constructor.
//
// Thread-safety: the SynListHandlerProtocol reports come on the listings'
// workers, one listing report at a time per listing; the collaborators guard
// their own state, and the flags shared with the other concerns are
// AccountState's. Delayed work runs on the main loop, and never after stop().
class ServerRoad final : public SynListHandlerProtocol, private DownloadDispatchHost {
 public:
  struct Parts {
    std::string syncRoot;
    std::optional<SyncRootFiles::Owner> owner;
    UMSDBSyncInputManger& queue;
    ExcludedFilesCollections& filters;
    DataBaseWrapper& database;
    std::string databaseFolder;
    std::string syncUser;
    Clock& clock;
    RunLoop& mainLoop;
    AccountState& state;
    AccountSettings& settings;
    AccountProgress& progress;
    ControlRoom& control;
    SynListingController& changeListing;
    SynListingController& refIdListing;
    KVTBackupManager& uploadManager;
    KVTBackupManager& restoreManager;
    std::string proxySettings;
    std::string loginDetails;
    std::string listingIndexFile;
    std::string recordIdFile;
    DownloadDispatcher::Paths downloadPaths;
    // Where the cache sweep keeps its date.
    UserDefaults& defaults;
    ServerRoadAccount& account;
  };

  // Becomes the delegate of both listings.
  explicit ServerRoad(Parts parts);
  ~ServerRoad() override;
  ServerRoad(const ServerRoad&) = delete;
  ServerRoad& operator=(const ServerRoad&) = delete;

  ListingHandler& listing() { return *listingHandler_; }
  DownloadDispatcher& downloads() { return *downloadDispatcher_; }
  LocalCache& cache() { return *localCache_; }
  CacheSweeper& cacheSweep() { return cacheSweep_; }
  RecordApplier& records() { return *recordApplier_; }
  ListingOutcome& outcome() { return *listingOutcome_; }
  const SyncRootFiles& files() const { return *syncRootFiles_; }
  // The local database's answers about one file.
  FileStatusPort& status() { return status_; }
  // Delayed work is dropped from here on; the road stays whole for the
  // listings' last reports.
  void stop() { guard_.invalidate(); }

  // SynListHandlerProtocol
  void listingDidStart(SynListingController& listing) override;
  void listingDidReceiveData(int64_t index) override;
  void listingDidFinishSuccessfully(SynListingController& listing) override;
  void listingDidFailWithError(const std::string& error, SynListingController& listing) override;
  void listingDidCancel(SynListingController& listing) override;
  void listingDataProcessedComplete(SynListingController& listing) override;
  void validateFiles(const ServerRecord& record, const std::string& operation) override;
  void updateRefID(const ServerRecord& record, const std::string& operation) override;
  void RetryListing(SynListingController& listing) override;
  void listingCompleted() override;
  void listingGotEventsOccurred() override;
  void PerformLoginAgainDueToAccountMaintanence() override;
  // The listing's items and the account's recent items.
  void clearItems() override;
  bool isTenMinutesListingCalled() override;
  void resetTenminutesListing() override;

  void manageFoldersReceivedFromServer(SynListingController& listing);
  // The server's renames and deletes are all judged by the records.
  bool shouldRenameForFile(const std::string&, const std::string&, std::string*) { return false; }
  bool shouldDeleteForFile(const std::string&, const std::string&) { return false; }

 private:
  // DownloadDispatchHost
  void downloadSetStarting() override { hosts_.downloadSetStarting(); }
  void postSyncList(const std::vector<std::string>& fullPaths) override { hosts_.postSyncList(fullPaths); }
  void restoreCancelledDuringListing() override { listingHandler_->setRestoreCancelledDuringListing(); }

  RecordApplier::Flags recordFlags();
  // Runs `task` on the main loop after `delay`, unless the road stopped.
  void postOnMain(std::function<void()> task, Clock::Duration delay);
  // The account's connection record, proxy, work folder and throttle for a
  // download run.
  void prepareDownload(KVTBackupManager& manager);
  void prepareListing(SynListingController& listing);
  ListingOutcome::Folders foldersOf(SynListingController& listing);

  AccountState& state_;
  RunLoop& mainLoop_;
  AccountSettings& settings_;
  ServerRoadAccount& account_;
  const std::string proxySettings_;
  SynListingController& changeListing_;
  SynListingController& refIdListing_;
  std::unique_ptr<SyncRootFiles> syncRootFiles_;
  CacheSweeper cacheSweep_;
  ServerRoadHosts hosts_;
  InputQueueAdapter queue_;
  FilterSetsAdapter filters_;
  FileStatusAdapter status_;
  ListingAdapter changeListingPort_;
  ListingAdapter refIdListingPort_;
  DownloadEngineAdapter restoreEnginePort_;
  ListingTally listingTally_;
  ListingIndexStore listingIndex_;
  RecordChangeTracker recordChanges_;
  std::unique_ptr<LocalCache> localCache_;
  std::unique_ptr<RecordApplier> recordApplier_;
  std::unique_ptr<ListingHandler> listingHandler_;
  std::unique_ptr<ListingOutcome> listingOutcome_;
  std::unique_ptr<DownloadDispatcher> downloadDispatcher_;
  // Last: delayed work ends with the road.
  WeakGuard guard_;
};

}  // namespace ulmora
