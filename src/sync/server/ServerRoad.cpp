#include "sync/server/ServerRoad.h"

#include "engine/KVTBackupManager.h"
#include "engine/ProxyController.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"
#include "service/ServerRecord.h"
#include "service/SynListingController.h"

namespace ulmora {

ServerRoad::ServerRoad(Parts p)
    : state_(p.state),
      mainLoop_(p.mainLoop),
      settings_(p.settings),
      account_(p.account),
      proxySettings_(p.proxySettings),
      changeListing_(p.changeListing),
      refIdListing_(p.refIdListing),
      syncRootFiles_(std::make_unique<SyncRootFiles>(p.syncRoot, p.owner)),
      cacheSweep_(*syncRootFiles_, p.defaults, p.clock, p.mainLoop),
      hosts_(ServerRoadHosts::Parts{p.queue, p.filters, p.state, p.progress, p.control, p.uploadManager,
                                    p.restoreManager, *syncRootFiles_, cacheSweep_, p.loginDetails, p.account,
                                    [this](std::function<void()> task) {
                                      postOnMain(std::move(task), Clock::Duration::zero());
                                    }}),
      queue_(p.queue),
      filters_(p.filters),
      status_(p.database, p.databaseFolder, p.syncUser),
      changeListingPort_(p.changeListing, [this](SynListingController& l) { prepareListing(l); }),
      refIdListingPort_(p.refIdListing, [this](SynListingController& l) { prepareListing(l); }),
      restoreEnginePort_(p.restoreManager, [this](KVTBackupManager& m) { prepareDownload(m); }),
      listingIndex_(p.listingIndexFile),
      recordChanges_(p.recordIdFile) {
  localCache_ = std::make_unique<LocalCache>(*syncRootFiles_, p.clock, filters_, queue_, listingTally_);

  const auto post = [this](std::function<void()> task, Clock::Duration delay) {
    postOnMain(std::move(task), delay);
  };
  RecordApplier::Hooks hooks;
  hooks.postDelayed = post;
  hooks.addServerFolder = [this](const ServerRecord& record) { changeListing_.addFolderFromServer(record); };
  hooks.takeRenamedHere = [this](const std::string& oldPath, const std::string& newPath) {
    return account_.takeRenamedHere(oldPath, newPath);
  };
  hooks.relistReferenceIds = [this] {
    postOnMain([this] { listingHandler_->updateRefIDwithListingIndex(true); }, Clock::Duration::zero());
  };
  recordApplier_ = std::make_unique<RecordApplier>(
      *syncRootFiles_, *localCache_, RecordApplier::Ports{queue_, filters_, status_, hosts_, hosts_, &hosts_},
      listingTally_, recordChanges_, std::move(hooks));

  listingHandler_ = std::make_unique<ListingHandler>(
      ListingHandler::Ports{changeListingPort_, refIdListingPort_, queue_, filters_, hosts_, hosts_,
                            *syncRootFiles_},
      state_.listing, listingIndex_, listingTally_, post, &mainLoop_);
  listingOutcome_ = std::make_unique<ListingOutcome>(
      *syncRootFiles_, ListingOutcome::Ports{hosts_, queue_, filters_, hosts_, &status_}, listingTally_);
  downloadDispatcher_ = std::make_unique<DownloadDispatcher>(
      *syncRootFiles_, *localCache_, restoreEnginePort_, static_cast<DownloadDispatchHost&>(*this), queue_, filters_, status_,
      std::move(p.downloadPaths), state_.repeatedSets, &mainLoop_);

  changeListing_.setDelegate(this);
  refIdListing_.setDelegate(this);
}

// The listings are shut down before the road goes (the account's stop).
ServerRoad::~ServerRoad() = default;

void ServerRoad::postOnMain(std::function<void()> task, Clock::Duration delay) {
  auto wrapped = guard_.wrap(std::move(task));
  if (delay == Clock::Duration::zero())
    mainLoop_.post(std::move(wrapped));
  else
    mainLoop_.postDelayed(std::move(wrapped), delay);
}

void ServerRoad::prepareListing(SynListingController& listing) {
  const User user = account_.userForEngineController();
  listing.setProxyDetails(ProxyController(user.proxySettingsFilePath()));
  listing.setUser(user);
}

void ServerRoad::prepareDownload(KVTBackupManager& m) {
  m.setBackupSourceFolder(account_.getUlmoraSyncRootPath());
  m.setUserInfo(account_.craeteUserInfoObject());
  m.setProxyObjectWithSettingsFile(proxySettings_);
  m.setRestore(true);
  m.deleteTempFilePaths();
  m.createTempFilePaths();
  m.setCancel(false);
  // A changed throttle preference counts from the next run on.
  m.setBandwidthThrottleValue(settings_.runStartThrottle(false));
}

RecordApplier::Flags ServerRoad::recordFlags() {
  RecordApplier::Flags flags;
  AccountState::Listing& listing = state_.listing;
  MutexLock hold(listing.mutex);
  flags.isReinitialize = listing.isReinitialize;
  flags.shouldRestoreFileDirectly = listing.shouldRestoreFileDirectly;
  flags.useRefId = listing.canUseRefID && listing.mIndexingWithZeroToAvoidRefId != "0";
  return flags;
}

ListingOutcome::Folders ServerRoad::foldersOf(SynListingController& listing) {
  ListingOutcome::Folders folders{listing.deletedFoldersFromServer(), listing.foldersFromServer(),
                                  listing.IsRetryListingCalledForNoData()};
  // A former folder name this computer's uploads made again on the server
  // is deleted there; made here, it would come back everywhere.
  std::erase_if(folders.live, [this](const ServerRecord& r) { return recordApplier_->clearedOnServer(r.fname); });
  return folders;
}

// ---------------------------------------------------------------- listing reports

void ServerRoad::listingDidStart(SynListingController& listing) {
  recordApplier_->listingDidStart();
  listingHandler_->listingDidStart(listing.forRefIDUpdate());
}
void ServerRoad::listingDidReceiveData(int64_t index) { listingHandler_->listingDidReceiveData(index); }
void ServerRoad::listingDidFinishSuccessfully(SynListingController& listing) {
  listingHandler_->listingDidFinishSuccessfully(listing.forRefIDUpdate());
}
void ServerRoad::listingDidFailWithError(const std::string& error, SynListingController& listing) {
  listingHandler_->listingDidFailWithError(error, listing.forRefIDUpdate());
}
void ServerRoad::listingDidCancel(SynListingController& /*listing*/) { listingHandler_->listingDidCancel(); }
void ServerRoad::listingDataProcessedComplete(SynListingController& listing) {
  for (const std::string& folder : recordApplier_->takeFormerFoldersToClear()) {
    traceLine("listing: " + serverpath::forTrace(folder) +
              " was made again on the server by uploads from here after its folder moved; it is deleted there");
    queue_.addServerDelete(folder);
  }
  if (listingHandler_->listingDataProcessedComplete(listing.forRefIDUpdate()))
    listingOutcome_->listingDataProcessedComplete(foldersOf(listing));
}
void ServerRoad::validateFiles(const ServerRecord& record, const std::string& operation) {
  // One stop per listing: the download is being cancelled already.
  bool cancelled = false;
  {
    MutexLock hold(state_.listing.mutex);
    cancelled = state_.listing.isRestoreCanceldDuringListing;
  }
  if (!cancelled) downloadDispatcher_->stopDownloadForListingRecord(record, operation);
  recordApplier_->validateFiles(record, operation, recordFlags());
}
void ServerRoad::updateRefID(const ServerRecord& record, const std::string& operation) {
  listingHandler_->updateRefID(record, operation);
}
void ServerRoad::RetryListing(SynListingController& listing) {
  listingHandler_->RetryListing(listing.forRefIDUpdate());
}
void ServerRoad::listingCompleted() { listingHandler_->listingCompleted(); }
void ServerRoad::listingGotEventsOccurred() { listingHandler_->listingGotEventsOccurred(); }
void ServerRoad::PerformLoginAgainDueToAccountMaintanence() {
  listingHandler_->PerformLoginAgainDueToAccountMaintanence();
}
void ServerRoad::clearItems() {
  listingHandler_->clearItems();
  hosts_.clearRecentItems();
}
bool ServerRoad::isTenMinutesListingCalled() { return listingHandler_->isTenMinutesListingCalled(); }
void ServerRoad::resetTenminutesListing() { listingHandler_->resetTenminutesListing(); }

void ServerRoad::manageFoldersReceivedFromServer(SynListingController& listing) {
  listingOutcome_->manageFoldersReceivedFromServer(foldersOf(listing));
}

}  // namespace ulmora
