#include "sync/server/ListingHandler.h"

#include <charconv>
#include <exception>
#include <utility>

#include "foundation/QLUtility.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"
#include "sync/server/RecordDecision.h"
#include "sync/status/SyncTraceTexts.h"
#include "platform/ThreadCheck.h"

namespace ulmora {
namespace {

constexpr std::string_view kOutOfBox = "/Out of Box/";
constexpr const char* kListingToolTip = "T1016";

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Whether the server's entry may be the file here: the id is recorded with the
// local file's date and size and marks it in sync, so an entry for another
// computer's newer copy would leave this one stale for good (and drop the
// download already queued for it). Without a size to compare, the entry counts.
bool mayDescribe(const ServerRecord& record, const SyncRootFiles::Info& local) {
  if (compareTimes(QLUtility::dateFromString(record.modTime), local.modified) != TimeOrder::kEqual) return false;
  const std::string& text = record.size;
  int64_t size = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), size);
  if (ec != std::errc() || end != text.data() + text.size()) return true;
  return size == local.size;
}

}  // namespace

ListingHandler::ListingHandler(Ports ports, Shared& shared, ListingIndexStore& index, ListingTally& tally,
                               DelayedPost postOnMain, const RunLoop* mainLoop)
    : ports_(ports),
      shared_(shared),
      index_(index),
      tally_(tally),
      postOnMain_(std::move(postOnMain)),
      mainLoop_(mainLoop != nullptr ? *mainLoop : RunLoop::main()) {}

void ListingHandler::changeListingStarting(bool fromZero) {
  MutexLock hold(shared_.mutex);
  shared_.isItemsFoundDuringListing = false;
  shared_.isRestoreCanceldDuringListing = false;
  if (fromZero) shared_.listingStartedfromZeroIndex = true;
}

bool ListingHandler::isTenMinutesListingCalled() const {
  MutexLock hold(shared_.mutex);
  return shared_.isTenMinutesListing;
}

void ListingHandler::resetTenminutesListing() {
  MutexLock hold(shared_.mutex);
  shared_.isTenMinutesListing = false;
}

void ListingHandler::setRestoreCancelledDuringListing() {
  MutexLock hold(shared_.mutex);
  shared_.isRestoreCanceldDuringListing = true;
}

bool ListingHandler::listingStartedfromZeroIndex() const {
  MutexLock hold(shared_.mutex);
  return shared_.listingStartedfromZeroIndex;
}

bool ListingHandler::isDamonRestartDueToAccountMaintanence() const {
  MutexLock hold(shared_.mutex);
  return shared_.isDamonRestartDueToAccountMaintanence;
}

bool ListingHandler::reinitialising() const {
  MutexLock hold(shared_.mutex);
  return shared_.isReinitialize;
}

void ListingHandler::listingDidStart(bool refIdListing) {
  traceLine("listingDidStart [object forRefIDUpdate]: " + std::to_string(refIdListing ? 1 : 0));
  if (refIdListing) return;
  ports_.filters.clearRenameFilter();
  ports_.filters.clearAutoDeleteList();
  tally_.resetCounters();
  ports_.queue.deleteFileFor("5", true);
}

void ListingHandler::listingGotEventsOccurred() {
  {
    MutexLock hold(shared_.mutex);
    shared_.isItemsFoundDuringListing = true;
  }
  if (!listingRunning_.exchange(true)) ports_.host.setMonitorToolTip(kListingToolTip);
}

void ListingHandler::listingCompleted() {
  if (listingRunning_.exchange(false)) ports_.host.removeItemFromToolTipFor(kListingToolTip);
}

IndexCommitFacts ListingHandler::indexFacts(bool itemsFound, bool cancelled) {
  IndexCommitFacts f;
  f.restoreCancelledDuringListing = cancelled;
  f.itemsFound = itemsFound;
  f.downloadRunning = ports_.host.isDownloadRunning();
  // The counts first: an entry queued after them is among the paths.
  const std::size_t queued = ports_.queue.restoreFileCollection();
  const std::size_t writing = ports_.queue.restoreSetWhichWritingToFile();
  std::vector<std::string> pending = ports_.queue.pendingDownloadsFresh();
  const bool listed = !pending.empty();
  // An entry a download wrote since it was queued (a listing held back
  // while that download ran queued it again) waits for nothing, and the
  // next set leaves it out: held for it, the index would wait for a run
  // that never comes. The entries counted above are among the paths.
  std::erase_if(pending, [this](const std::string& path) {
    return ports_.filters.downloadWrittenSinceQueued(path, std::string());
  });
  const bool allAnswered = listed && pending.empty();
  f.downloadsPendingInJournal = !pending.empty();
  f.downloadsQueued = allAnswered ? 0 : queued;
  f.downloadsBeingWritten = allAnswered ? 0 : writing;
  f.lastDownloadRunFailed = ports_.host.lastDownloadRunFailed();
  return f;
}

void ListingHandler::listingDidReceiveData(int64_t index) {
  bool itemsFound = false, cancelled = false;
  {
    MutexLock hold(shared_.mutex);
    itemsFound = shared_.isItemsFoundDuringListing;
    cancelled = shared_.isRestoreCanceldDuringListing;
  }
  switch (decideIndexCommit(indexFacts(itemsFound, cancelled))) {
    case IndexCommit::kListAgain:
      ports_.queue.addNotificationFilesInfo();
      break;
    case IndexCommit::kKeepOld:
      break;
    case IndexCommit::kWrite: {
      setHeld(std::nullopt);
      postOnMain_([this, index] { writeListingIndexFile(index); }, Clock::Duration::zero());
      break;
    }
    case IndexCommit::kHold: {
      setHeld(index);
      traceLine("listing index " + std::to_string(index) + " held until the downloads are done");
      break;
    }
  }
}

void ListingHandler::writeListingIndexFile(int64_t index) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  traceLine("writeListingIndexFile called " + std::to_string(index));
  index_.write(index);
}

void ListingHandler::commitHeldIndex() {
  std::optional<int64_t> held = heldIndex();
  if (!held) return;
  // Called by a run's clean end: that run still counts as running while it
  // reports, and it had no failure, so only the downloads still waiting count.
  IndexCommitFacts facts = indexFacts(true, false);
  facts.downloadRunning = false;
  facts.lastDownloadRunFailed = false;
  if (decideIndexCommit(facts) != IndexCommit::kWrite) return;
  {
    MutexLock hold(shared_.mutex);
    // A newer listing may have reported meanwhile.
    if (shared_.mPreviousIndexStr != std::to_string(*held)) return;
    shared_.mPreviousIndexStr.clear();
  }
  // Decided here, at the run's end; written on the main loop like every
  // other index write, after what the main loop already had to do.
  postOnMain_([this, index = *held] { writeListingIndexFile(index); }, Clock::Duration::zero());
}

void ListingHandler::setHeld(std::optional<int64_t> index) {
  MutexLock hold(shared_.mutex);
  shared_.mPreviousIndexStr = index ? std::to_string(*index) : std::string();
}

std::optional<int64_t> ListingHandler::heldIndex() const {
  std::string held;
  {
    MutexLock hold(shared_.mutex);
    held = shared_.mPreviousIndexStr;
  }
  if (held.empty()) return std::nullopt;
  return ListingIndexStore::parse(held);
}

void ListingHandler::endReinitialise(bool success) {
  bool selective = false;
  {
    MutexLock hold(shared_.mutex);
    selective = std::exchange(shared_.selectivesyncCalledDuringReinitialization, false);
  }
  if (selective) ports_.host.selectiveSyncModefied();
  if (success) {
    traceLine("Reinitialize listingDidFinishSuccessfully so UMSDBSyncInputManger reinitialize flag set YES");
    ports_.host.setQueueReinitializeState(true);
  }
  {
    MutexLock hold(shared_.mutex);
    shared_.isReinitialize = false;
    // A change deferred after the test above would otherwise wait for the
    // next reinitialise: the flag and the deferral are one locked step.
    selective = std::exchange(shared_.selectivesyncCalledDuringReinitialization, false);
  }
  if (selective) ports_.host.selectiveSyncModefied();
  if (success) traceLine(synctexts::kQuiryMainDbAfterReinitialise);
  ports_.host.reinitialiseEnded();
  auto& host = ports_.host;
  postOnMain_([&host] { host.createAllSyncTimers(); }, kTimersAfterReinitialise);
}

void ListingHandler::listingDidFinishSuccessfully(bool /*refIdListing*/) {
  traceLine("listingDidFinishSuccessfully");
  traceLine(synctexts::backupRestore(ports_.host.isUploadRunning(), ports_.host.isDownloadRunning()));
  if (reinitialising()) endReinitialise(true);
}

void ListingHandler::listingDidFailWithError(const std::string& error, bool refIdListing) {
  traceLine("listingDidFailWithError = " + serverpath::forTrace(error));
  if (error.find("password mismatch") != std::string::npos) {
    ports_.host.passwordChangedFromWeb();
  } else if (error.find("account has been cancelled") != std::string::npos) {
    ports_.host.accountCancelledFromListing();
  }
  if (reinitialising()) {
    traceLine("listingDidFailWithError during reinitialize so rest reinitialize to NO.");
    endReinitialise(false);
  }
  if (!refIdListing && startsWith(error, "umkvt: failed to connect"))
    ports_.host.showDesktopPushNotification("N1030");
}

void ListingHandler::listingDidCancel() {
  bool fromZero = false;
  {
    MutexLock hold(shared_.mutex);
    shared_.isTenMinutesListing = false;
    fromZero = std::exchange(shared_.listingStartedfromZeroIndex, false);
  }
  if (fromZero) ports_.host.removeItemFromToolTipFor(kListingToolTip);
  if (reinitialising()) {
    endReinitialise(false);
    traceLine("reintialization ended  listingDidCancel so rest reinitialize to NO.");
  }
  startWaitingRefIdListing();
}

void ListingHandler::startWaitingRefIdListing() {
  if (!refIdRelistAfterChange_.exchange(false)) return;
  auto& refId = ports_.refIdListing;
  postOnMain_([&refId] { refId.start(0); }, Clock::Duration::zero());
}

bool ListingHandler::listingDataProcessedComplete(bool refIdListing) {
  traceLine("listingDataProcessedComplete");
  {
    MutexLock hold(shared_.mutex);
    shared_.listingStartedfromZeroIndex = false;
  }
  if (!refIdListing) startWaitingRefIdListing();
  return !refIdListing;
}

void ListingHandler::dropPushToolTips() {
  traceLine("## skipping tooltip removed case");
  ports_.host.removePNSRelatedToolTips();
  if (!ports_.host.isDownloadRunning()) ports_.host.removeItemFromToolTipFor("Syncing Down");
}

void ListingHandler::RetryListing(bool refIdListing) {
  if (refIdListing) return;
  auto& change = ports_.changeListing;
  bool tenMinutes = false;
  int count = 0;
  {
    MutexLock hold(shared_.mutex);
    tenMinutes = std::exchange(shared_.isTenMinutesListing, false);
    count = shared_.retryCount;
  }
  if (tenMinutes) {
    change.SetIsRetryListingCalledForNoData(false);
    dropPushToolTips();
    return;
  }
  Clock::Duration delay{};
  if (count >= 0 && count <= 4) {
    traceLine("Retry Listing Called with 2 sec gap for less than 5 count");
    delay = kShortRetry;
  } else if (count >= 5 && count <= 10) {
    traceLine("Retry Listing Called with 30 sec gap for more than 5 count and less than 10");
    delay = kLongRetry;
  } else if (change.IsRetryListingCalledForNoData()) {
    change.SetIsRetryListingCalledForNoData(false);
    dropPushToolTips();
    return;
  } else {
    traceLine(synctexts::kRetryWithoutMatchingCase);
    traceLine(synctexts::retryCount(count));
    traceLine(synctexts::retryForNoData(change.IsRetryListingCalledForNoData()));
    return;
  }
  int now = 0;
  {
    MutexLock hold(shared_.mutex);
    now = ++shared_.retryCount;
  }
  traceLine("retryCount count increeased:" + std::to_string(now));
  postOnMain_([this] { syncListing(); }, delay);
}

void ListingHandler::syncListing() {
  if (ports_.changeListing.isRunning()) return;
  if (ports_.host.startListingFromStoredIndex()) {
    traceLine("listing called from syncListing");
  } else {
    // Leave the request for the cycle, so listings resume when they can.
    ports_.queue.addNotificationFilesInfo();
  }
}

void ListingHandler::updateRefIDwithListingIndex(bool fromZero) {
  auto& change = ports_.changeListing;
  if (change.isRunning()) {
    if (!fromZero) return;
    if (reinitialising()) {
      // Cancelled, the reinitialise would end unfinished and the queue's
      // reinitialise state would never be raised: the full listing runs to
      // its end and the reference ids are listed after it.
      traceLine("reference-id listing waits for the reinitialise's listing to end");
      refIdRelistAfterChange_.store(true);
      return;
    }
    change.cancel();
  }
  ports_.refIdListing.start(fromZero ? 0 : index_.read());
}

void ListingHandler::updateRefID(const ServerRecord& record, const std::string& operation) {
  // One entry that cannot be handled is dropped; the listing goes on.
  try {
    queueRefID(record, operation);
  } catch (const std::exception& e) {
    traceLine("updateRefID dropped " + serverpath::forTrace(record.fname) + ": " + e.what());
  }
}

void ListingHandler::queueRefID(const ServerRecord& record, const std::string& operation) {
  const std::string& fname = record.fname;
  if (fname.empty() || fname.back() == '/' || record.refId.empty()) return;
  if (!serverpath::isSafeItemPath(fname)) {
    traceLine("updateRefID dropped " + serverpath::forTrace(fname));
    return;
  }
  if (startsWith(fname, kOutOfBox)) return;
  auto& selective = ports_.selective;
  if (operation == ServerRecord::kCodeRenamed) {
    if (selective.checkForFileisUnderSSyncSet(fname) && !record.fnameOld.empty() &&
        selective.checkForFileisUnderSSyncSet(record.fnameOld))
      return;
  } else if (operation == ServerRecord::kCodeChanged) {
    if (selective.checkForFileisUnderSSyncSet(fname)) return;
  } else {
    return;
  }
  if (auto rel = ports_.files.checkQuietly(fname)) {
    auto local = ports_.files.info(*rel);
    if (local && !local->isFolder && !mayDescribe(record, *local)) {
      traceLine("updateRefID left " + serverpath::forTrace(fname) + ": the server's copy is not the one here");
      return;
    }
  }
  ports_.queue.addToUpdateRefID({{fname, record.refId}});
}

void ListingHandler::StopListingAndAddNotificationFile() {
  bool markerRead = false;
  {
    MutexLock hold(shared_.mutex);
    markerRead = shared_.notificationfileRead;
  }
  if (!ports_.changeListing.isRunning() && !markerRead) return;
  ports_.queue.addNotificationFilesInfo();
  traceLine("Listing stoped pause case");
  ports_.changeListing.cancel();
  MutexLock hold(shared_.mutex);
  shared_.listingStartedfromZeroIndex = true;
}

void ListingHandler::PerformLoginAgainDueToAccountMaintanence() {
  traceLine("## sPerformLoginAgainDueToAccountMaintanence called");
  {
    MutexLock hold(shared_.mutex);
    shared_.isDamonRestartDueToAccountMaintanence = true;
  }
  ports_.host.getLoginDetailForUlmoraSyncUser();
}

void ListingHandler::clearItems() {
  // Only the change listing's items; the reference-id listing has none.
  if (ports_.changeListing.isRunning()) ports_.host.clearRecentItems();
}

}  // namespace ulmora
