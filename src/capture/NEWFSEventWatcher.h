#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/CaptureDatabase.h"
#include "capture/DirectoryWalker.h"
#include "capture/EventCoalescer.h"
#include "platform/Clock.h"

namespace ulmora {

class CaptureDatabase;
class CaptureJournalSink;
class ExcludedFilesCollections;
class InotifyWatchTree;

// Watches the whole sync root with inotify and hands the account's journal
// writer what the user changed (docs/capture.md):
// - every folder is watched; a folder that appears is watched first and then
//   read, so nothing created inside it in between is missed, and a moved
//   folder's watches follow it;
// - the two halves of a move are paired by cookie: inside the root it is a
//   rename, out of the root (no second half within the move window) a
//   remove, into the root a create (a folder with all it holds);
// - changes are coalesced over a window (1 s by default) and handed on from
//   the watcher's thread: addBackupFiles, addDirectory and addDeleteFiles
//   with full paths, addRenamedFiles relative to the root;
// - ignored names, items the exclusion rules exclude, the application's own
//   exclusion set, and the sync's own renames, deletes and folder creations
//   are dropped; the expected sizes of addToAvoidDelete never drop a
//   user's delete;
// - when the root goes away, pending deletes are dropped (the server's copy
//   is kept) but pending renames are kept and handed on when it is back, if
//   the folder that came back agrees with them;
// - when the kernel's event queue overflows, the root is read again and
//   compared with the local database; when the watch limit is reached, the
//   trace and watchLimitReached() say so and the folders left unwatched are
//   compared with a snapshot of themselves every rescan interval.
// Symlinks are never followed; names that are not UTF-8 are carried as the
// bytes they are (and traced).
//
// Thread-safety: start() and stop() belong to the owner's thread; the other
// public methods may be called from any thread. The sink, the filter sets and
// the database must outlive the watcher. The destructor stops and joins the
// thread.
class NEWFSEventWatcher {
 public:
  struct Options {
    std::string syncRoot;
    Clock* clock = nullptr;  // Clock::systemClock() when null
    Clock::Duration coalescingDelay = std::chrono::seconds(1);
    // How long the first half of a move waits for its second half.
    Clock::Duration moveWindow = std::chrono::milliseconds(250);
    // How often unwatched folders are compared with their snapshot, and a
    // vanished root is looked for.
    Clock::Duration rescanInterval = std::chrono::seconds(30);
    // 0: as many watches as the kernel allows; otherwise a cap of our own.
    std::size_t maxWatches = 0;
    // Names never handed on, whatever the rules say.
    std::set<std::string> ignoredNames = {".DS_Store"};
    // The local database the overflow rescan compares against; null: every
    // file found is handed on as changed and nothing as removed.
    CaptureDatabase* database = nullptr;
    // Relative paths the user deselected: their rows are never reported
    // removed by a rescan, since their files are absent on purpose.
    std::function<bool(const std::string& relativePath)> isDeselected;
    // Relative paths whose download is queued; those of a download under way
    // are in the filter sets' restore sets. Their files may be missing for a
    // while (the local copy set aside as a conflict copy, or lost with the
    // volume) before the row says they are still to download: a comparison
    // never takes such a row for a removal. Called on the watcher thread, at
    // most once a comparison. Empty: none is queued.
    std::function<std::vector<std::string>()> downloadsQueued;
    // Called on the watcher thread before the start comparison reads the
    // database, so that the owner can let what the last run recorded be
    // merged first (rows it lacks would be uploaded again).
    std::function<void()> settleDatabase;
    // Called on the watcher thread when a sync folder that was found empty
    // while the database listed items (a volume not mounted: nothing was
    // deleted on the server) holds items again: the file rows whose files
    // it still lacks, to be downloaded again. Empty: nothing is done.
    std::function<void(const std::vector<LocalFileRow>& missing)> fetchMissing;
    // Called when the watch limit is first hit (true) and when every folder
    // is watched again (false): on the watcher thread, or inside start().
    std::function<void(bool limited)> watchLimitChanged;
  };

  NEWFSEventWatcher(Options options, CaptureJournalSink& sink,
                    ExcludedFilesCollections& collections);
  ~NEWFSEventWatcher();
  NEWFSEventWatcher(const NEWFSEventWatcher&) = delete;
  NEWFSEventWatcher& operator=(const NEWFSEventWatcher&) = delete;

  // Watches the root and starts the watcher thread. Returns once the tree
  // is watched. False when inotify cannot be used; a root that does not
  // exist yet is looked for every rescan interval.
  bool start();
  // Hands on what is pending and joins the thread.
  void stop();

  // Hands on, soon and from the watcher thread, every change that happened
  // before this call (other than the first half of a move still in its
  // window), without waiting for the coalescing window to close.
  void flushNow();
  // Has the watcher thread handle an event-queue overflow as if the kernel
  // had reported one (the kernel's queue length is system-wide, so a test
  // cannot make it small).
  void simulateQueueOverflow();
  // From now until the next simulateQueueOverflow(), what the kernel reports
  // is read and dropped, as a full queue drops what comes after it.
  void loseEventsUntilOverflow();

  // inotify keeps no history: what changed while the agent was not running
  // (stopped, killed, or before the folder was watched) is found only by
  // comparing the folder with the local database. The account's owner calls
  // this once after start() whenever the account has a local database (a
  // new account's first full scan is not this). The comparison runs soon on
  // the watcher thread, with the overflow rescan's rules: files missing from
  // the database or differing from their row are handed on as changed, as
  // are empty folders it lacks; rows whose items are gone are handed on as
  // deletes, except while the root is missing or unreadable, below folders
  // that could not be read, for deselected paths and for items still to be
  // downloaded. A database that cannot be read compares nothing.
  void compareWithDatabaseAtStart();

  // How often the watcher thread has gone round its loop. Each turn reads
  // everything the kernel has queued, so two more turns after a change mean
  // it has been seen (tests use this to step a manual clock safely).
  std::uint64_t loopTurns() const { return loopTurns_.load(); }

  // The contents of a folder that appeared: addDirectory for each folder
  // and addBackupFiles for each file below it that the rules do not exclude,
  // on the calling thread.
  void insertRecordToDBWithDirectoryContent(const std::string& folder);

  bool watchLimitReached() const { return watchLimitReached_.load(); }
  std::size_t watchCount() const { return watchCount_.load(); }

 private:
  struct PendingMove {
    uint32_t cookie;
    std::string path;
    bool isFolder;
    Clock::TimePoint deadline;
  };
  // Files of a folder tree that could not be watched, as last seen.
  struct Stamp {
    int64_t size = 0;
    int64_t mtimeNs = 0;
    bool isFolder = false;
    bool operator==(const Stamp&) const = default;
  };
  using Snapshot = std::map<std::string, Stamp>;  // relative to the region

  struct WalkMode {
    bool report = false;            // hand on everything found as created
    bool reportNewFolders = false;  // hand on folders watched for the first time
    Snapshot* seen = nullptr;       // receives every entry, relative to the top
    std::vector<std::string>* unread = nullptr;  // folders that could not be read
    // Receives, instead of handing them on, the folders reportNewFolders
    // finds.
    std::vector<std::string>* newFolders = nullptr;
  };

  // A walk that watches, notes every entry and the folders it could not read,
  // for a comparison with the database.
  static WalkMode comparisonWalk(Snapshot& seen, std::vector<std::string>& unread);

  void threadMain(std::stop_token stop);
  void runOnce();
  void wake();
  int pollTimeoutMs() const;
  Clock::TimePoint now() const;

  // Reading and classifying events.
  bool readAvailableEvents();
  void handleEvent(int wd, uint32_t mask, uint32_t cookie, std::string_view name);
  void handleMovedTo(const std::string& path, uint32_t cookie, bool isFolder);
  void expireMoves(bool all);
  // Ends the moves waiting at `path` as moves out.
  void settleMovesAt(const std::string& path);
  void endMoves(const std::function<bool(const PendingMove&)>& ends);
  void rootLost(const std::string& why);
  void lookForRoot();
  void handOnHeldRenames();

  // Filters, then the coalescer.
  bool dropped(const std::string& path) const;
  void emitCreated(const std::string& path, bool isFolder);
  void emitModified(const std::string& path);
  void emitWritten(const std::string& path);
  void emitRemoved(const std::string& path, bool isFolder);
  void emitRenamed(const std::string& from, const std::string& to, bool isFolder);
  void flush();

  // Watching and reading trees.
  static std::optional<Stamp> stampOf(const std::string& path, bool isFolder, bool isSymlink);
  std::map<std::string, Snapshot>::iterator regionFor(const std::string& path);
  // Watches `top` and every folder below it (a folder before it is read),
  // except inside folders where the watch limit was hit.
  DirectoryWalker::Result walkAndWatch(const std::string& top, const WalkMode& mode);
  void reportContents(const std::string& folder);
  void noteUnwatched(const std::string& folder);
  void renameRegions(const std::string& from, const std::string& to);
  void dropRegionsUnder(const std::string& path);
  enum class RescanKind { kOverflow, kRootBack, kStart, kFolderReadable };
  // A folder that could not be watched or read until now: watched, read and
  // compared with the database (no removes), when it can be read.
  void takeUpReadableFolder(const std::string& folder);
  void rescanRoot(RescanKind kind);
  // `renamed`: folders found renamed by the walk (relative, in order); their
  // rows are read at the new names.
  void compareWithDatabase(const Snapshot& seen, const std::vector<std::string>& unread, RescanKind kind,
                           const std::vector<std::pair<std::string, std::string>>& renamed = {});
  // For a root that came back: each file the database does not know is
  // handed on as new, or as the rename of the one file gone that has its
  // size and modification time.
  void handOnRenamedOrNew(const std::vector<std::pair<std::string, Stamp>>& unknown,
                          const std::vector<LocalFileRow>& rows, const Snapshot& seen,
                          const std::vector<std::string>& unread);
  // Whether the file at a relative path waits for a download (under way or
  // queued): missing meanwhile, it is not removed. One check per pass.
  std::function<bool(const std::string& relativePath)> downloadAwaitedCheck() const;
  // Folders (former, new relative names) moved whole while the root was
  // away, from the pairs of files found renamed (new name -> former name).
  std::vector<std::pair<std::string, std::string>> folderMovesAmong(
      const std::vector<LocalFileRow>& rows, const Snapshot& seen, const std::vector<std::string>& unread,
      const std::map<std::string, std::string>& formerOf) const;
  // Rows whose items are gone from the folder, as a comparison judges them.
  std::vector<const LocalFileRow*> rowsGone(const std::vector<LocalFileRow>& rows, const Snapshot& seen,
                                            const std::vector<std::string>& unread, bool withPendingDownloads) const;
  // While the folder is the empty one a start found: whether it holds items
  // again, and if so its comparison, which fetches what it lacks.
  void lookForRefill();
  void rescanUnwatched();
  void setWatchLimitReached(bool limited);
  void updateWatchCount();

  Options options_;
  Clock& clock_;
  CaptureJournalSink& sink_;
  ExcludedFilesCollections& collections_;

  int inotifyFd_ = -1;
  int wakeFd_ = -1;
  std::unique_ptr<InotifyWatchTree> tree_;
  EventCoalescer coalescer_;
  std::vector<PendingMove> moves_;
  std::map<std::string, Snapshot> unwatched_;  // region root (full path) -> snapshot
  bool rootMissing_ = false;
  // The folder was found empty while the database listed items; its rows
  // are fetched again once it holds items (lookForRefill).
  bool rootFoundEmpty_ = false;
  // Renames pending when the root went, handed on when it is back.
  std::vector<EventCoalescer::Operation> heldRenames_;
  // The folder the root was when last taken up (device, inode). The same
  // folder back again holds what the user did to it, removals included;
  // another folder at its place (a copy put back, a volume half mounted)
  // says nothing about what the user removed.
  std::optional<std::pair<std::uint64_t, std::uint64_t>> rootIdentity_;
  bool rootBackSameFolder_ = false;
  // Former names handed on as renamed while the root is taken up again
  // (relative): their rows are not read as removals.
  std::vector<std::string> renamedOnRootBack_;
  std::optional<Clock::TimePoint> nextRescan_;

  std::atomic<bool> flushRequested_{false};
  std::atomic<bool> overflowRequested_{false};
  std::atomic<bool> losingEvents_{false};
  std::atomic<bool> startComparisonRequested_{false};
  std::atomic<std::uint64_t> loopTurns_{0};
  std::atomic<bool> watchLimitReached_{false};
  std::atomic<std::size_t> watchCount_{0};
  std::vector<char> readBuffer_;
  std::jthread thread_;
};

}  // namespace ulmora
