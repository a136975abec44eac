#pragma once

#include <string>

#include "database/DatabaseTotalsDelegate.h"
#include "journal/SyncInputHost.h"
#include "sync/control/SyncSessionDetails.h"

namespace ulmora {

class SyncControllerOwner;

// The account's sync controller as its owner and the command dispatcher see
// it. The owner builds it, calls initWithConsoleUser with the session, links
// itself with setSharedUlmoraSyncUserController, marks a due reinitialise,
// and starts it unless the account is unlinked; afterwards it forwards the
// companions' commands:
//   48 startSync, 502 PauseSync, 503 ResumeSync, 49/50 UnlinkSync then
//   stopSyncForUnlink(true), 506 stopSyncForUnlink(true), 517
//   ReinitializeSync, 513 selectiveSyncModefied, 10 ShowVersion, 508
//   RecalculateQuota, 510 sendToolTip; the file manager's integration
//   becoming ready gives SendPathRootSet.
// The controller is also the input queue's host and the receiver of the
// database totals, so it implements both of those interfaces.
//
// Thread-safety: the operations declared here are called on the main thread
// (the main run loop). The SyncInputHost and DatabaseTotalsDelegate members
// are called from worker threads and must be thread-safe.
class SyncController : public DatabaseTotalsDelegate, public SyncInputHost {
 public:
  ~SyncController() override = default;

  virtual void initWithConsoleUser(const SyncSessionDetails& session) = 0;
  // Not owned; outlives the controller.
  virtual void setSharedUlmoraSyncUserController(SyncControllerOwner* owner) = 0;

  // true while a reinitialise (local database deleted, sync root enumerated
  // again, full listing) is under way.
  virtual void setReinitializeState(bool state) = 0;
  virtual bool getReinitializeState() const = 0;

  virtual void startSync() = 0;
  // Ends every timer, run and thread of the controller; afterwards no
  // callback reaches it and it may be destroyed. The owner calls it before it
  // stops anything the controller uses. Idempotent.
  virtual void shutdown() = 0;
  virtual void PauseSync() = 0;
  virtual void ResumeSync() = 0;
  // Does nothing itself; the owner's unlink follows it with stopSyncForUnlink.
  virtual void UnlinkSync() = 0;
  virtual void stopSyncForUnlink(bool unlink) = 0;
  virtual void ReinitializeSync() = 0;
  // 0: full listing from index 0; any other value: from the stored index.
  virtual void startSyncListingAllFiles(int mode) = 0;
  virtual void selectiveSyncModefied() = 0;
  virtual void ShowVersion(const std::string& path) = 0;
  // Tells the file manager's integration the sync root (message 3).
  virtual void SendPathRootSet() = 0;
  virtual void RecalculateQuota() = 0;
  // Sends the current status to the status monitor again.
  virtual void sendToolTip() = 0;
  // The owner could not create the sync folder.
  virtual void notAbleTOCreateFolderAtPath() = 0;
  // The "IconOverlayStatus" notification: the badges should be refreshed.
  virtual void updateIconOverlay() = 0;
};

}  // namespace ulmora
