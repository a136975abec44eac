#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "service/ServerRecord.h"
#include "sync/control/AccountState.h"
#include "sync/server/ListingIndexStore.h"
#include "sync/server/ListingTally.h"
#include "sync/server/ServerRoadPorts.h"
#include "sync/files/SyncRootFiles.h"
#include "platform/RunLoop.h"

namespace ulmora {

// One of the controller's two listings (the change listing, or the
// reference-id listing), as the listing handling drives it.
class ListingPort {
 public:
  virtual ~ListingPort() = default;
  virtual bool isRunning() const = 0;
  virtual void cancel() = 0;
  // With the account's credentials and proxy set first.
  virtual void start(int64_t index) = 0;
  virtual bool IsRetryListingCalledForNoData() const = 0;
  virtual void SetIsRetryListingCalledForNoData(bool value) = 0;
};

// What the listing handling asks of the rest of the controller.
class ListingHost {
 public:
  virtual ~ListingHost() = default;
  virtual bool isUploadRunning() = 0;
  virtual bool isDownloadRunning() = 0;
  virtual bool lastDownloadRunFailed() = 0;
  // A change listing from the stored index (startSyncListingAllFiles 1);
  // false when it could not be started now.
  virtual bool startListingFromStoredIndex() = 0;
  virtual void setMonitorToolTip(const std::string& code) = 0;
  virtual void removeItemFromToolTipFor(const std::string& code) = 0;
  virtual void removePNSRelatedToolTips() = 0;
  virtual void showDesktopPushNotification(const std::string& code) = 0;
  virtual void passwordChangedFromWeb() = 0;
  // "T1018", "N1023", IPC 507 and the login-details file removed.
  virtual void accountCancelledFromListing() = 0;
  virtual void selectiveSyncModefied() = 0;
  // The input queue's reinitialise state (raised after a successful one).
  virtual void setQueueReinitializeState(bool state) = 0;
  // IPC 516 to the monitor and the owner's reinitialise state cleared.
  virtual void reinitialiseEnded() = 0;
  virtual void createAllSyncTimers() = 0;
  virtual void getLoginDetailForUlmoraSyncUser() = 0;
  virtual void clearRecentItems() = 0;
};

// The controller's side of the server change listings: the reports of both
// listings, the listing index, the retries and the reference-id listing.
// What the end of a change listing does with its results is ListingOutcome.
//
// Index: it moves only by the rule of decideIndexCommit; an index that must
// wait is held here and stored by commitHeldIndex() when the downloads are
// done. It is written on the main loop.
//
// Retries: counts 0-4 retry after 2 s, 5-10 after 30 s, none beyond until
// the cycle resets the count, none while a ten-minute listing runs. A retry
// that finds no way to start a listing leaves a listing request in the
// journal, so listings resume with the next cycle.
//
// Reinitialise: its end (IPC 516, owner state cleared) is followed 5 s
// later by createAllSyncTimers, posted to the main loop. It ends only when
// its listing has run: a reference-id listing from zero asked for meanwhile
// (the record-change id changed) waits for that listing's end instead of
// cancelling it, as it does outside a reinitialise.
//
// Thread-safety: reports arrive on the listing worker (start and cancel on
// the caller's thread); the flags shared with the rest of the account are
// the account's listing state, under its mutex, which is never held across a
// call to a port. Delayed work goes through `postDelayed` onto the main loop.
class ListingHandler {
 public:
  using DelayedPost = std::function<void(std::function<void()>, Clock::Duration)>;

  static constexpr Clock::Duration kShortRetry = std::chrono::seconds(2);
  static constexpr Clock::Duration kLongRetry = std::chrono::seconds(30);
  static constexpr Clock::Duration kTimersAfterReinitialise = std::chrono::seconds(5);

  // State that other concerns set or read; owned by the controller. Its
  // mPreviousIndexStr is the held index as decimal text, "" for none.
  using Shared = AccountState::Listing;

  struct Ports {
    ListingPort& changeListing;
    ListingPort& refIdListing;
    SyncQueuePort& queue;
    CaptureFilterPort& filters;
    SelectiveSyncCheck& selective;
    ListingHost& host;
    const SyncRootFiles& files;
  };

  // `mainLoop`: where postOnMain runs the work; RunLoop::main() when null.
  ListingHandler(Ports ports, Shared& shared, ListingIndexStore& index, ListingTally& tally,
                 DelayedPost postOnMain, const RunLoop* mainLoop = nullptr);

  // SynListHandlerProtocol, `refIdListing` telling which listing reports.
  void listingDidStart(bool refIdListing);
  void listingDidReceiveData(int64_t index);
  void listingDidFinishSuccessfully(bool refIdListing);
  void listingDidFailWithError(const std::string& error, bool refIdListing);
  void listingDidCancel();
  // Returns whether the change listing's outcome must follow.
  bool listingDataProcessedComplete(bool refIdListing);
  void updateRefID(const ServerRecord& record, const std::string& operation);
  void listingCompleted();
  void listingGotEventsOccurred();
  void RetryListing(bool refIdListing);
  void PerformLoginAgainDueToAccountMaintanence();
  void clearItems();
  bool isTenMinutesListingCalled() const;
  void resetTenminutesListing();

  // Further operations.
  // Main loop (checked in debug and test builds).
  void writeListingIndexFile(int64_t index);
  // The held index stored once the downloads are done: called by a download
  // run that ended with every file arrived; downloads still waiting in the
  // journal, queued or being written keep it held. The decision is made on
  // the calling thread; the write is posted to the main loop.
  void commitHeldIndex();
  std::optional<int64_t> heldIndex() const;
  void updateRefIDwithListingIndex(bool fromZero);
  void syncListing();
  void StopListingAndAddNotificationFile();

  // A change listing is starting (clears the per-listing flags).
  void changeListingStarting(bool fromZero);
  // StopRestoreManagerForNewListing cancelled a download for this listing.
  void setRestoreCancelledDuringListing();
  bool listingStartedfromZeroIndex() const;
  bool isDamonRestartDueToAccountMaintanence() const;

 private:
  void queueRefID(const ServerRecord& record, const std::string& operation);
  void endReinitialise(bool success);
  // The reference-id listing put off for a reinitialise's listing.
  void startWaitingRefIdListing();
  void dropPushToolTips();
  IndexCommitFacts indexFacts(bool itemsFound, bool cancelled);
  bool reinitialising() const;

  Ports ports_;
  Shared& shared_;
  ListingIndexStore& index_;
  // Set by the listing thread, taken once by whichever listing ends; a
  // single flag, read with nothing else.
  std::atomic<bool> refIdRelistAfterChange_{false};
  ListingTally& tally_;
  DelayedPost postOnMain_;
  const RunLoop& mainLoop_;
  void setHeld(std::optional<int64_t> index);

  // Only pairs the listing's tooltip with its removal (exchange).
  std::atomic<bool> listingRunning_{false};
};

}  // namespace ulmora
