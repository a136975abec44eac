#pragma once

#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"

namespace ulmora {

class AccountSettings;
class KVTBackupManager;
class SyncTimers;
struct AccountState;

// What a pause drops that belongs to other objects.
class PauseHoldPort {
 public:
  virtual ~PauseHoldPort() = default;
  // The queued downloads go (a listing marker brings them back after the
  // pause).
  virtual void dropQueuedDownloads() = 0;
  // The half-received files of a stopped download go.
  virtual void deleteHalfRestoredFiles() = 0;
  // The server's changes are to be listed again (a listing marker).
  virtual void listAgain() = 0;
};

// The account's transfers while it is paused and as the pause ends: the
// upload holds where it is (throttle "-1") and keeps its engines, a download
// is stopped, and the first open tick gives the upload the account's
// throttle back. Also the one way the account stops a transfer:
// CancelBackupProcess waits for the engines, so it runs on the controller's
// worker, and the main loop learns of its end by a posted task.
//
// State: whether the upload is held (until the first open tick) and whether
// a stop of the download is under way (the pause ticks meanwhile leave the
// download alone and start no second stop).
//
// Thread-safety: every method on the main loop (checked in debug and test
// builds); the stops run on `worker`. stop() drops what the worker has yet
// to report; both loops and the managers must outlive this object.
class PauseHold {
 public:
  struct Parts {
    KVTBackupManager& uploadManager;
    KVTBackupManager& downloadManager;
    RunLoop& mainLoop;
    RunLoop& worker;
    AccountState& state;
    AccountSettings& settings;
    SyncTimers& timers;
    PauseHoldPort& port;
  };

  explicit PauseHold(Parts parts);
  PauseHold(const PauseHold&) = delete;
  PauseHold& operator=(const PauseHold&) = delete;

  // A tick while the gate says paused: the push timers stop, the upload is
  // held, and a running download is stopped (once; the server's changes are
  // listed again after the pause) or, with none running, the queued
  // downloads are dropped.
  void pauseSteps();
  // The upload holds at "-1" until the next open tick.
  void holdUpload();
  // The first open tick after a hold: the upload gets the account's
  // throttle back and the server's changes are to be listed again. True
  // when a hold ended here (the caller lets that listing go before uploads).
  bool restoreThrottleAfterPause();
  // Stop a transfer off the main loop; after a download's stop its
  // half-received files are removed.
  void stopUpload();
  void stopDownload() { stopDownloadThen(&PauseHoldPort::deleteHalfRestoredFiles); }
  bool downloadStopUnderWay() const;
  bool uploadHeld() const;

  // Drops the worker's reports still to come. Idempotent.
  void stop() { guard_.invalidate(); }

 private:
  // `after` runs on the main loop once the download's engines have ended.
  void stopDownloadThen(void (PauseHoldPort::*after)());

  KVTBackupManager& uploadManager_;
  KVTBackupManager& downloadManager_;
  RunLoop& mainLoop_;
  RunLoop& worker_;
  AccountState& state_;
  AccountSettings& settings_;
  SyncTimers& timers_;
  PauseHoldPort& port_;
  bool uploadHeld_ = false;
  bool downloadStopUnderWay_ = false;
  // Last: the stops' reports end with this object.
  WeakGuard guard_;
};

}  // namespace ulmora
