#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "journal/RenameEntry.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/ThreadAnnotations.h"
#include "platform/WeakGuard.h"
#include "service/KVTRenameDeleteController.h"
#include "service/KVTRenameDeleteHandlerProtocol.h"
#include "sync/server/RenameDeleteRules.h"
#include "sync/runs/RetryBackoff.h"
#include "sync/runs/SyncWorkerThread.h"

namespace ulmora {

class JournalStampGenerator;

// The input-queue calls the rename and delete worker makes.
class RenameDeleteQueue {
 public:
  virtual ~RenameDeleteQueue() = default;
  virtual bool CheckIfAnyRenameDeleteOrCreateDirOccured() = 0;
  virtual std::optional<PropertyList> parseEventsToGetEventSets() = 0;
  virtual void deleteFileFor(const std::string& code, bool onlyRedItems) = 0;
  virtual void addDeleteFiles(const std::string& relativePath) = 0;
  virtual void addRenamedFiles(const RenameEntry& rename) = 0;
  virtual void addBackupFiles(const std::string& fullPath) = 0;
  virtual void addFileToBackup(const std::string& relativePath) = 0;
  virtual void addDirectory(const std::string& fullPath) = 0;
  virtual void setShouldReturnBackupEntries(bool value) = 0;
  virtual void deleteFileEntryFromRDDB(const std::string& fullPath) = 0;
};

// The engine-driven rename/delete controller as the worker drives it. Runs
// are synchronous and report to the worker (KVTRenameDeleteHandlerProtocol).
class RenameDeleteService {
 public:
  virtual ~RenameDeleteService() = default;
  // Fills the account's user and proxy settings.
  virtual void prepare() = 0;
  virtual void startOperation(const PropertyList& entries, const std::string& type) = 0;
  virtual void setCancel(bool value) = 0;
  virtual void addFilesToDelete(const std::vector<std::string>& paths) = 0;
  virtual std::vector<std::string> deleteItems() = 0;
  virtual std::vector<std::string> oldPathList() = 0;
  virtual std::vector<std::string> newPathList() = 0;
  // Versions the next startOperation checks ahead of the account's rows
  // (trimmed relative paths of files).
  virtual void useSeenVersions(engineset::SeenVersions seen) = 0;
};

// RenameDeleteService over the real controller; `prepare` fills the
// controller's account settings before each run (empty: nothing to fill).
class KVTRenameDeleteService final : public RenameDeleteService {
 public:
  using Prepare = std::function<void(KVTRenameDeleteController&)>;
  explicit KVTRenameDeleteService(KVTRenameDeleteController& controller, Prepare prepare = {})
      : k_(controller), prepare_(std::move(prepare)) {}
  void prepare() override {
    if (prepare_) prepare_(k_);
  }
  void startOperation(const PropertyList& entries, const std::string& type) override {
    k_.startOperation(entries, type);
  }
  void setCancel(bool value) override { k_.setCancel(value); }
  void addFilesToDelete(const std::vector<std::string>& paths) override { k_.addFilesToDelete(paths); }
  std::vector<std::string> deleteItems() override { return k_.deleteItems(); }
  std::vector<std::string> oldPathList() override { return k_.oldPathList(); }
  std::vector<std::string> newPathList() override { return k_.newPathList(); }
  void useSeenVersions(engineset::SeenVersions seen) override { k_.useSeenVersions(std::move(seen)); }

 private:
  KVTRenameDeleteController& k_;
  Prepare prepare_;
};

// The rest of the account the worker reports to and asks. Called on the
// worker thread unless a method says otherwise; implementations lock.
class RenameDeleteEnvironment {
 public:
  virtual ~RenameDeleteEnvironment() = default;
  virtual std::string syncRootPath() = 0;
  virtual std::string syncUserName() = 0;     // the engine's name in texts
  virtual std::string accountUserName() = 0;  // what the user knows
  // Reloads the account user name from the login details when it is empty.
  virtual void reloadAccountUserNameIfEmpty() = 0;
  virtual bool isListingRunning() = 0;
  // Old names of renames sent while the change listing runs; the downloads
  // leave them out until the rename run ends.
  virtual void addRenamedPathsDuringListing(const std::vector<std::string>& oldPaths) = 0;
  virtual void clearRenamedPathDuringListing() = 0;

  // The upload road.
  virtual bool isUploadRunning() = 0;
  virtual void cancelUpload() = 0;
  virtual bool uploadSetHasPrefix(const std::string& relativePath) = 0;
  virtual std::string deleteJournalFolder() = 0;
  virtual void queryMainDB(bool option) = 0;
  // The service refused to trash `relativePath`: it holds a version another
  // computer wrote and this one never saw. That version is fetched (whatever
  // stands at the path here now is kept as a conflict copy).
  virtual void fetchServerVersion(const std::string& relativePath) = 0;
  // The server version of a file (relative path) this computer last synced,
  // as its row says now; nullopt: none known.
  virtual std::optional<engineset::SeenVersion> seenVersion(const std::string& relativePath) = 0;
  // The server took the rename of `oldPath` to `newPath`: an upload at the
  // new name may replace only the version last synced at the former one.
  virtual void renamedOnServer(const std::string& /*oldPath*/, const std::string& /*newPath*/) {}
  // Renames held while their file uploads (old -> new).
  virtual std::map<std::string, std::string> renamesAfterBackup() = 0;
  // Removes the held rename of `oldPath`; returns its new path if there was one.
  virtual std::optional<std::string> takeRenameAfterBackup(const std::string& oldPath) = 0;

  // Filter sets.
  virtual bool isInBackupList(const std::vector<std::string>& deleted) = 0;
  virtual std::vector<std::string> filterDeletedFolderToavoid(const std::vector<std::string>& paths) = 0;
  virtual void clearDeleteFilter() = 0;
  virtual bool AreAllToBeExcludedDelete(const std::vector<std::string>& paths) = 0;

  // Status, companions, recent items, thumbnails, quota.
  virtual void setMonitorToolTip(const std::string& status) = 0;
  virtual void removeItemFromToolTipFor(const std::string& status) = 0;
  virtual void sendToFinder(const std::vector<std::string>& fullPaths, int type, bool runInThread) = 0;
  virtual void postInSyncList(const std::vector<std::string>& fullPaths) = 0;
  virtual void setRecentlyModifiedItems(const std::string& name, const std::string& operation) = 0;
  virtual void setLastRenamedInfo(const std::string& fullOld, const std::string& fullNew) = 0;
  virtual bool hasImageFiles() = 0;
  // On the main loop.
  virtual void updateThumbnailController(const std::string& fullOld, const std::string& fullNew) = 0;
  // On the main loop.
  virtual void startPushing(const std::string& messageID, const std::string& text) = 0;
  virtual void calculateQuota() = 0;
  virtual void passwordChangedFromWeb() = 0;
  virtual void updateSSWindowRefresh() = 0;

  // Session logs.
  virtual std::string createSessionFileForOperation(int operation, const std::string& name) = 0;
  virtual void writeSessionLog(const std::string& file, const std::string& text, bool withTimeStamp) = 0;
  virtual void logSyncInteractiveSession(const std::string& text, bool flush) = 0;
};

struct RenameDeleteOptions {
  Clock* clock = nullptr;                   // nullptr: the main loop's clock
  JournalStampGenerator* stamps = nullptr;  // nullptr: the shared generator
  // Waits between batches; returns false when the run was cancelled.
  // Empty: a wait on the clock that a cancel cuts short.
  std::function<bool(Clock::Duration)> pause;
  // Where the running flag the sync cycle reads lives
  // (ExcuteEventsCapturedrunning); nullptr: in the worker itself.
  WorkerRunningFlags* runningFlags = nullptr;
};

// Carries the user's local renames and deletes to the server: a worker thread
// takes the journalled sets, sends renames batch by batch and deletes set by
// set through the rename/delete controller, and handles its reports.
//
// Beyond the plain road:
// - Uploads are switched back on at the end of every delete set this worker
//   switched them off for, however it ends.
// - After a rename run fails (a connection error, an engine that ended, a
//   new name the server already holds) the renames the server did not
//   confirm are queued again as renames (at most kMaxRenameReplays times
//   each); only then does the worker fall back to uploading the new item (a
//   folder's whole tree) and deleting the old one. Nothing is deleted on the
//   server that is not uploaded again, and never an old name that holds the
//   new one. Renames of items the server lacks are left to the controller,
//   which uploads the new item.
// - Deletes are put after the renames that create what they delete
//   (renamedelete::orderForUser).
// - A delete the service did not confirm (a connection error, an engine
//   that ended, an item it refused) is sent again at a later cycle, after
//   RetryBackoff's waits, until it is confirmed; an item the service does
//   not hold counts as deleted, and one that is back in the sync folder is
//   not sent again (it goes up instead). A file the service holds in a
//   version this computer never saw (another computer changed it) is not
//   trashed and not sent again: that version is fetched, so the user's
//   delete of an older version loses nothing.
// - A rename carries the version of its old file this computer last synced,
//   taken from the row when the rename is first taken (the row moves or goes
//   soon after), and so does the delete of the old name it may fall back
//   to: neither moves nor trashes a version another computer wrote there
//   since. A rename refused for that falls back at once; the delete is then
//   refused too and the newer version is fetched.
// - The running flag is set by the thread that starts the worker; a cancel
//   stops the run between batches and sets. What a cancelled run had not sent
//   stays with the worker for the next run.
// - The thumbnail refresh after a rename runs on the main loop.
//
// Thread-safety: ExcuteEventsCaptured, cancel and the accessors on any
// thread; the worker body on one thread at a time; the report callbacks on
// the worker (inside startOperation).
class RenameDeleteDispatcher final : public KVTRenameDeleteHandlerProtocol {
 public:
  static constexpr Clock::Duration kBatchPause = std::chrono::seconds(2);
  static constexpr Clock::Duration kThumbnailDelay = std::chrono::milliseconds(10000);
  static constexpr int kMaxRenameReplays = 3;
  static constexpr std::size_t kMaxSetsPerRun = 256;
  static constexpr const char* kSeparator = "--------------------------------------------------\n";

  using Options = RenameDeleteOptions;

  RenameDeleteDispatcher(RenameDeleteQueue& queue, RenameDeleteService& service, RenameDeleteEnvironment& env,
                         RunLoop& mainLoop, Options options = {});
  ~RenameDeleteDispatcher() override;
  RenameDeleteDispatcher(const RenameDeleteDispatcher&) = delete;
  RenameDeleteDispatcher& operator=(const RenameDeleteDispatcher&) = delete;

  // From the sync cycle: starts the worker thread when there is work.
  void ExcuteEventsCaptured();
  // The worker body (its thread entry calls it; tests call it directly).
  void StartExcutingEventsCaptured();
  void StartRenameorDeleteOperation(const LocalChangeSet& set);
  std::vector<std::string> CheckIfDeleteFileIsUnderAnyOtherOperation(const std::vector<std::string>& paths);

  // Stops the run in progress between batches and ends a running engine.
  void cancel();
  bool isRunning() const { return worker_.isRunning(); }
  // Work left from a cancelled run.
  bool hasHeldWork() const;
  bool isRenameCollectionEmpty() const;
  // True once for each item rename this computer sent and the service
  // confirmed: its echo in the change listing is this computer's own change,
  // and what is missing here since then was removed or moved here. Any
  // thread.
  bool takeRenamedHere(const std::string& oldPath, const std::string& newPath);
  bool retryRename() const { return retryRename_; }
  void setRetryRename(bool v) { retryRename_ = v; }
  // Waits for a worker thread that has ended (or is ending).
  void join();

  // KVTRenameDeleteHandlerProtocol
  void renameDeleteDidStart(KVTRenameDeleteController& controller, const std::string& type) override;
  void renameDidReceiveData(const std::string& oldPath, const std::string& newPath) override;
  void deleteDidReceiveData(const std::string& path) override;
  void renameDeleteDidFinishSuccessfully(KVTRenameDeleteController& controller, const std::string& type) override;
  void renameDeleteDidFailWithError(const std::string& error, KVTRenameDeleteController& controller,
                                    const std::string& type) override;
  void renameDeleteDidRetry(const std::vector<RenameEntry>& renames) override;
  void renameDeleteDidReceiveErrors(const std::string& path, const std::string& type) override;
  void deleteItemRefused(const std::string& path, const std::string& message) override;
  void renameItemRefused(const RenameEntry& rename, const std::string& message) override;
  void renameDeleteDidCancel(KVTRenameDeleteController& controller, const std::string& type) override;
  void deleteDidCancel(KVTRenameDeleteController& controller) override;

 private:
  void runRenames();
  void runDelete(const std::vector<std::string>& entries);
  // The deletes of `paths` neither confirmed nor answered "not held" wait
  // for a later try.
  void keepUnconfirmedDeletes(const std::vector<std::string>& paths);
  // Failed deletes whose wait is over, as a held set.
  void queueDueDeletes();
  // The version the rename or delete of `path` may move or trash: the row's,
  // else the one kept for it.
  std::optional<engineset::SeenVersion> seenVersionOf(const std::string& path,
                                                      const std::map<std::string, engineset::SeenVersion>& kept);
  void deleteAndBackupOnRenameAbrutFailure(const std::string& error);
  void queueUploadOf(const std::string& relativePath);
  // The fallback delete of a rename's old name (both trimmed, relative).
  void queueDeleteOfOld(const std::string& oldPath, const std::string& newPath);
  // Files (thumbnails and symlinks left out) and empty folders under `top`,
  // bounded in depth and width.
  static void walkTree(const std::string& top, const std::function<void(const std::string&)>& onFile,
                       const std::function<void(const std::string&)>& onEmptyFolder);
  bool pause(Clock::Duration d);
  bool cancelled() const { return cancelRequested_; }
  std::string full(const std::string& relative);
  std::string engineText(const std::string& error);
  void postToMain(std::function<void()> task, Clock::Duration delay = Clock::Duration::zero());
  void traceAndInteractive(const std::string& text);

  RenameDeleteQueue& queue_;
  RenameDeleteService& service_;
  RenameDeleteEnvironment& env_;
  RunLoop::Handle main_;
  Clock& clock_;
  JournalStampGenerator* stamps_;
  std::function<bool(Clock::Duration)> pause_;

  WorkerRunningFlags ownRunning_;
  // Single flags. A cancel sets cancelRequested_ before it takes mu_ to wake
  // the pause, whose wait tests it under mu_, so no wake-up is lost.
  std::atomic<bool> cancelRequested_{false};
  std::atomic<bool> retryRename_{false};

  mutable Mutex mu_;
  std::condition_variable wake_;  // a cancel cuts the pause between batches short
  std::deque<LocalChangeSet> heldSets_ ULMORA_GUARDED_BY(mu_);
  std::vector<RenameEntry> mRenameFilesCollection ULMORA_GUARDED_BY(mu_);

  // Worker-only state of the run in progress.
  std::string renameSessionFile_;
  std::string deleteSessionFile_;
  std::vector<std::pair<std::string, std::string>> confirmedRenames_;
  std::set<std::string> confirmedDeletes_;
  std::set<std::string> deletesNotHeld_;  // the service answered "not held"
  std::set<std::string> deletesOfUnseen_;  // refused: a newer version there
  std::map<RenameEntry, std::string> renameRefusals_;  // trimmed; the engine's text
  bool deleteFailed_ = false;
  bool deleteCancelled_ = false;
  bool renameCancelled_ = false;
  bool uploadsSwitchedOff_ = false;
  std::map<RenameEntry, int> replays_;
  // Trimmed old path -> the version its rename (renameSeen_) or the delete
  // it fell back to (deleteSeen_) may move or trash; kept until the item is
  // done with, across replays and retries.
  std::map<std::string, engineset::SeenVersion> renameSeen_;
  std::map<std::string, engineset::SeenVersion> deleteSeen_;
  RetryBackoff deleteRetries_;  // locks itself

  Mutex renamedHereMu_;
  std::set<std::pair<std::string, std::string>> renamedHere_ ULMORA_GUARDED_BY(renamedHereMu_);  // trimmed old, new

  SyncWorkerThread worker_;

  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
