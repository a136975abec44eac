#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "foundation/SupportFilePaths.h"
#include "journal/JournalFolder.h"
#include "journal/JournalWriter.h"
#include "journal/RenameEntry.h"
#include "journal/SyncInputQueues.h"
#include "journal/SyncRootPath.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"

namespace ulmora {

class JournalStampGenerator;
class NotificationPoster;
class SyncFilesControllerProtocol;
class SyncFilesHost;

// The event journal writer of one account (console user, sync account). The
// change capture hands it local changes from its own threads; producers only
// queue entries in memory. A writer thread ticks every 2 s and turns the
// queues into journal files (docs/journal.md, "Event journal writer"), tells
// the Finder integration what is not yet in sync and the status monitor that
// the journals changed. The same object reads and cleans some journal
// folders, queues paths to remove from the rename/delete database, forwards
// the capture's database results to its delegate, and records items moved to
// the Trash as links in the day's cache folder.
//
// Every entry that goes in comes out once: entries of a file that could not
// be published are queued again (ahead of newer ones) for the next tick.
// Deletes and renames keep their arrival order: each run of one kind is one
// file, and the files follow one another in that order.
//
// Writer thread: one long-lived thread (a repeating 2 s timer on its own run
// loop, run in 1 s slices). A stop with reset makes that same thread clear
// and re-create the journal folders and carry on, so no thread ever has to
// join itself and two writers never run at once. Ticks never overlap.
//
// Thread-safety: every public method may be called from any thread. Each
// queue has its own lock, held only to add, copy or empty it; no two queue
// locks are held together and none is held while files are written or
// messages sent. Lock order: startStopMutex_ before threadMutex_; tickMutex_
// before any queue lock and settingsMutex_; queue locks are leaves. The host,
// poster and delegate must outlive this object.
class SyncFilesController {
 public:
  struct Options {
    Clock* clock = nullptr;                   // nullptr: the system clock
    JournalStampGenerator* stamps = nullptr;  // nullptr: the shared generator
    // Resolves application-file indices; empty: the account's SupportFilePaths.
    std::function<std::string(int index)> applicationFile;
    SyncFilesHost* host = nullptr;
    NotificationPoster* poster = nullptr;
    // Names the Out-of-Box area; nullopt: this machine's name.
    std::optional<std::string> machineName;
  };

  // One entry of the ordered event list.
  struct JournalEvent {
    enum class Kind { kDelete, kRename };
    Kind kind = Kind::kDelete;
    std::string path;    // a delete: relative to the sync root (full while it was unknown)
    RenameEntry rename;  // a rename: the two paths as handed in

    bool operator==(const JournalEvent&) const = default;
  };

  enum class CacheMoveResult {
    kLinked,             // the link of a trashed file is in the cache
    kFolderWalkStarted,  // a trashed folder is being walked on a thread of its own
    kFailed,             // nothing was linked (trace line says why)
  };
  struct FolderWalkResult {
    std::size_t linked = 0;
    std::size_t failed = 0;
    std::size_t folders = 0;  // folders entered, the trashed one included
  };

  static constexpr Clock::Duration kTickInterval = std::chrono::seconds(2);
  static constexpr Clock::Duration kRunLoopSlice = std::chrono::seconds(1);
  // The folder walk yields the disk after a file at every kWalkPauseEvery-th
  // place of a folder's listing (folders take places too) and before each
  // subfolder, so a large trashed folder does not saturate it.
  static constexpr Clock::Duration kWalkFilePause = std::chrono::milliseconds(100);
  static constexpr Clock::Duration kWalkFolderPause = std::chrono::milliseconds(50);
  static constexpr std::size_t kWalkPauseEvery = 50;

  static constexpr int kFinderDeletedItemsMessage = 7;
  static constexpr int kMonitorJournalsChangedMessage = 300;
  static constexpr std::string_view kNotSyncedNotification = "FilessyncListGot";
  static constexpr std::string_view kNotSyncedListKey = "syncList";
  static constexpr std::string_view kCacheFolderName = ".UMSCache";

  // Takes "ConsoleUser" and "SyncUser" from the account details. No thread
  // and no folder yet: the first stopSyncFilesOperationWithReset(true) starts
  // the writer.
  explicit SyncFilesController(const PropertyList& accountDetails);
  SyncFilesController(const PropertyList& accountDetails, Options options);
  // Stops the writer, writes what is still queued (once the journal folders
  // exist), stops the folder walks and joins every thread. Never call it
  // from the writer's own tick.
  ~SyncFilesController();
  SyncFilesController(const SyncFilesController&) = delete;
  SyncFilesController& operator=(const SyncFilesController&) = delete;

  // The process-wide instance, made on first use: it belongs to no account
  // (no console or sync user, no journal folders, no host or delegate) and
  // starts no thread until asked to. Each account's writer is an instance of
  // its own; this one only serves callers that have none.
  static SyncFilesController& sharedController();

  const std::string& consoleUser() const { return consoleUser_; }
  const std::string& syncUser() const { return syncUser_; }
  // "/Out of Box/<machine name>".
  const std::string& outOfBoxPrefix() const { return outOfBoxPrefix_; }

  // ------------------------------------------------------------ writer thread
  // Stores `reset`. A running writer is asked to end within about a second;
  // with reset it clears and re-creates the folders and carries on (the
  // event list and the Out-of-Box queues survive, the upload, download,
  // marker and folder-creation queues do not). Without a writer, reset starts
  // one at once. A second call while a writer is ending only updates `reset`.
  void stopSyncFilesOperationWithReset(bool reset);
  // Starts the writer (after the clearing above); with one running, the same
  // as stopSyncFilesOperationWithReset(true).
  void setSyncFiles();
  // Whether a writer thread runs (also while it is ending).
  bool syncFCThread() const;
  // Resolves the journal folder paths and creates the folders (0700).
  void createSyncFilesDir();

  // Empties the upload, download, marker and folder-creation queues and
  // forgets the paths of folders 101, 103-106 and 120 until the next
  // createSyncFilesDir (entries then wait in memory). Files stay.
  void clearSyncFiles();
  // Stops writing uploads and downloads (setShouldWriteSyncFiles(true) resumes)
  // and empties their queues.
  void clearBackupRestoreSyncFiles();
  void setShouldWriteSyncFiles(bool value) { shouldWriteSyncFiles_ = value; }
  bool shouldWriteSyncFiles() const { return shouldWriteSyncFiles_; }
  // The same for the Out-of-Box queues.
  void clearOBSyncFiles();
  void setOBFileWritingFlag(bool value) { shouldWriteOBFiles_ = value; }
  bool shouldWriteOBFiles() const { return shouldWriteOBFiles_; }
  void setShouldReturnBackupEntries(bool value) { shouldReturnBackupEntries_ = value; }
  bool shouldReturnBackupEntries() const { return shouldReturnBackupEntries_; }
  // Upload entries written since the last reset.
  void resetBackupCount() { backupFilesCount_ = 0; }
  uint64_t backupFilesCount() const { return backupFilesCount_; }

  // One tick of the writer, on the calling thread.
  void timerFireMethod();

  // ------------------------------------------------------------ producers
  // Paths may be full or relative to the sync root. The batch forms take the
  // queue's lock once.
  // To upload. "/private/..." system paths are dropped.
  void addBackupFiles(const std::string& path);
  void addBackupFiles(const std::vector<std::string>& paths);
  // Removed items; the root itself and "...-Spotlight" are dropped.
  void addDeleteFiles(const std::string& path);
  void addDeleteFiles(const std::vector<std::string>& paths);
  // A rename with a missing side is dropped with a trace line. Uploads and
  // folder creations queued before it (of the item or of anything below a
  // renamed folder) follow it to the new path.
  void addRenamedFiles(const RenameEntry& rename);
  void addRenamedFiles(const std::vector<RenameEntry>& renames);
  // Downloads {relative path: value}; a later value for a path wins.
  void addRestoreFiles(const std::map<std::string, std::string>& entries);
  // Asks for one server-change marker at the next tick.
  void addNotificationFilesInfo();
  // Folders to create on the server, written as given.
  void addDirectory(const std::string& path);
  void addDirectory(const std::vector<std::string>& paths);
  void addOBBackupFiles(const std::string& path);
  void addOBBackupFiles(const std::vector<std::string>& paths);
  // Queued below outOfBoxPrefix().
  void addOBDeleteFiles(const std::string& path);
  void addOBRenamedFiles(const RenameEntry& rename);
  // Out-of-Box folders are not created from local changes: does nothing.
  void addOBDirectory(const std::string& path);
  void addOBRestoreFiles(const std::map<std::string, std::string>& entries);

  // ------------------------------------------------------------ file writers
  // Each returns (or queues again) what it could not publish.
  // A run of one kind: code 2 deletes, code 3 renames (folder 102).
  std::vector<JournalEvent> writeFilesEntryAtGeneralPathWithArray(
      const std::vector<JournalEvent>& run, int code);
  // Drains and writes one list queue: "1", "6", "7", "8" or "10".
  void writeFilesEntryAtPath(std::string_view code);
  // Download entries into `folderPath` (105 or 129).
  std::vector<JournalWriter::DownloadEntry> WriteRestoreFilesEntry(
      const std::vector<JournalWriter::DownloadEntry>& entries, const std::string& folderPath);
  // The count file of an upload list (code "1" only).
  bool writeEventsCount(uint64_t count, std::string_view code);

  // ------------------------------------------------------------ readers and cleaners
  // The next batch of "1" and "2" (arrays of paths), "3" (array of
  // dictionaries), "4" (dictionary {path: value}) or "5" (array of marker
  // data); an empty array for other codes, and for "1" while backup entries
  // are held back.
  PropertyList readFileFor(const std::string& code);
  // Every rename dictionary of folder 104, consumed.
  PropertyList::Array readRenameFiles();
  // With `onlyRedItems` removes the consumed files of the code's folder
  // ("1"-"6", "daemoneventpath"); otherwise clears the folder.
  void deleteFileFor(const std::string& code, bool onlyRedItems);
  // The same for "7"-"10".
  void deleteOBFileFor(const std::string& code, bool onlyReadItems);

  void deleteFileEntryFromRDDB(const std::string& path);
  // Everything queued, emptied; nullopt when nothing is.
  std::optional<std::vector<std::string>> filesToDeleteFromRDDB();

  void setDelegate(SyncFilesControllerProtocol* delegate) { delegate_ = delegate; }
  // Forwarded to the delegate on the caller's thread.
  void mainDBQueryFinished(const std::vector<std::string>& paths);
  void RDDBQueryFinished();

  // Adds to the line file at `filePath` the entries it lacks (a new file
  // gets them all, in order). False when the file could not be written.
  bool writeDataIntoFiles(const std::vector<std::string>& fileArray, const std::string& filePath);

  // ------------------------------------------------------------ cache links
  // Records the item that was at `deletedPath` and now is at `trashPath` as a
  // symbolic link at <root>/.UMSCache/<day>/<relative path> pointing into the
  // Trash. A trashed folder is walked on a thread of its own, giving each
  // file below it a link. Whatever already stands at the link's place (a
  // link from an earlier trashing that day included) is left alone, and the
  // answer is kFailed.
  CacheMoveResult moveToCache(const std::string& deletedPath, const std::string& trashPath);
  // The folder walk, on the calling thread: iterative, never follows a
  // symlink, links every non-folder below `trashPath`.
  FolderWalkResult moveFolderToCache(const std::string& deletedPath, const std::string& trashPath);
  // Waits for the folder walks started by moveToCache.
  void waitForFolderWalks();
  // The user's Trash: $XDG_DATA_HOME/Trash/files, else
  // ~/.local/share/Trash/files; nullopt without a home folder.
  static std::optional<std::string> userTrashFolder();

  // The path of a journal folder by application-file index ("" while unset).
  std::string folderPath(int index) const;

 private:
  struct FolderPaths {
    std::map<int, std::string> byIndex;  // the fifteen journal folders
  };
  using EventList = std::vector<JournalEvent>;

  std::string applicationFile(int index) const;
  JournalFolder folder(int index) const { return JournalFolder(folderPath(index)); }
  SyncRootPath syncRoot() const;
  void sendToFinder(const PropertyList& payload, int type) const;
  void sendToMonitor(const PropertyList& payload, int type) const;
  void postNotSynced(const std::vector<std::string>& fullPaths) const;

  // Whether the journal folders are there to write into; missing ones are
  // made again, at growing intervals while that fails (tickMutex_ held).
  bool journalFoldersReady() ULMORA_REQUIRES(tickMutex_);
  // Queued uploads and folder creations follow `renames` (rename events).
  void followRenames(const EventList& renames);
  // A rename a rename list cannot carry becomes a delete of the old path;
  // the new path (a folder with its whole tree) is queued to upload.
  EventList withCarriableRenames(const SyncRootPath& root, EventList events);
  void queueTreeForUpload(const std::string& fullPath);
  // Entries of unread upload lists that `events` rename are queued again
  // under their new paths.
  void uploadRenamedListEntries(const SyncRootPath& root, const EventList& events);

  // Tick steps.
  void tickEvents();
  void tickBackups();
  void tickRestores(Guarded<OrderedDict>& queue, int folderIndex);
  void tickMarker();
  void tickOBRenames();
  // The upload list: which queued entries to write, and which folders the
  // Finder should refresh.
  std::vector<std::string> filterUploads(const SyncRootPath& root, std::vector<std::string> taken,
                                         std::vector<std::string>& foldersToRefresh);
  void writeList(Guarded<OrderedSet<std::string>>& queue, int folderIndex,
                 std::vector<std::string> entries, bool countFile);
  std::vector<JournalEvent> writeDeletes(const std::vector<JournalEvent>& run);
  std::vector<JournalEvent> writeRenames(const std::vector<JournalEvent>& run);

  // Thread.
  void writerMain();
  void prepareForStart();
  void startWriter();

  // Cache links.
  bool linkIntoCache(const std::string& root, const std::string& day, const std::string& itemPath,
                     const std::string& target) const;
  std::string today() const;
  void reapFolderWalks();

  Clock& clock_;
  JournalStampGenerator& stamps_;
  JournalWriter writer_;
  std::string consoleUser_;
  std::string syncUser_;
  std::string outOfBoxPrefix_;
  SyncFilesHost* host_ = nullptr;
  NotificationPoster* poster_ = nullptr;
  std::atomic<SyncFilesControllerProtocol*> delegate_{nullptr};

  mutable Mutex settingsMutex_;
  SupportFilePaths appSupportFilePaths_ ULMORA_GUARDED_BY(settingsMutex_);
  std::function<std::string(int)> applicationFileOverride_ ULMORA_GUARDED_BY(settingsMutex_);
  FolderPaths folders_ ULMORA_GUARDED_BY(settingsMutex_);

  std::atomic<bool> shouldWriteSyncFiles_{true};
  std::atomic<bool> shouldWriteOBFiles_{true};
  std::atomic<bool> shouldReturnBackupEntries_{true};
  std::atomic<uint64_t> backupFilesCount_{0};
  std::atomic<bool> rootUnknownTraced_{false};

  // Queues, each with its own lock.
  Guarded<OrderedSet<std::string>> backupFilesCollection_;
  Guarded<EventList> mEventsListArray_;
  Guarded<OrderedDict> restoreFilesCollection_;
  Guarded<bool> notificationRequested_;
  Guarded<OrderedSet<std::string>> createDirCollection_;
  Guarded<OrderedSet<std::string>> OBBackupFilesCollection_;
  Guarded<OrderedSet<std::string>> OBDeleteFilesCollection_;
  Guarded<OrderedSet<RenameEntry>> OBRenameFilesCollection_;
  Guarded<OrderedSet<std::string>> OBCreateDirCollection_;
  Guarded<OrderedDict> OBrestoreFilesCollection_;
  Guarded<OrderedSet<std::string>> mRemoveEntryFromRDDB_;
  // Queued uploads found gone when their list was written (relative paths),
  // from this tick and the one before: the rename that took them away may
  // reach the writer up to a coalescing window later.
  struct GoneUploads {
    std::set<std::string> current, previous;
  };
  Guarded<GoneUploads> goneUploads_;

  Mutex tickMutex_;
  // Guarded by tickMutex_: when folders that could not be made are tried
  // again, and how long the wait after that try will be.
  Clock::TimePoint folderRetryAt_ ULMORA_GUARDED_BY(tickMutex_) {};
  Clock::Duration folderRetryDelay_ ULMORA_GUARDED_BY(tickMutex_) {};

  Mutex startStopMutex_;
  mutable Mutex threadMutex_;
  std::thread thread_ ULMORA_GUARDED_BY(threadMutex_);
  bool writerRunning_ ULMORA_GUARDED_BY(threadMutex_) = false;  // set by the starter, cleared by the writer as it ends
  bool shouldReset_ ULMORA_GUARDED_BY(threadMutex_) = false;
  std::atomic<bool> cancelRequested_{false};
  std::optional<RunLoop::Handle> loopHandle_ ULMORA_GUARDED_BY(threadMutex_);

  struct FolderWalk {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  Mutex walksMutex_;
  std::list<FolderWalk> walks_ ULMORA_GUARDED_BY(walksMutex_);
  std::atomic<bool> stopWalks_{false};
};

}  // namespace ulmora
