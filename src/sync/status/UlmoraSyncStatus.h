#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/ThreadAnnotations.h"

#include "platform/CachedPropertyListFile.h"
#include "sync/status/MonitorSink.h"
#include "sync/status/StatusItemSink.h"

namespace ulmora {

// What the status tracker asks of the account's sync controller.
//
// Thread-safety: called with the tracker's lock held, from any thread; an
// implementation must answer without calling back into the tracker.
class SyncStatusHost {
 public:
  virtual ~SyncStatusHost() = default;
  virtual bool isNWAvailable() = 0;
  // The upload / download batch is marked started (ProgressTracker).
  virtual bool isbackupStarted() = 0;
  virtual bool isrestoreStarted() = 0;
  // A change listing runs: an empty status then means "checking the server".
  virtual bool isListingGoingOn() = 0;
  // A sub-account's quota is its parent's business: no quota code for it.
  virtual bool isSubAccount() = 0;
  // The account property list the sub-account answer comes from.
  virtual std::string accountDetailsPath() = 0;
  // The sync status property list (key "InProcess"); "" when unknown.
  virtual std::string getSyncFilePath() = 0;
};

// The account's status as the status monitor shows it. Producers hand it
// status items: operation texts ("Performing Sync Up...", "Renaming
// file(s)...", ...), progress lines ("T1002||...", "T1005||...") and codes
// ("T1016", "T1017", ...). It keeps the current status, at most four lines,
// one per slot (upload, download, rename, delete, create folder, in this
// order; a fifth is left out), maps it to the code the monitor shows and
// sends that code (message 500), keeps "InProcess" ("1" busy, "0" up to
// date) in the sync status property list (kept in memory between writes and
// written without fsync: it changes with every item), passes notification codes on
// (message 501) and announces the end of a full quota (message 504).
//
// Codes the monitor knows: T1001 up to date, T1002 upload progress, T1003
// upload starting, T1004 download starting, T1005 download progress, T1006
// renaming, T1007 deleting, T1008 folder moved on the server, T1009 creating
// folders, T1012 no network, T1014 selective sync, T1015 quota full, T1016
// checking the server, T1017 maintenance, T1018 account cancelled, T1019
// unlinked, T1020 sync folder missing, T1021 sync folder path invalid, T1022
// account blocked.
//
// Thread-safety: every member may be called from any thread; one mutex
// guards the status and the quota flag and is held for each whole operation
// (so codes reach the monitor in the order the status changed). Lock order:
// this object's mutex, then whatever the host and the monitor sink take; the
// sink must not block.
class UlmoraSyncStatus final : public StatusItemSink {
 public:
  static constexpr int kStatusMessageType = 500;
  static constexpr int kNotificationMessageType = 501;
  static constexpr int kQuotaReleasedMessageType = 504;
  static constexpr const char* kUpToDate = "All files are up to date";

  // Both must outlive the tracker.
  UlmoraSyncStatus(SyncStatusHost& host, MonitorSink& monitor);
  UlmoraSyncStatus(const UlmoraSyncStatus&) = delete;
  UlmoraSyncStatus& operator=(const UlmoraSyncStatus&) = delete;

  // An empty status and the quota not full.
  void initialize();

  // Without network sends "T1012" and ignores the item. Otherwise: a
  // progress line of a batch not marked started is dropped; operation texts
  // and progress lines are merged into their slot; any other item replaces
  // the status, except "T1016" while a transfer or operation is shown.
  void setMonitorToolTip(const std::string& item) override;
  // Takes an item (or a whole kind, "Syncing Up" / "Syncing Down") out of
  // the status and sends the code of what is left. An item that is neither
  // sends the current code again.
  void removeItemFromToolTipFor(const std::string& item) override;
  // Drops the items a push message or a listing made (lines ending in
  // "file(s)..", "Creating Folder.." or "T1016").
  void removePNSRelatedToolTipsOnMainThread();
  // Stores `status` (an empty one resolves to "T1016" while a listing runs,
  // else to up to date), updates "InProcess" and sends the code.
  void WriteToCurrentStatus(const std::string& status);
  void showDesktopPushNotification(const std::string& text);
  // The code of the current status again (the monitor asked).
  void sendCurrentSyncStatus();
  // Going from full to not full sends the current code with message 504.
  void setQuotaFull(bool full);

  std::string currentStatus() const;
  bool isQuotaFull() const;

  // --- pure parts, for the callers and tests ------------------------------------
  // `status` with `item` merged into its slot, at most 4 lines; kUpToDate
  // when no slot is filled. "Performing Sync Up/Down..." never replaces a
  // progress line.
  static std::string concatenateToolTip(const std::string& status, const std::string& item);
  // The code(s) for a status: one code per filled slot joined by "\n" (at
  // most 4), a single other code as it is, "T1001" for nothing.
  static std::string getCurrentTooltipID(const std::string& status);
  // A name shown in a notification: with 39 characters or more, its first 17
  // characters, "..." and its last 18. Characters are UTF-8 sequences (a
  // byte that is not valid UTF-8 counts as one), never cut apart.
  static std::string shortenedNotificationName(std::string_view name);

 private:
  void writeLocked(const std::string& status) ULMORA_REQUIRES(mu_);
  void setInProcessLocked(bool busy) ULMORA_REQUIRES(mu_);
  std::string quotaRuleLocked(const std::string& code) ULMORA_REQUIRES(mu_);
  void send(const std::string& payload, int type);

  SyncStatusHost& host_;
  MonitorSink& monitor_;

  mutable Mutex mu_;
  std::string currentStatus_ ULMORA_GUARDED_BY(mu_);
  bool qoutafull_ ULMORA_GUARDED_BY(mu_) = false;
  std::unique_ptr<CachedPropertyListFile> statusFile_ ULMORA_GUARDED_BY(mu_);  // of the last path asked
};

}  // namespace ulmora
