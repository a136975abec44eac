#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "journal/RenameEntry.h"

namespace ulmora {

// Per-account state that several concerns of the sync controller read or
// change. One struct per group; flags read across threads are atomics, and
// everything else in a group is guarded by that group's mutex. No code holds
// two group mutexes at once. State that one concern alone uses lives in that
// concern's collaborator, not here.
//
// Each concern adds fields only inside its own group.
struct AccountState {
  // ---- lifecycle, cycle, settings ----
  struct Cycle {
    // A reinitialise (local database deleted, sync root walked again, full
    // listing) is under way.
    std::atomic<bool> isReinitialize{false};
    // A full listing was asked for and has not ended (isListingGoingOn).
    std::atomic<bool> listingStartedfromZeroIndex{false};
    std::atomic<bool> isTenMinutesListing{false};
    std::atomic<bool> notificationfileRead{false};
    std::atomic<bool> isThumbNailBackupRunning{false};
    std::atomic<bool> mAccountLoggedOutUnlinked{false};
    // A push arrived while paused; the first open tick lists.
    std::atomic<bool> duringPauseGotPns{false};
    // The network (the service host) can be reached.
    std::atomic<bool> doesNWAvailable{false};
    // Any plan but "F".
    std::atomic<bool> mIsBusinessUser{false};
    // startSync stopped at a closed gate (paused, folder moving); the first
    // tick that finds the gate open runs the rest of it.
    std::atomic<bool> startPending{false};
    // The pause wrote throttle "-1"; the first open tick restores the
    // account's throttle.
    std::atomic<bool> throttleHeld{false};
    // Listing retries for no data (the listing handler counts, the cycle
    // resets on a new marker).
    std::atomic<int32_t> retryCount{0};
  } cycle;

  // ---- progress and status ----
  // The counters and the batch markers are the progress concern's alone
  // (ProgressTracker); nothing of it is shared here.
  struct Progress {
  } progress;

  // ---- upload road ----
  struct Upload {
    // The large-set markers (this one and IsMoreThanTenThousandRestore) of a
    // count of pending paths taken from the journals. The progress counts
    // come from the database instead, so nothing sets or reads them; each
    // dispatch clears its own, so that such a count would start over.
    std::atomic<bool> IsMoreThanTenThousand{false};
    std::atomic<int32_t> sameBackupSetRepeatedCount{0};
  } upload;

  // ---- server road ----
  struct Server {
    std::atomic<bool> shouldRestoreFileDirectly{false};
    std::atomic<bool> canUseRefID{true};
    std::atomic<bool> isRestoreCanceldDuringListing{false};
    std::atomic<bool> isItemsFoundDuringListing{false};
    std::atomic<bool> isDamonRestartDueToAccountMaintanence{false};
    std::atomic<bool> IsMoreThanTenThousandRestore{false};
    std::atomic<int32_t> sameRestoreSetRepeatedCount{0};

    std::mutex mutex;  // guards the fields below
    std::string mPreviousIndexStr;  // "" while no index is held
    std::string mIndexingWithZeroToAvoidRefId = "0";
  } server;

  // ---- push, renames and deletes, folders ----
  struct Push {
    std::atomic<bool> enableListeningNotifications{false};
    std::atomic<bool> ExcuteEventsCapturedrunning{false};
    std::atomic<bool> createDirRunning{false};

    std::mutex mutex;  // guards the fields below
    // Relative paths renamed locally while a listing ran; their downloads
    // are left out.
    std::set<std::string> renamedPathDuringListing;
    // Recent local renames ({old: new}) while thumbnail jobs run.
    std::vector<RenameEntry> lastRenameAttemps;
  } push;

  // ---- control and periphery ----
  struct Control {
    std::atomic<bool> refreshSS{false};
    std::atomic<bool> selectivesyncCalledDuringReinitialization{false};
    // Always false: the quota's state is SyncQuotaFull alone.
    std::atomic<bool> SyncQuotaExceeded{false};
    std::atomic<bool> SyncQuotaFull{false};
  } control;
};

}  // namespace ulmora
