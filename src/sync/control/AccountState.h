#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "journal/RenameEntry.h"
#include "platform/ThreadAnnotations.h"

namespace ulmora {

// Per-account state that several concerns of the sync controller read or
// change. One struct per group. State of the main loop alone is plain; what
// worker threads read or write sits in a small struct under one mutex
// (annotated for clang's thread-safety analysis). No code holds two of these
// mutexes at once. State that one concern alone uses lives in that
// concern's collaborator, not here.
//
// Each concern adds fields only inside its own group.
struct AccountState {
  // ---- lifecycle, cycle, settings ----
  struct Cycle {
    // ---- main loop only: every method that reads or writes these checks
    // that it runs there.
    bool mAccountLoggedOutUnlinked = false;
    // A push arrived while paused; the first open tick lists.
    bool duringPauseGotPns = false;
    // Any plan but "F".
    bool mIsBusinessUser = false;
    // startSync stopped at a closed gate (paused, folder moving); the first
    // tick that finds the gate open runs the rest of it.
    bool startPending = false;
    // The pause wrote throttle "-1"; the first open tick restores the
    // account's throttle.
    bool throttleHeld = false;

    // ---- read or written by the listing worker too
    // A reinitialise (local database deleted, sync root walked again, full
    // listing) is under way.
    std::atomic<bool> isReinitialize{false};
    // A full listing was asked for and has not ended (isListingGoingOn).
    std::atomic<bool> listingStartedfromZeroIndex{false};
    std::atomic<bool> isTenMinutesListing{false};
    std::atomic<bool> notificationfileRead{false};
    // Listing retries for no data (the listing handler counts, the cycle
    // resets on a new marker).
    std::atomic<int32_t> retryCount{0};

    // ---- what the thumbnail jobs' end and the status tracker (any thread)
    // read or write
    struct Shared {
      mutable Mutex mutex;
      bool isThumbNailBackupRunning ULMORA_GUARDED_BY(mutex) = false;
      // The network (the service host) can be reached.
      bool doesNWAvailable ULMORA_GUARDED_BY(mutex) = false;
    } shared;
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
