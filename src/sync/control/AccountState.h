#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "journal/RenameEntry.h"
#include "platform/ThreadAnnotations.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/runs/SyncWorkerThread.h"

namespace ulmora {

// Per-account state that several concerns of the sync controller read or
// change. One struct per group. State of the main loop alone is plain; what
// worker threads read or write sits in a small struct under one mutex
// (annotated for clang's thread-safety analysis). No code holds two of these
// mutexes at once. The few atomics left are single flags bound by no
// invariant to any other field. State that one concern alone uses lives in
// that concern's collaborator, not here.
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
    // dispatch clears its own, so that such a count would start over. A
    // dispatch may run on the cycle's worker, hence atomic.
    std::atomic<bool> IsMoreThanTenThousand{false};
  } upload;

  // ---- engine runs: the upload and download dispatches and their runs' ends
  RepeatedSetCounts repeatedSets;

  // ---- server road ----
  struct Server {
    std::atomic<bool> IsMoreThanTenThousandRestore{false};
  } server;

  // ---- what the listing worker reads or writes (its reports, the record
  // decisions, the listing index) and the cycle, control and settings set
  // on the main loop. A test and the change it leads to are one locked
  // step; nothing is called out to while the mutex is held.
  struct Listing {
    mutable Mutex mutex;
    // A reinitialise (local database deleted, sync root walked again, full
    // listing) is under way.
    bool isReinitialize ULMORA_GUARDED_BY(mutex) = false;
    // A selective-sync change waits for the reinitialise's end.
    bool selectivesyncCalledDuringReinitialization ULMORA_GUARDED_BY(mutex) = false;
    // A full listing was asked for and has not ended (isListingGoingOn).
    bool listingStartedfromZeroIndex ULMORA_GUARDED_BY(mutex) = false;
    bool isTenMinutesListing ULMORA_GUARDED_BY(mutex) = false;
    bool notificationfileRead ULMORA_GUARDED_BY(mutex) = false;
    // Listing retries for no data (the listing handler counts, the cycle
    // resets on a new marker).
    int32_t retryCount ULMORA_GUARDED_BY(mutex) = 0;
    bool isItemsFoundDuringListing ULMORA_GUARDED_BY(mutex) = false;
    bool isRestoreCanceldDuringListing ULMORA_GUARDED_BY(mutex) = false;
    bool isDamonRestartDueToAccountMaintanence ULMORA_GUARDED_BY(mutex) = false;
    bool shouldRestoreFileDirectly ULMORA_GUARDED_BY(mutex) = false;
    bool canUseRefID ULMORA_GUARDED_BY(mutex) = true;
    std::string mPreviousIndexStr ULMORA_GUARDED_BY(mutex);  // "" while no index is held
    std::string mIndexingWithZeroToAvoidRefId ULMORA_GUARDED_BY(mutex) = "0";
  } listing;

  // ---- push, renames and deletes, folders ----
  struct Push {
    // Main loop only (setEnableListeningNotifications checks it).
    bool enableListeningNotifications = false;
    // The rename/delete and folder workers' running flags.
    WorkerRunningFlags workers;

    Mutex mutex;
    // Relative paths renamed locally while a listing ran; their downloads
    // are left out.
    std::set<std::string> renamedPathDuringListing ULMORA_GUARDED_BY(mutex);
    // Recent local renames ({old: new}) while thumbnail jobs run.
    std::vector<RenameEntry> lastRenameAttemps ULMORA_GUARDED_BY(mutex);
  } push;

  // ---- control and periphery ----
  struct Control {
    // refreshSS: a selective-sync change could not fetch its folders (paused,
    // offline); the next open tick applies the list again.
    struct Shared {
      mutable Mutex mutex;
      bool refreshSS ULMORA_GUARDED_BY(mutex) = false;
    } shared;
    // Always false: the quota's state is SyncQuotaFull alone (the quota
    // worker's). Never written, so any thread may read it.
    const bool SyncQuotaExceeded = false;
  } control;
};

}  // namespace ulmora
