#include "sync/server/ServerRoad.h"

#include "service/ServerRecord.h"
#include "service/SynListingController.h"

namespace ulmora {

ServerRoad::ServerRoad(Parts p)
    : state_(p.state),
      account_(p.account),
      changeListing_(p.changeListing),
      refIdListing_(p.refIdListing),
      syncRootFiles_(std::make_unique<SyncRootFiles>(p.syncRoot, p.owner)),
      queue_(p.queue),
      filters_(p.filters),
      status_(p.database, p.databaseFolder, p.syncUser),
      changeListingPort_(p.changeListing, p.prepareListing),
      refIdListingPort_(p.refIdListing, p.prepareListing),
      restoreEnginePort_(p.restoreManager, p.prepareDownload),
      listingIndex_(p.listingIndexFile),
      recordChanges_(p.recordIdFile) {
  localCache_ = std::make_unique<LocalCache>(*syncRootFiles_, p.clock, filters_, queue_, listingTally_);

  RecordApplier::Hooks hooks;
  hooks.postDelayed = p.postOnMain;
  hooks.addServerFolder = [this](const ServerRecord& record) { changeListing_.addFolderFromServer(record); };
  hooks.takeRenamedHere = p.takeRenamedHere;
  hooks.relistReferenceIds = [this, post = p.postOnMain] {
    post([this] { listingHandler_->updateRefIDwithListingIndex(true); }, Clock::Duration::zero());
  };
  recordApplier_ = std::make_unique<RecordApplier>(
      *syncRootFiles_, *localCache_, RecordApplier::Ports{queue_, filters_, status_, account_, account_, &account_},
      listingTally_, recordChanges_, std::move(hooks));

  AccountState::Cycle& cycle = state_.cycle;
  AccountState::Server& server = state_.server;
  listingHandler_ = std::make_unique<ListingHandler>(
      ListingHandler::Ports{changeListingPort_, refIdListingPort_, queue_, filters_, account_, account_,
                            *syncRootFiles_},
      ListingHandler::SharedFlags{cycle.retryCount, cycle.isTenMinutesListing, cycle.isReinitialize,
                                  state_.control.selectivesyncCalledDuringReinitialization,
                                  cycle.notificationfileRead, cycle.listingStartedfromZeroIndex,
                                  server.isItemsFoundDuringListing, server.isRestoreCanceldDuringListing,
                                  server.isDamonRestartDueToAccountMaintanence, server.mutex,
                                  server.mPreviousIndexStr},
      listingIndex_, listingTally_, p.postOnMain);
  listingOutcome_ = std::make_unique<ListingOutcome>(
      *syncRootFiles_, ListingOutcome::Ports{account_, queue_, filters_, account_, &status_}, listingTally_);
  downloadDispatcher_ = std::make_unique<DownloadDispatcher>(
      *syncRootFiles_, *localCache_, restoreEnginePort_, static_cast<DownloadDispatchHost&>(*this), queue_, filters_, status_,
      std::move(p.downloadPaths), server.sameRestoreSetRepeatedCount);

  changeListing_.setDelegate(this);
  refIdListing_.setDelegate(this);
}

// The listings are shut down before the road goes (the account's stop).
ServerRoad::~ServerRoad() = default;

RecordApplier::Flags ServerRoad::recordFlags() {
  RecordApplier::Flags flags;
  flags.isReinitialize = state_.cycle.isReinitialize;
  flags.shouldRestoreFileDirectly = state_.server.shouldRestoreFileDirectly;
  std::lock_guard<std::mutex> hold(state_.server.mutex);
  flags.useRefId = state_.server.canUseRefID && state_.server.mIndexingWithZeroToAvoidRefId != "0";
  return flags;
}

ListingOutcome::Folders ServerRoad::foldersOf(SynListingController& listing) {
  return {listing.deletedFoldersFromServer(), listing.foldersFromServer(), listing.IsRetryListingCalledForNoData()};
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
  if (listingHandler_->listingDataProcessedComplete(listing.forRefIDUpdate()))
    listingOutcome_->listingDataProcessedComplete(foldersOf(listing));
}
void ServerRoad::validateFiles(const ServerRecord& record, const std::string& operation) {
  // One stop per listing: the download is being cancelled already.
  if (!state_.server.isRestoreCanceldDuringListing.load())
    downloadDispatcher_->stopDownloadForListingRecord(record, operation);
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
  account_.clearRecentItems();
}
bool ServerRoad::isTenMinutesListingCalled() { return state_.cycle.isTenMinutesListing; }
void ServerRoad::resetTenminutesListing() { state_.cycle.isTenMinutesListing = false; }

void ServerRoad::manageFoldersReceivedFromServer(SynListingController& listing) {
  listingOutcome_->manageFoldersReceivedFromServer(foldersOf(listing));
}

}  // namespace ulmora
