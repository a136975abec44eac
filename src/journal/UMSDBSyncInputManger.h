#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "foundation/SupportFilePaths.h"
#include "journal/JournalFolder.h"
#include "journal/JournalWriter.h"
#include "journal/RenameEntry.h"
#include "journal/SyncInputQueues.h"
#include "journal/SyncRootPath.h"
#include "journal/WriteBehindDatabase.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"

namespace ulmora {

class DataBaseWrapper;
class JournalStampGenerator;
class NotificationPoster;
class SyncInputHost;

// The sync input queue: producers on any thread queue paths and records in
// memory; one writer thread publishes them as change-journal files
// (docs/journal.md) and writes the database records in batches (the
// write-behind); the sync controller reads the journals back through this
// class and asks it whether work is pending.
//
// Every entry that goes in comes out exactly once, in arrival order: work
// that cannot be written (a journal file that cannot be published, a
// database batch that fails to open, begin, commit or publish) is queued
// again, ahead of newer work, and retried on the next pass with a trace line.
//
// Writer thread: 3 s of its run loop (work posted to it runs then), one pass
// (journals, then database batches), 2 s of sleep, the reinitialise step.
// All time goes through the Clock. An orderly stop keeps passing until a
// pass finds nothing queued (bounded by kFinalPassesLimit).
//
// Thread-safety: every public method may be called from any thread. Each
// queue has its own lock, held only to add, copy or empty it; no two queue
// locks are ever held together. Passes never overlap (passMutex_). Lock
// order: startStopMutex_ before threadMutex_; passMutex_ before downloadListMutex_,
// inFlightMutex_ and settingsMutex_; inFlightMutex_ before the queue locks;
// queue locks are leaves.
// The host and poster must outlive this object or be reset to nullptr first.
class UMSDBSyncInputManger {
 public:
  struct Options {
    Clock* clock = nullptr;                 // nullptr: the system clock
    JournalStampGenerator* stamps = nullptr;  // nullptr: the shared generator
    // Resolves application-file indices; empty: this object's SupportFilePaths.
    std::function<std::string(int index)> applicationFile;
    // Makes one database batch; empty: a DataBaseWrapper per batch.
    WriteBehindDatabaseFactory databaseBatches;
    SyncInputHost* host = nullptr;
    NotificationPoster* poster = nullptr;
  };

  // Pacing of the writer thread.
  static constexpr Clock::Duration kRunLoopPhase = std::chrono::seconds(3);
  static constexpr Clock::Duration kPassPause = std::chrono::seconds(2);
  // Database batches pause this long after every kBatchPauseEvery entries.
  static constexpr Clock::Duration kBatchPause = std::chrono::milliseconds(50);
  static constexpr std::size_t kBatchPauseEvery = 50;
  // PendingRestoreFiles stops collecting above this many paths.
  static constexpr std::size_t kPendingRestoreLimit = 10000;
  // An orderly stop passes until a pass finds nothing queued, for at most
  // this long; a pass that left work behind is followed by a short pause.
  static constexpr Clock::Duration kFinalPassesLimit = std::chrono::seconds(10);
  static constexpr Clock::Duration kFinalPassPause = std::chrono::milliseconds(250);

  UMSDBSyncInputManger();
  explicit UMSDBSyncInputManger(Options options);
  // Stops the writer thread in order (final passes) and joins it.
  ~UMSDBSyncInputManger();
  UMSDBSyncInputManger(const UMSDBSyncInputManger&) = delete;
  UMSDBSyncInputManger& operator=(const UMSDBSyncInputManger&) = delete;

  // The process-wide instance (system clock, shared stamps). It is never
  // destroyed; the process stops its writer with stopDBSyncInputAndWait().
  static UMSDBSyncInputManger& sharedManager();

  // ------------------------------------------------------------ settings
  // Names the account whose journals and database the queue writes. The
  // queues belong to an account: when another account is named, what is
  // still queued (work the last passes could not write, say to a journal
  // folder that is not writable) is kept aside for its own account and
  // queued again when that account is named once more; nothing queued for
  // one account is ever written for another. What was queued before any
  // account was named goes to the first one.
  void initializeAppSupportFilePaths(const std::string& consoleUser, const std::string& syncUser);
  void setSyncInputHost(SyncInputHost* host);
  void setNotificationPoster(NotificationPoster* poster);
  // Called on the writing thread after each database batch is published,
  // so its merger need not poll for batches. Empty: nobody is told.
  void setBatchPublishedHandler(std::function<void()> handler);
  void setReinitializeState(bool state) { reinitialiseState_ = state; }
  bool reinitializeState() const { return reinitialiseState_; }
  void setShouldReturnBackupEntries(bool v) { shouldReturnBackupEntries_ = v; }
  bool shouldReturnBackupEntries() const { return shouldReturnBackupEntries_; }
  void setShouldReturnOBBackupEntries(bool v) { shouldReturnOBBackupEntries_ = v; }
  bool shouldReturnOBBackupEntries() const { return shouldReturnOBBackupEntries_; }
  // Resolves and creates the journal folders 101, 102, 105, 106 and 120.
  void setFolderPaths();

  // ------------------------------------------------------------ writer thread
  // Starts the writer thread. With `clear`, clearSyncFiles first. A start
  // while a stopping thread still runs takes that thread back.
  void startDBSyncInput(bool clear);
  // Asks the thread to stop; it ends once a pass finds nothing queued (or
  // kFinalPassesLimit has passed). Does not wait.
  void stopDBSyncInput();
  // stopDBSyncInput, then waits for the thread to end.
  void stopDBSyncInputAndWait();
  bool isDBThreadRunning() const { return isDBThreadRunning_; }

  // One pass of the writer, on the calling thread: journals, database
  // batches, the reinitialise step. `busy` when a database batch of the
  // first five queues ran; `failed` when some work had to be queued again.
  struct PassResult {
    bool busy = false;
    bool failed = false;
  };
  PassResult runWriterPass();
  void writeJournals();
  PassResult writeDatabaseBatches();
  void reinitializeStep();

  // ------------------------------------------------------------ producers
  // An absolute path to upload; "/private/..." paths outside the sync root
  // are dropped.
  void addBackupFiles(const std::string& path);
  // A path to delete on the server; stored relative to the sync root. The
  // root itself is dropped.
  void addDeleteFiles(const std::string& path);
  void addRenamedFiles(const RenameEntry& entry);
  // Downloads: relative path -> the server's size.
  void addRestoreFiles(const std::map<std::string, std::string>& entries);
  // Asks for a server-change marker (one per pass at most).
  void addNotificationFilesInfo();
  void addDirectory(const std::string& path);
  void addOBBackupFiles(const std::string& path);
  void addOBRenamedFiles(const RenameEntry& entry);
  void addOBFilesToDelete(const std::string& path);

  // ------------------------------------------------------------ readers
  // The next batch of a journal: "1" and "6" an array of paths, "4" a
  // dictionary {path: size}, "5" an array of marker data; an empty array for
  // any other code, and for "1" ("7") while backup (Out-of-Box) entries are
  // held back.
  PropertyList readFileFor(const std::string& code);
  // With `onlyRedItems`, removes the consumed files of the code's folder;
  // otherwise clears the folder.
  void deleteFileFor(const std::string& code, bool onlyRedItems);
  // True when the code's folder holds any file (consumed ones included).
  bool doesIPFileAvailableFor(const std::string& code);
  // A listing was asked for and the controller has not taken it yet.
  bool isListingRequested();
  // The next event set {type: entries} of folder 102, or nullopt.
  std::optional<PropertyList> parseEventsToGetEventSets();

  bool CheckIfAnyRenameDeleteOrCreateDirOccured();
  bool CheckIfBackupFilesPendingBool();
  // Folder 105 holds a download list. Ask CheckForRestoreFilesInMemory first:
  // entries leave memory only once they are in the folder.
  bool CheckForRestoreFiles();
  // Downloads queued or being written.
  bool CheckForRestoreFilesInMemory();
  // Downloads pending anywhere: memory first, then folder 105.
  bool isAnyDownloadPending();
  // Paths of every pending download: queued, being written, or in folder 105
  // (the folder's reading is cached against its change counter).
  std::vector<std::string> CheckifAnyRestoreFilesPending();
  // Drops the cached reading of folder 105; the next check reads it again.
  void ClearRestorePendingSet();

  std::vector<std::string> CheckifBackupFilesPending();
  // Paths of the download lists in folder 105, then of the queued downloads.
  std::vector<std::string> CheckifRestoreFilesPending();
  std::vector<std::string> CheckForDeleteFiles();
  std::vector<RenameEntry> CheckForRenameFilesPending();
  bool CheckForCreateDirFilesPending();
  // All download lists of folder 105 merged; empty above kPendingRestoreLimit
  // paths (and IsMoreThanTenThousandRestore set); nullopt when the folder
  // lists nothing.
  std::optional<PropertyList::Dict> PendingRestoreFiles();
  bool IsMoreThanTenThousandRestore() const { return isMoreThanTenThousandRestore_; }
  void setIsMoreThanTenThousandRestore(bool v) { isMoreThanTenThousandRestore_ = v; }

  std::size_t restoreSetWhichWritingToFile();
  std::size_t restoreFileCollection();
  std::string getPathToBackupFiles() const;
  std::string getPathToDeleteFiles() const;
  std::string getPathToCreateDirCollection() const;
  std::string getPathToRestoreFiles() const;
  std::string getPathToNotificationFiles() const;

  // ------------------------------------------------------------ clearing
  void clearSyncFiles();
  void clearForSelectiveSync();
  void removeDotRestoreFilesFolderContent();

  // ------------------------------------------------------------ write-behind
  // Finished items: path -> "Backup" (uploaded) or -> server reference id
  // (downloaded). A later value for a path wins.
  void addFileToUpdate(const std::map<std::string, std::string>& entries);
  void addToUpdateRefID(const std::map<std::string, std::string>& entries);
  void addOBFileToUpdate(const std::map<std::string, std::string>& entries);
  void addFileToDelete(const std::string& path);
  void addFileToRename(const RenameEntry& entry);
  void addFileToBackup(const std::string& path);
  void addOBFileToBackup(const std::string& path);
  void addOBDeleteFiles(const std::string& path);
  // Empties the delete and update queues (every start does).
  void clearDBEntries();
  std::size_t getUpdateBackupFilesCount();
  std::size_t getUpdateRefIDFilesCount();

  // What the database rows queued or being written will say once they are
  // merged, by path relative to the sync root (the last row of a path wins),
  // so that a query can read the database without writing them first: a
  // first sync's rows take minutes at the batches' pace, and a second
  // writer beside the writer thread could put one path's rows in the wrong
  // order. Not `exact` while deletes or renames are queued or being written:
  // which rows those reach only the database knows; the caller then
  // flushes (flushDatabaseBatches) and reads.
  enum class PendingRow { kInSync, kToDownload, kToUpload };
  struct PendingRows {
    std::unordered_map<std::string, PendingRow> rows;
    bool exact = true;
  };
  PendingRows pendingRows();
  // Writes the queued database rows on the calling thread, never beside a
  // pass of the writer thread.
  PassResult flushDatabaseBatches();

  // The batches; each writes one database batch and reports whether it was
  // committed and published.
  using Entries = std::vector<std::pair<std::string, std::string>>;
  bool threadToUpDateBackedUpFiles(const Entries& entries);
  bool threadToUpDateRefID(const Entries& entries);
  bool threadToUpDateDeleteFiles(const std::vector<std::string>& paths);
  bool threadToUpDateRenameFiles(const std::vector<RenameEntry>& entries);
  bool threadToUpDateBackupFiles(const std::vector<std::string>& paths);
  bool threadToUpDateOBBackupFiles(const std::vector<std::string>& paths);
  bool threadToUpDateOBBackedUpFiles(const Entries& entries);
  bool threadToUpDateOBDeleteFiles(const std::vector<std::string>& paths);

  // Queries, on the caller's thread, over one connection kept open between
  // them (a listing asks once per record; opening the database and
  // preparing the statement each time cost more than the answer).
  std::optional<std::string> getFilePathforRefID(const std::string& refId);
  std::vector<std::string> getSyncedFilesFromDatabase();

  // The rename/delete database.
  void deleteFileEntryFromRDDB(const std::string& value);
  std::optional<std::vector<std::string>> filesToDeleteFromRDDB();
  // On the writer thread when there is one (not waiting), else at once.
  void queryRDDB();
  void performRDDBQuery();
  void deleteRcordFromRDDBFor(const std::string& value);
  void performRDDBDeleteOperation(const std::string& value);

  // Sizes of the Out-of-Box journal queues (nothing here publishes them).
  std::size_t OBBackupFilesCount();
  std::size_t OBRenameFilesCount();
  std::size_t OBDeleteFilesCount();

 private:
  struct FolderPaths {
    std::string backup, daemonEvents, restore, notification, createDir;
    std::string uploadCounts;  // written by the event journal writer, read by nobody
  };
  struct RestoreQueue {
    OrderedDict queued;                    // restoreFilesCollection
    std::vector<OrderedDict::Entry> writing;  // restoreWritingToFileSet
  };
  struct RestorePendingCache {
    std::optional<uint64_t> changeCount;  // of folder 105 when read
    std::vector<std::string> paths;       // restoreSetPending
  };
  // The contents of every queue, kept for an account that is not active.
  struct AccountQueues {
    OrderedSet<std::string> backup, deletes, createDir, OBBackup, OBDelete;
    OrderedSet<RenameEntry> renames, OBRenames;
    RestoreQueue restore;
    bool notificationRequested = false;
    OrderedDict filesToUpdate, filesToUpdateRefID, OBFilesToUpdate;
    OrderedSet<std::string> filesToDelete, filesToBackup, OBFilesToUpdateBackup, OBFilesToDelete,
        removeEntryFromRDDB;
    OrderedSet<RenameEntry> filesToRename;
    std::set<std::string> updatesAfterDelete;
  };
  // Swaps every queue with `other`. Call with passMutex_ held.
  void swapQueues(AccountQueues& other);

  std::string applicationFile(int index) const;
  FolderPaths folderPaths() const;
  std::string pathToUpdate() const;
  std::optional<JournalFolder> folderForCode(std::string_view code) const;
  SyncRootPath syncRoot() const;
  std::string syncUserName() const;
  SyncInputHost* host() const;
  NotificationPoster* poster() const;

  // Journal writers.
  void writeFilesEntryForOperation(std::string_view code);
  std::vector<std::string> takeUploadEntries(const SyncRootPath& root);
  void WriteRestoreFilesEntry();
  // Called at a database batch's pauses: downloads queued meanwhile are
  // published then, not after the whole batch (a first sync's batch of tens
  // of thousands of rows takes minutes at its pace).
  void publishDownloadsDuringBatch();
  void writeDownloadLists() ULMORA_REQUIRES(downloadListMutex_);
  void writeRenameFilesEntry();
  void writeNotificationFilesEntry();

  // Downloads in memory (queued and being written), under the queue's lock.
  std::vector<std::string> downloadsInMemory();
  std::vector<std::string> downloadsInFolder();

  // Runs one database batch: opens it, `fill` appends the rows (it gets the
  // batch and a pacing callback to call once per entry), commits, publishes.
  bool runBatch(const char* what, bool outOfBox,
                const std::function<void(WriteBehindDatabase&, const std::function<void()>&)>& fill);
  // The rows the running database batch took from their queue, until it
  // was published (then the merger has them) or they were put back; under
  // inFlightMutex_, which is also held while a batch takes or puts back its
  // rows, so pendingRows() never misses rows on their way between the two.
  struct InFlight {
    const Entries* updates = nullptr;
    const Entries* refIds = nullptr;
    const std::vector<std::string>* inserts = nullptr;
    bool structural = false;    // a delete or rename batch
    bool heldDeletes = false;   // deletes set aside until the renames are written
  };
  // Takes the queue's entries, notes them in inFlight_ (`note` sets or,
  // given nullptr, clears its member), runs the batch, puts them back if
  // it failed.
  // `holdBack`, when given, keeps the entries it names queued for a later
  // drain.
  template <typename Queue, typename Batch, typename Note>
  bool drain(Guarded<Queue>& queue, Batch batch, PassResult& pass, Note note,
             const std::function<bool(const typename Queue::Entry&)>& holdBack = {});
  // Notes the paths of `entries` that a row delete still queued names: a
  // pass writes deletes after updates, and would remove the rows these
  // later updates record.
  void noteUpdatesAfterDelete(const std::map<std::string, std::string>& entries);
  // Takes the queued deletes that cover the old path of a queued rename:
  // written before the rename, they would take its rows with them.
  std::vector<std::string> takeDeletesAheadOfRenames();

  // Thread.
  void timerFireMethod();
  bool stopRequested();
  void sleepUnlessStopped(Clock::Duration d);
  PassResult guardedPass();
  void finalPasses(RunLoop& loop);
  // What a pass would write: "" when nothing, else a short account.
  std::string queuedWork();
  void postToWriter(std::function<void()> task);

  Clock& clock_;
  JournalStampGenerator& stamps_;
  JournalWriter writer_;
  WriteBehindDatabaseFactory databaseBatches_;
  const std::unique_ptr<DataBaseWrapper> queries_;  // thread-safe on its own

  mutable Mutex settingsMutex_;
  SupportFilePaths appSupportFilePaths_ ULMORA_GUARDED_BY(settingsMutex_);
  std::function<std::string(int)> applicationFileOverride_ ULMORA_GUARDED_BY(settingsMutex_);
  FolderPaths folders_ ULMORA_GUARDED_BY(settingsMutex_);
  std::string pathToUpdate_ ULMORA_GUARDED_BY(settingsMutex_);
  std::string accountKey_ ULMORA_GUARDED_BY(settingsMutex_);  // console user and sync user; "" until named
  SyncInputHost* host_ ULMORA_GUARDED_BY(settingsMutex_) = nullptr;
  NotificationPoster* poster_ ULMORA_GUARDED_BY(settingsMutex_) = nullptr;
  std::function<void()> batchPublished_ ULMORA_GUARDED_BY(settingsMutex_);

  std::atomic<bool> shouldReturnBackupEntries_{true};
  std::atomic<bool> shouldReturnOBBackupEntries_{true};
  std::atomic<bool> threadToUpdateBackupFile_{false};
  std::atomic<bool> ThreadTOupdateRefIDFile_{false};
  std::atomic<bool> reinitialiseState_{false};
  std::atomic<bool> isDBThreadRunning_{false};
  std::atomic<bool> isMoreThanTenThousandRestore_{false};

  // Journal queues.
  Guarded<OrderedSet<std::string>> backupFilesCollection_;
  Guarded<OrderedSet<std::string>> deleteFilesCollection_;
  Guarded<OrderedSet<RenameEntry>> renameFilesCollection_;
  Guarded<RestoreQueue> restoreFilesCollection_;
  Guarded<bool> notificationRequested_;
  Guarded<OrderedSet<std::string>> createDirCollection_;
  Guarded<OrderedSet<std::string>> OBBackupFilesCollection_;
  Guarded<OrderedSet<RenameEntry>> OBRenameFilesCollection_;
  Guarded<OrderedSet<std::string>> OBDeleteFilesCollection_;
  Guarded<RestorePendingCache> restorePending_;

  // Database queues.
  Guarded<OrderedDict> mFilesToUpdate_;
  Guarded<OrderedDict> mFilesToUpdateRefID_;
  Guarded<OrderedSet<std::string>> mFilesToDelete_;
  // Paths (as queued) whose row update or reference id came while a delete
  // of the same path waited in mFilesToDelete_: written after the deletes.
  Guarded<std::set<std::string>> updatesAfterDelete_;
  Guarded<OrderedSet<RenameEntry>> mFilesToRename_;
  Guarded<OrderedSet<std::string>> mFilesToBackup_;
  Guarded<OrderedSet<std::string>> mOBFilesToUpdateBackup_;
  Guarded<OrderedDict> mOBFilesToUpdate_;
  Guarded<OrderedSet<std::string>> mOBFilesToDelete_;
  Guarded<OrderedSet<std::string>> mRemoveEntryFromRDDB_;

  Mutex passMutex_;
  Mutex inFlightMutex_;  // after passMutex_, before the queue locks
  InFlight inFlight_ ULMORA_GUARDED_BY(inFlightMutex_);
  // One download-list writer at a time: the pass, or a batch's pause (on the
  // writer thread or on a caller that flushes the batches itself).
  Mutex downloadListMutex_;
  // Queues of the accounts not active now, by account key; under passMutex_.
  std::map<std::string, AccountQueues> parkedQueues_ ULMORA_GUARDED_BY(passMutex_);

  Mutex startStopMutex_;
  Mutex threadMutex_;
  std::condition_variable threadCv_;
  std::thread thread_ ULMORA_GUARDED_BY(threadMutex_);
  bool stopRequested_ ULMORA_GUARDED_BY(threadMutex_) = false;
  bool threadExiting_ ULMORA_GUARDED_BY(threadMutex_) = false;
  std::optional<RunLoop::Handle> loopHandle_ ULMORA_GUARDED_BY(threadMutex_);
};

}  // namespace ulmora
