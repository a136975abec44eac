// The server road: change listings and their index, record validation,
// server renames, downloads, the cache and the end of a listing.
#include <pwd.h>
#include <unistd.h>

#include <charconv>

#include "database/DataBaseWrapper.h"
#include "engine/ProxyController.h"
#include "foundation/QLBackupProgressLogger.h"
#include "foundation/QLLocalizedString.h"
#include "journal/CompanionMessenger.h"
#include "journal/NotificationPoster.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "service/ServerRecord.h"
#include "service/SynListingController.h"
#include "sync/MainSyncController.h"
#include "sync/SyncControllerOwner.h"

namespace ulmora {
namespace {

constexpr int kLoginDetails = 26;
constexpr int kRootUserFolder = 50;
constexpr int kProxySettings = 84;
constexpr int kUploadJournal = 101;
constexpr int kRestoreJournal = 105;
constexpr int kLocalDatabaseFolder = 107;
constexpr int kBackupFileEntries = 113;
constexpr int kRestoreFileEntries = 118;
constexpr int kRecID = 136;
constexpr int kRestoreStatusFirst = 139;
constexpr int kRestoreStatusLast = 142;

constexpr int kMessageAccountCancelled = 507;
constexpr int kMessageReinitialiseEnded = 516;

// A localised text with its "%@" places filled in order.
std::string localized(const std::string& key, std::initializer_list<std::string> values = {}) {
  std::string text = QLLocalizedString(key);
  size_t from = 0;
  for (const auto& value : values) {
    size_t at = text.find("%@", from);
    if (at == std::string::npos) break;
    text.replace(at, 2, value);
    from = at + value.size();
  }
  return text;
}

// One session log of the sync's own work: its heading, its lines, the rule.
void writeSessionLog(const std::string& file, const std::string& heading, std::initializer_list<std::string> lines) {
  if (file.empty() || file.front() != '/') return;  // no session-log folder known
  auto& logger = QLBackupProgressLogger::progressLogger();
  logger.writeSessionLogWithoutTimeStamp(heading, file, true);
  for (const auto& line : lines) logger.writeSessionLog(line, file, true);
  logger.writeSessionLogWithoutTimeStamp(std::string(50, '-') + "\n", file, true);
}

std::optional<SyncRootFiles::Owner> consoleOwner(const std::string& uidText) {
  uid_t uid = 0;
  auto [end, ec] = std::from_chars(uidText.data(), uidText.data() + uidText.size(), uid);
  if (ec != std::errc() || end != uidText.data() + uidText.size()) return std::nullopt;
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return std::nullopt;
  return SyncRootFiles::Owner{uid, pw.pw_gid};
}

}  // namespace

// ---------------------------------------------------------------- building

void MainSyncController::buildListing() {
  const std::string root = getUlmoraSyncRootPath();
  syncRootFiles_ = std::make_unique<SyncRootFiles>(root, consoleOwner(m_consoleUserID_));
  roadQueue_ = std::make_unique<InputQueueAdapter>(ctx_.inputQueue);
  roadFilters_ = std::make_unique<FilterSetsAdapter>(ctx_.collections);
  roadStatus_ = std::make_unique<FileStatusAdapter>(*databaseHandler_, applicationFile(kLocalDatabaseFolder),
                                                    ctx_.session.syncUser);
  roadHost_ = std::make_unique<ServerRoadHost>(*this);
  auto prepareListing = [this](SynListingController& listing) { setUserAndProxyToObject(listing); };
  changeListingPort_ = std::make_unique<ListingAdapter>(*mSynListingController_, prepareListing);
  refIdListingPort_ = std::make_unique<ListingAdapter>(*mSynListingForRefIDController_, prepareListing);
  restoreEnginePort_ = std::make_unique<DownloadEngineAdapter>(*mRestoreManager_, [this](KVTBackupManager& m) {
    m.setBackupSourceFolder(getUlmoraSyncRootPath());
    m.setUserInfo(craeteUserInfoObject());
    m.setProxyObjectWithSettingsFile(applicationFile(kProxySettings));
    m.setRestore(true);
    m.deleteTempFilePaths();
    m.createTempFilePaths();
    m.setCancel(false);
    // A changed throttle preference counts from the next run on.
    m.setBandwidthThrottleValue(settings_->runStartThrottle(false));
  });
  listingTally_ = std::make_unique<ListingTally>();
  listingIndex_ = std::make_unique<ListingIndexStore>(
      fileutil::joinPath(applicationFile(kRootUserFolder), ListingIndexStore::kFileName));
  recordChanges_ = std::make_unique<RecordChangeTracker>(applicationFile(kRecID));
  localCache_ = std::make_unique<LocalCache>(*syncRootFiles_, ctx_.clock, *roadFilters_, *roadQueue_, *listingTally_);

  // Delayed work of the road (lifting exclusions, retries, timers after a
  // reinitialise) runs on the main loop, and never after the controller.
  auto postOnMain = [this](std::function<void()> task, Clock::Duration delay) {
    auto wrapped = guard_.wrap(std::move(task));
    if (delay == Clock::Duration::zero())
      ctx_.mainLoop.post(std::move(wrapped));
    else
      ctx_.mainLoop.postDelayed(std::move(wrapped), delay);
  };
  RecordApplier::Hooks hooks;
  hooks.postDelayed = postOnMain;
  hooks.addServerFolder = [this](const ServerRecord& record) {
    if (mSynListingController_) mSynListingController_->addFolderFromServer(record);
  };
  hooks.takeRenamedHere = [this](const std::string& oldPath, const std::string& newPath) {
    return takeRenamedHere(oldPath, newPath);
  };
  hooks.relistReferenceIds = [this, postOnMain] {
    postOnMain([this] { updateRefIDwithListingIndex(true); }, Clock::Duration::zero());
  };
  recordApplier_ = std::make_unique<RecordApplier>(
      *syncRootFiles_, *localCache_,
      RecordApplier::Ports{*roadQueue_, *roadFilters_, *roadStatus_, *roadHost_, *roadHost_, roadHost_.get()},
      *listingTally_, *recordChanges_, std::move(hooks));

  AccountState::Cycle& cycle = state_.cycle;
  AccountState::Server& server = state_.server;
  listingHandler_ = std::make_unique<ListingHandler>(
      ListingHandler::Ports{*changeListingPort_, *refIdListingPort_, *roadQueue_, *roadFilters_, *roadHost_,
                            *roadHost_, *syncRootFiles_},
      ListingHandler::SharedFlags{cycle.retryCount, cycle.isTenMinutesListing, cycle.isReinitialize,
                                  state_.control.selectivesyncCalledDuringReinitialization,
                                  cycle.notificationfileRead, cycle.listingStartedfromZeroIndex,
                                  server.isItemsFoundDuringListing, server.isRestoreCanceldDuringListing,
                                  server.isDamonRestartDueToAccountMaintanence, server.mutex,
                                  server.mPreviousIndexStr},
      *listingIndex_, *listingTally_, postOnMain);
  listingOutcome_ = std::make_unique<ListingOutcome>(
      *syncRootFiles_, ListingOutcome::Ports{*roadHost_, *roadQueue_, *roadFilters_, *roadHost_, roadStatus_.get()}, *listingTally_);

  DownloadDispatcher::Paths paths;
  for (int i = kRestoreStatusFirst; i <= kRestoreStatusLast; ++i) paths.restoreStatusFiles.push_back(applicationFile(i));
  paths.restoreEntries = applicationFile(kRestoreFileEntries);
  paths.restoreJournalFolder = applicationFile(kRestoreJournal);
  paths.backupEntries = applicationFile(kBackupFileEntries);
  paths.backupJournalFolder = applicationFile(kUploadJournal);
  downloadDispatcher_ = std::make_unique<DownloadDispatcher>(*syncRootFiles_, *localCache_, *restoreEnginePort_,
                                                             *roadHost_, *roadQueue_, *roadFilters_, *roadStatus_,
                                                             std::move(paths),
                                                             state_.server.sameRestoreSetRepeatedCount);
}

void MainSyncController::stopListing() {
  // The road has no thread of its own: its collaborators run on the
  // listings' workers and the main loop, and stay whole until the
  // controller goes, so the listings' last reports still find them.
}

RecordApplier::Flags MainSyncController::recordFlags() {
  RecordApplier::Flags flags;
  flags.isReinitialize = state_.cycle.isReinitialize;
  flags.shouldRestoreFileDirectly = state_.server.shouldRestoreFileDirectly;
  std::lock_guard<std::mutex> hold(state_.server.mutex);
  flags.useRefId = state_.server.canUseRefID && state_.server.mIndexingWithZeroToAvoidRefId != "0";
  return flags;
}

ListingOutcome::Folders MainSyncController::foldersOf(SynListingController& listing) {
  return {listing.deletedFoldersFromServer(), listing.foldersFromServer(), listing.IsRetryListingCalledForNoData()};
}

// ---------------------------------------------------------------- downloads

void MainSyncController::deleteHalfRestoredFiles() {
  if (downloadDispatcher_) downloadDispatcher_->deleteHalfRestoredFiles();
}
void MainSyncController::ClearRestoreRelatedFileEntries() {
  if (downloadDispatcher_) downloadDispatcher_->ClearRestoreRelatedFileEntries();
}
void MainSyncController::ClearBackupRelatedFileEntries() {
  if (downloadDispatcher_) downloadDispatcher_->ClearBackupRelatedFileEntries();
}
bool MainSyncController::checkFileisUnderRestoreSet(const std::string& relativePath) {
  return downloadDispatcher_ && downloadDispatcher_->checkFileisUnderRestoreSet(relativePath);
}
bool MainSyncController::checkRefIDExistInDatabase(const std::string& refId, const std::string& relativePath) {
  return downloadDispatcher_ && downloadDispatcher_->checkRefIDExistInDatabase(refId, relativePath);
}
bool MainSyncController::isrestorManagerRunning() { return mRestoreManager_ && mRestoreManager_->isRunning(); }
void MainSyncController::StopRestoreManagerForNewListing() {
  if (downloadDispatcher_) downloadDispatcher_->StopRestoreManagerForNewListing();
}
void MainSyncController::handleForRestore(const ServerRecord& record) {
  if (recordApplier_) recordApplier_->handleForRestore(record);
}
void MainSyncController::checkforEmptyFolder(const std::string& path) {
  if (recordApplier_) recordApplier_->checkforEmptyFolder(path);
}

// ---------------------------------------------------------------- cache

bool MainSyncController::moveToCache(const std::string& path) { return localCache_ && localCache_->moveToCache(path); }
bool MainSyncController::moveToCacheWithoutDate(const std::string& path) {
  return localCache_ && localCache_->moveToCacheWithoutDate(path).has_value();
}
bool MainSyncController::moveFromCache(const LocalCache::Wanted& wanted) {
  return localCache_ && localCache_->moveFromCache(wanted);
}
bool MainSyncController::moveFromCacheAtLocation(const ServerRecord& record, const std::string& target) {
  return localCache_ && localCache_->moveFromCacheAtLocation(record, target);
}

// ---------------------------------------------------------------- listings

void MainSyncController::listingDidStart(SynListingController& listing) {
  if (recordApplier_) recordApplier_->listingDidStart();
  if (listingHandler_) listingHandler_->listingDidStart(listing.forRefIDUpdate());
}
void MainSyncController::listingDidReceiveData(int64_t index) {
  if (listingHandler_) listingHandler_->listingDidReceiveData(index);
}
void MainSyncController::listingDidFinishSuccessfully(SynListingController& listing) {
  if (listingHandler_) listingHandler_->listingDidFinishSuccessfully(listing.forRefIDUpdate());
}
void MainSyncController::listingDidFailWithError(const std::string& error, SynListingController& listing) {
  if (listingHandler_) listingHandler_->listingDidFailWithError(error, listing.forRefIDUpdate());
}
void MainSyncController::listingDidCancel(SynListingController& /*listing*/) {
  if (listingHandler_) listingHandler_->listingDidCancel();
}
void MainSyncController::listingDataProcessedComplete(SynListingController& listing) {
  if (listingHandler_ && listingHandler_->listingDataProcessedComplete(listing.forRefIDUpdate()) &&
      listingOutcome_)
    listingOutcome_->listingDataProcessedComplete(foldersOf(listing));
}
void MainSyncController::validateFiles(const ServerRecord& record, const std::string& operation) {
  // One stop per listing: the download is being cancelled already.
  if (downloadDispatcher_ && !state_.server.isRestoreCanceldDuringListing.load())
    downloadDispatcher_->stopDownloadForListingRecord(record, operation);
  if (recordApplier_) recordApplier_->validateFiles(record, operation, recordFlags());
}
void MainSyncController::updateRefID(const ServerRecord& record, const std::string& operation) {
  if (listingHandler_) listingHandler_->updateRefID(record, operation);
}
void MainSyncController::RetryListing(SynListingController& listing) {
  if (listingHandler_) listingHandler_->RetryListing(listing.forRefIDUpdate());
}
void MainSyncController::listingCompleted() {
  if (listingHandler_) listingHandler_->listingCompleted();
}
void MainSyncController::listingGotEventsOccurred() {
  if (listingHandler_) listingHandler_->listingGotEventsOccurred();
}
void MainSyncController::PerformLoginAgainDueToAccountMaintanence() {
  if (listingHandler_) listingHandler_->PerformLoginAgainDueToAccountMaintanence();
}
void MainSyncController::clearItems() {
  if (listingHandler_) listingHandler_->clearItems();
  clearRecentItems();
}
bool MainSyncController::isTenMinutesListingCalled() { return state_.cycle.isTenMinutesListing; }
void MainSyncController::resetTenminutesListing() { state_.cycle.isTenMinutesListing = false; }

void MainSyncController::writeListingIndexFile(const std::string& index) {
  if (listingHandler_) listingHandler_->writeListingIndexFile(ListingIndexStore::parse(index));
}
void MainSyncController::commitHeldListingIndex() {
  if (listingHandler_) listingHandler_->commitHeldIndex();
}
void MainSyncController::updateRefIDwithListingIndex(bool fromZero) {
  if (listingHandler_) listingHandler_->updateRefIDwithListingIndex(fromZero);
}
void MainSyncController::syncListing() {
  if (listingHandler_) listingHandler_->syncListing();
}
void MainSyncController::StopListingAndAddNotificationFile() {
  if (listingHandler_) listingHandler_->StopListingAndAddNotificationFile();
}
void MainSyncController::changeListingStarting(bool fromZero) {
  if (listingHandler_) listingHandler_->changeListingStarting(fromZero);
}
void MainSyncController::manageFoldersReceivedFromServer(SynListingController& listing) {
  if (listingOutcome_) listingOutcome_->manageFoldersReceivedFromServer(foldersOf(listing));
}
void MainSyncController::updateRecordToDBWithDirectoryContent(const RenameEntry& folder) {
  if (recordApplier_) recordApplier_->updateRecordToDBWithDirectoryContent(folder);
}

// ---------------------------------------------------------------- the road's host

bool ServerRoadHost::isUploadRunning() { return c_.mBackupManager_ && c_.mBackupManager_->isRunning(); }
bool ServerRoadHost::isDownloadRunning() { return c_.isrestorManagerRunning(); }

bool ServerRoadHost::lastDownloadRunFailed() {
  return c_.mRestoreManager_ && (c_.mRestoreManager_->failureFileCount() > 0 ||
                                 c_.mRestoreManager_->backupOrRestorFailCount() > 0);
}

bool ServerRoadHost::startListingFromStoredIndex() {
  c_.startSyncListingAllFiles(1);
  return c_.mSynListingController_ && c_.mSynListingController_->isRunning();
}

void ServerRoadHost::setMonitorToolTip(const std::string& code) { c_.setMonitorToolTip(code); }
void ServerRoadHost::removeItemFromToolTipFor(const std::string& code) { c_.removeItemFromToolTipFor(code); }
void ServerRoadHost::removePNSRelatedToolTips() { c_.removePNSRelatedToolTipsOnMainThread(); }
void ServerRoadHost::showDesktopPushNotification(const std::string& code) { c_.showDesktopPushNotification(code); }
void ServerRoadHost::passwordChangedFromWeb() { c_.passwordChangedFromWeb(); }

void ServerRoadHost::accountCancelledFromListing() {
  c_.setMonitorToolTip("T1018");
  showDesktopPushNotification("N1023");
  if (SyncControllerOwner* o = c_.owner())
    if (auto monitor = o->monitorMessenger())
      monitor->sendIPCMessage(PropertyList(std::string("The account has been cancelled")),
                              kMessageAccountCancelled, false);
  fileutil::removeAll(c_.applicationFile(kLoginDetails));
  daemonTrace("The account has been cancelld so sending unlink message to monitor");
}

void ServerRoadHost::onMain(std::function<void()> task) { c_.ctx_.mainLoop.post(c_.guard_.wrap(std::move(task))); }

void ServerRoadHost::selectiveSyncModefied() {
  onMain([&c = c_] { c.selectiveSyncModefied(); });
}
void ServerRoadHost::setQueueReinitializeState(bool state) { c_.ctx_.inputQueue.setReinitializeState(state); }

void ServerRoadHost::reinitialiseEnded() {
  if (SyncControllerOwner* o = c_.owner()) {
    if (auto monitor = o->monitorMessenger())
      monitor->sendIPCMessage(PropertyList(std::string()), kMessageReinitialiseEnded, false);
    o->setisReinitializeState(false);
  }
}

void ServerRoadHost::createAllSyncTimers() { c_.createAllSyncTimers(); }
// The account-details request belongs to the main loop.
void ServerRoadHost::getLoginDetailForUlmoraSyncUser() {
  onMain([&c = c_] { c.getLoginDetailForUlmoraSyncUser(); });
}
void ServerRoadHost::clearRecentItems() { c_.clearRecentItems(); }
void ServerRoadHost::sendRecentItemsList(const std::vector<std::string>& restoredFromCache) {
  for (const std::string& path : restoredFromCache) c_.addFileUpdatedFromCache(path);
  c_.sendRecentItemsList();
}
void ServerRoadHost::deleteCachedFiles() {
  onMain([&c = c_] { c.deleteCachedFiles(); });
}
void ServerRoadHost::WritingCreateDirCollection(const std::string& path) {
  c_.WritingCreateDirCollection(c_.syncRootFiles_->fullPath(path));
}
// The batch's counters start again and the monitor shows the download
// before the totals are counted.
void ServerRoadHost::downloadSetStarting() {
  c_.ctx_.collections.downloadRunStarting();
  c_.state_.server.IsMoreThanTenThousandRestore = false;
  c_.ResetSetVariablesForRestore();
  c_.BackupRestoreStarted(c_.restoreManager());
  c_.GetTotalCountAndTotalSizeOfRestoreFiles();
}

void ServerRoadHost::postSyncList(const std::vector<std::string>& fullPaths) {
  daemonTrace("Insync sending message to finder writing to downloads commented2.");
  c_.postSyncList(fullPaths);
}

void ServerRoadHost::restoreCancelledDuringListing() {
  if (c_.listingHandler_) c_.listingHandler_->setRestoreCancelledDuringListing();
}
void ServerRoadHost::setRecentlyModifiedItems(const std::string& fullPath, const std::string& operation) {
  c_.setRecentlyModifiedItems(fullPath, operation);
}
bool ServerRoadHost::checkForFileisUnderSSyncSet(const std::string& path) {
  return c_.checkForFileisUnderSSyncSet(path);
}

void ServerRoadHost::syncDeleted(const std::string& relativePath) {
  writeSessionLog(c_.createSessionFileForOperation(4, "Delete"), localized("Operation: Sync deletion"),
                  {localized("Deleted item %@", {relativePath}), "SyncDeleted successfully"});
}

void ServerRoadHost::syncRenamed(const std::string& oldRelative, const std::string& newRelative) {
  writeSessionLog(c_.createSessionFileForOperation(13, "Sync-Rename"), localized("Operation: Sync rename"),
                  {localized("Renamed item %@ to %@", {oldRelative, newRelative}), "SyncRenamed successfully"});
}

void ServerRoadHost::conflictCopyKept(const std::string& relativePath, const std::string& copyRelative) {
  writeSessionLog(c_.createSessionFileForOperation(2, "Sync-Down"), localized("Operation: Sync conflict"),
                  {localized("The local copy of %@ was kept as %@: the server's copy took its place",
                             {relativePath, copyRelative})});
}

}  // namespace ulmora
