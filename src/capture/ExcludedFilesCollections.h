#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "capture/ExclusionRules.h"
#include "journal/RenameEntry.h"
#include "journal/SyncRootPath.h"

namespace ulmora {

class CaptureInputQueue;

// The account's exclusion rules and the short-lived filter sets of the sync
// cycle: what the sync itself is about to do to the sync folder, so that the
// watcher does not send it back to the server, and what a download has just
// written, so that it is not uploaded again.
//
// One instance per account, made by the composition root and handed to the
// watcher, the folder walks and the sync controller. There is no process-wide
// instance.
//
// Paths: the sets keyed by relative paths (avoid-upload, avoid-delete,
// renames, auto-deletes, folder creation, restore sets) accept either form;
// full paths under the sync root are made relative and every key is
// normalised (leading "/", no trailing "/"). The application's exclusion set
// and the file-information list hold full paths.
//
// Thread-safety: every method may be called from any thread. Each set has its
// own mutex; no method holds two of them at once, and none is held while the
// input queue is called or a file is read or written.
class ExcludedFilesCollections {
 public:
  struct Config {
    std::string syncRoot;
    // The preferences property list holding the exclusion rules.
    std::string preferencesPath;
    // Application files 113 (BackupFileEntries) and 114
    // (BackupFileEntriesAfterDelete).
    std::string backupFileEntriesPath;
    std::string backupFileEntriesAfterDeletePath;
    // Receives what filterversionRestoredFile decides; may be null (then
    // nothing is queued and a trace line says so).
    CaptureInputQueue* inputQueue = nullptr;
  };

  explicit ExcludedFilesCollections(Config config);
  ExcludedFilesCollections(const ExcludedFilesCollections&) = delete;
  ExcludedFilesCollections& operator=(const ExcludedFilesCollections&) = delete;

  void setSyncRootPath(std::string root);
  std::string syncRootPath() const;

  // --- Exclusion rules.
  // Loads the rules of `syncUser` from the preferences property list. A
  // missing or unreadable file gives the built-in defaults; false then.
  bool loadExcludedFileListFor(const std::string& syncUser);
  // Replaces the rules (tests, and callers that hold the lists already).
  void setExclusionLists(const ExclusionRules::Lists& lists);
  // The current rules; callers may keep the snapshot for a whole walk.
  std::shared_ptr<const ExclusionRules> exclusionRules() const;
  // A full path under the sync root or a relative one: whether the rules
  // exclude it. While the root is unknown only the item's own name counts.
  bool shouldExcludeFile(const std::string& path) const;
  // Whether a path relative to the sync root (with or without its leading
  // "/") is the root's cache folder or lies inside it: the agent's own
  // removed items and conflict copies, which never go to the server.
  static bool isInCacheFolder(std::string_view relativePath);

  // --- The application's own exclusion set (full paths). Counted: two
  // overlapping operations on one path each add and remove once.
  void addToExclude(const std::string& path);
  void removeFromExclude(const std::string& path);
  bool isExcludedByApplication(const std::string& path) const;

  // --- Renames the sync makes itself; the watcher drops each one once.
  void addToAvoidRename(const RenameEntry& rename);
  // Whether the rename was expected; a match is used up.
  bool consumeAvoidedRename(const RenameEntry& rename);
  void clearRenameFilter();

  // --- Items the sync deletes itself (folderAutoDeleted).
  void AaddToAvoidAutoDelete(const std::string& path);
  // Whether a delete of `path` is the sync's own: `path` is an entry or lies
  // below one. An entry is used up when its own delete arrives.
  bool consumeAutoDelete(const std::string& path);
  void clearAutoDeleteList();

  // --- Folders the sync creates itself.
  void setFoldersFromRestore(const std::set<std::string>& serverFolderPaths);
  void addToAvoidFolderCreation(const std::string& path);
  bool isFolderCreationAvoided(const std::string& path) const;
  void clearFolderCreationFilter();

  // --- Downloads: files a download writes (not to be uploaded back). A
  // mark is set when the download is queued, and the download's report of
  // the file notes the written file's size and date (downloadWritten; a
  // report finding no mark sets one, as for a download queued again after
  // the failed run that ended its mark). An upload entry of a marked path
  // is then:
  //  - left out while the download has not written the file: what is there
  //    is still the old copy, and sending it would replace the server's
  //    newer one;
  //  - recorded in sync when the file is still the very one the download
  //    wrote. The mark stays: one download's write can be preceded by an
  //    older entry of the path (the previous download's, still on its way),
  //    and the entry of this write must not find the mark gone;
  //  - uploaded when the file changed after the download wrote it (any
  //    change: content, date or mode); the mark ends then.
  // releasePendingDownloads(stillQueued) ends, at the end of a download run,
  // the marks of downloads that never wrote: marks set before the run began
  // (downloadRunStarting) that no download still queued will write (the
  // run's own files it failed to fetch, a cancelled run's, downloads dropped
  // before any run took them). A mark set while it ran, or one of a download
  // still queued for a later run, stays: it keeps the old copy from being
  // sent back until that download writes the file. Left in place, a mark of
  // a download that never comes would hold back the file's later edits.
  void addToAvoidBackup(const std::string& path);
  // The size and modification time (nanoseconds since the epoch) the
  // queued download of `path` writes: a report finding the file otherwise
  // came after an edit on top of the written file, whose facts are then
  // not the download's.
  void expectDownload(const std::string& path, int64_t size, int64_t modifiedNs);
  // `reportedSize`: the size the download's report gives; the written file
  // is the server's version only while its size is that (see
  // versionDownloadedHere).
  void downloadWritten(const std::string& path, std::string_view reportedSize = {});
  void downloadRunStarting();
  void releasePendingDownloads(const std::vector<std::string>& stillQueued);
  // The file a download wrote at `path` was changed since, and the row does
  // not tell: its upload entry has not been handled yet (the row may then
  // record the edit as the downloaded copy), or its upload has not arrived
  // (the row still records the version before the download).
  bool isChangedSinceDownload(const std::string& path) const;
  // A download of `path` wrote the file after the path was last queued for
  // download, and the file is still as written (of `queuedSize` bytes, when
  // the queued entry gives a size): what that entry asks for is here. A
  // listing held back while the download ran lists the same record again
  // and queues the path a second time; counted as pending, that entry keeps
  // the listing index back and makes the next set the same as the last one,
  // which waits the repeated-set minute for nothing. A newer version queued
  // after the write sets the mark afresh (addToAvoidBackup) and still counts.
  bool downloadWrittenSinceQueued(const std::string& path, std::optional<int64_t> queuedSize = std::nullopt) const;
  // The file at `path` (full or relative) is still the very one its
  // download's report noted: the watcher's event of that write carries
  // nothing the report did not queue already, and need not be captured.
  // False while the report has not come (the write may then be an edit on
  // top of the download), and once anything changed the file since.
  bool isUntouchedDownload(const std::string& path) const;
  // Expected sizes of files being downloaded, against which half-received
  // files are judged. Never consulted for a user's delete.
  void addToAvoidDelete(const std::string& path, const std::string& size);
  // True when no size is recorded for `path`, or when `currentSize` is
  // numerically not greater than the recorded size and differs from it as
  // text; false otherwise.
  bool shouldDelete(const std::string& path, const std::string& currentSize) const;
  void clearDeleteFilter();

  // --- Paths being downloaded by engine one and engine two.
  void addToRestoreSetOfEngineOne(const std::string& path);
  void addToRestoreSetOfEngineTwo(const std::string& path);
  bool isBeingRestored(const std::string& path) const;
  void clearRestoreSetOfEngineOne();
  void clearRestoreSetOfEngineTwo();

  // --- Full paths whose file information the sync changed itself; the
  // watcher ignores attribute-only changes of them.
  void addTomFileInfoChangedManualyList(const std::string& fullPath);
  std::vector<std::string> mFileInfoChangedList() const;
  bool isFileInfoChangedManualy(const std::string& fullPath) const;
  void clearFileInfoChangedList();

  // --- Folders found empty during a reinitialise (stored with a trailing "/").
  void addEmptyFolderDuringReintialze(const std::string& path);
  std::vector<std::string> emptyFoldersDuringReintialze() const;
  // Drops `path`, given with or without its trailing "/".
  void removeEmptyFolderFromList(const std::string& path);

  // --- A sync folder found empty while the database lists items (a volume
  // not mounted), set by the watcher until it has asked for what the folder
  // lacks. Meanwhile a missing file tells nothing about the user's intent:
  // its upload entry is dropped, its row is kept for that fetch.
  void setRootFoundEmpty(bool empty) { rootFoundEmpty_.store(empty); }
  bool rootFoundEmpty() const { return rootFoundEmpty_.load(); }

  // --- Filters of the sync cycle.
  // Names an upload left out in the session log (escaped), once until the
  // path is uploaded; also for the watcher, for a name no list can carry.
  void noteRefusedUpload(const std::string& relativePath, const std::string& why);
  // Where those lines go; empty (the default): the process-wide interactive
  // session log.
  void setRefusedUploadLog(std::function<void(const std::string& line)> log);
  // Relative paths of an upload list. Paths in the avoid-upload set leave
  // it and are queued as {path: "Backup"} (recorded in sync); paths whose
  // file is gone are queued for removal from the database; the rest come
  // back in order. Left out as well, each named once in the session log
  // (escaped): paths whose name the change lists cannot carry (not UTF-8, a
  // line break or another control character; the other computer's download
  // list would refuse them, so they never reach the service either), and
  // files the agent cannot read (they come back with the attribute change
  // that makes them readable). nullopt when nothing remains. `seenInRow`
  // answers, for a path whose file is gone, the server version its row
  // recorded, read before its removal is queued (see rowGoesWithFile).
  struct SeenAtRename;
  using SeenInRow = std::function<std::optional<SeenAtRename>(const std::string& relativePath)>;
  std::optional<std::vector<std::string>> filterversionRestoredFile(
      const std::vector<std::string>& relativePaths, const SeenInRow& seenInRow = {});
  // The relative paths whose item no longer exists under the sync root.
  std::vector<std::string> filterDeletedFolderToavoid(
      const std::vector<std::string>& relativePaths) const;
  // Deleted relative paths against the running upload set (file 113): when
  // an entry was deleted or lies under a deleted folder, writes the entries
  // still to upload, then the earlier entries of file 114, to file 114 (one
  // per line, deleted ones and repeats left out) and answers true.
  bool isInBackupList(const std::vector<std::string>& deletedRelativePaths);

  // What tells the file a download wrote from any later change of it: the
  // same inode, untouched since (its change time moves with every write,
  // rename, mode or date change, though only by the clock's tick: the size,
  // dates and mode tell the changes of one tick).
  struct FileFacts {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint32_t mode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const FileFacts&) const = default;
  };

  // --- What this computer's own transfers left on the server. A finished
  // file's row is written behind, seconds to minutes later, and then with
  // the facts the file has at that time: until the row records the version
  // a transfer left, it names an older one (or a later edit), and the
  // file's next upload from here would be refused as over another
  // computer's version; and the capture may take a download's write and an
  // edit or a rename over it as one change, after which the row records
  // nothing before that upload is done. So the last transfer of each file,
  // a download's report (downloadWritten) or an upload's arrival, is kept
  // here: the file as it is then, while its size is the one reported (else
  // what the server holds is not known here and nothing is kept). It lasts
  // until the row records the same version (versionAheadOfRow), the next
  // transfer of the path finishes, or a download of the path is queued.
  void uploadArrived(const std::string& path, std::string_view reportedSize);
  // The file a download last wrote at `path`, as long as no upload of the
  // path arrived since: the version this computer last saw of the server's
  // file.
  std::optional<FileFacts> versionDownloadedHere(const std::string& path) const;
  // The version the last transfer of `path` left, while the row's version
  // (`rowSizeAndSeconds`: size, modification time in whole seconds; nullopt
  // when the row names none) is another; a row recording the same version
  // ends it, and nullopt comes back: the row says it then.
  std::optional<FileFacts> versionAheadOfRow(const std::string& path,
                                             std::optional<std::pair<int64_t, int64_t>> rowSizeAndSeconds);

  // A rename made here reached the server: its file at `to` is the one that
  // was at `from`, yet the row of `to` names no version until a listing
  // brings the rename back, and an upload of an edit at `to` would replace
  // whatever the server holds. So the version this computer last saw at
  // `from` (`seenAtFrom`; nullopt: none) is kept for `to` until the row
  // records the same version (versionHandedOnByRename), a transfer of `to`
  // finishes, or a download of `to` is queued.
  struct SeenAtRename {
    int64_t size = 0;
    int64_t mtimeSeconds = 0;
    std::string refId;
    bool operator==(const SeenAtRename&) const = default;
  };
  void renamedHere(const std::string& from, const std::string& to, std::optional<SeenAtRename> seenAtFrom);
  // The row of `path` is removed because its file is gone here (deleted or
  // moved away, or an upload or download of it failed), while the delete
  // or rename that follows has not reached the server: that delete must
  // still trash only the version this computer last saw (`seenInRow`, what
  // the row recorded; nullopt keeps what is known already). It is kept for
  // `path` as a rename's is, until a row records it again, a transfer of
  // `path` finishes or a download of it is queued.
  void rowGoesWithFile(const std::string& path, std::optional<SeenAtRename> seenInRow);
  std::optional<SeenAtRename> versionHandedOnByRename(const std::string& path,
                                                      std::optional<std::pair<int64_t, int64_t>> rowSizeAndSeconds);
  // A rename made here to `path` reached the server and its file has not
  // been sent or fetched since (a version is still kept for it, above).
  bool isRenamedHereTo(const std::string& path) const;

 private:
  std::string relativeKey(std::string_view path) const;
  // A transfer of `path` finished, its report giving `reportedSize`: the
  // file there now, and whether it is still of that size (the version the
  // transfer left is known only then).
  struct FinishedFile {
    std::string key;
    std::optional<FileFacts> facts;
    bool asReported = false;
  };
  FinishedFile finishedFile(const std::string& path, std::string_view reportedSize) const;
  std::string fullKey(std::string_view path) const;

  const Config config_;  // syncRoot is superseded by root_

  mutable Mutex rootMutex_;
  std::string root_ ULMORA_GUARDED_BY(rootMutex_);

  mutable Mutex rulesMutex_;
  std::shared_ptr<const ExclusionRules> rules_ ULMORA_GUARDED_BY(rulesMutex_);
  ExclusionRules::Lists ruleLists_ ULMORA_GUARDED_BY(rulesMutex_);

  mutable Mutex excludeMutex_;
  std::map<std::string, int> excluded_ ULMORA_GUARDED_BY(excludeMutex_);

  mutable Mutex renameMutex_;
  std::multiset<RenameEntry> avoidRenames_ ULMORA_GUARDED_BY(renameMutex_);

  mutable Mutex autoDeleteMutex_;
  std::set<std::string> autoDeleted_ ULMORA_GUARDED_BY(autoDeleteMutex_);

  mutable Mutex folderCreationMutex_;
  std::set<std::string> avoidFolderCreation_ ULMORA_GUARDED_BY(folderCreationMutex_);

  mutable Mutex foldersFromRestoreMutex_;
  std::set<std::string> foldersFromRestore_ ULMORA_GUARDED_BY(foldersFromRestoreMutex_);

  // Why `relativePath` is not uploaded now; nullopt when it may be.
  static std::optional<std::string> whyNotUploadable(const SyncRootPath& root,
                                                     const std::string& relativePath);
  std::atomic<bool> rootFoundEmpty_{false};
  Mutex refusedUploadsMutex_;
  std::set<std::string> refusedUploads_ ULMORA_GUARDED_BY(refusedUploadsMutex_);  // named in the session log
  std::function<void(const std::string&)> refusedUploadLog_ ULMORA_GUARDED_BY(refusedUploadsMutex_);

  // What is kept of one path for its downloads and this computer's own
  // transfers: its upload mark, the version its last transfer left (see
  // uploadArrived) and the size its download is expected to reach
  // (addToAvoidDelete). One entry, one copy of the path and, while they are
  // the same, one copy of the file's facts for all three: a first sync
  // holds each for every file it fetches.
  struct PathFilters {
    // The mark: set when the download is queued (`sequence`), with what it
    // is expected to write (`expected`: size, modified ns) until its report
    // notes what it wrote (`facts`).
    bool marked = false;
    bool written = false;
    bool hasExpected = false;
    // The version the last transfer left: `facts` when they are the
    // written mark's or no mark is written, else `ownApart`.
    bool own = false;
    bool ownDownloaded = false;
    bool hasExpectedSize = false;
    uint64_t sequence = 0;
    std::pair<int64_t, int64_t> expected{};
    FileFacts facts;
    std::unique_ptr<FileFacts> ownApart;
    std::string expectedSize;

    bool empty() const { return !marked && !own && !hasExpectedSize; }
    const FileFacts& ownFacts() const { return ownApart ? *ownApart : facts; }
    void setMark(uint64_t markSequence) {
      marked = true;
      written = false;
      hasExpected = false;
      sequence = markSequence;
    }
    void dropMark() { marked = written = hasExpected = false; }
    void setWritten(const FileFacts& wrote) {
      if (own && !ownApart && !(wrote == facts)) ownApart = std::make_unique<FileFacts>(facts);
      written = true;
      facts = wrote;
    }
    void setOwn(const FileFacts& left, bool downloaded) {
      own = true;
      ownDownloaded = downloaded;
      if (marked && written && !(left == facts)) {
        ownApart = std::make_unique<FileFacts>(left);
        return;
      }
      ownApart.reset();
      if (!(marked && written)) facts = left;
    }
    void dropOwn() {
      own = ownDownloaded = false;
      ownApart.reset();
    }
  };
  const PathFilters* filtersOf(const std::string& key) const ULMORA_REQUIRES(avoidBackupMutex_);
  PathFilters* filtersOf(const std::string& key) ULMORA_REQUIRES(avoidBackupMutex_);
  // Applies `change` to the path's entry, if any, and drops the entry once
  // nothing is left in it.
  void changeFilters(const std::string& key, void (PathFilters::*change)()) ULMORA_REQUIRES(avoidBackupMutex_);

  mutable Mutex avoidBackupMutex_;
  std::unordered_map<std::string, PathFilters> pathFilters_ ULMORA_GUARDED_BY(avoidBackupMutex_);
  std::map<std::string, SeenAtRename> seenAtRename_ ULMORA_GUARDED_BY(avoidBackupMutex_);  // see renamedHere, rowGoesWithFile
  uint64_t markSequence_ ULMORA_GUARDED_BY(avoidBackupMutex_) = 0;
  uint64_t runStartSequence_ ULMORA_GUARDED_BY(avoidBackupMutex_) = 0;

  mutable Mutex restoreOneMutex_;
  std::set<std::string> restoreSetOne_ ULMORA_GUARDED_BY(restoreOneMutex_);

  mutable Mutex restoreTwoMutex_;
  std::set<std::string> restoreSetTwo_ ULMORA_GUARDED_BY(restoreTwoMutex_);

  mutable Mutex fileInfoMutex_;
  std::set<std::string> fileInfoChanged_ ULMORA_GUARDED_BY(fileInfoMutex_);

  mutable Mutex emptyFoldersMutex_;
  std::set<std::string> emptyFolders_ ULMORA_GUARDED_BY(emptyFoldersMutex_);
};

}  // namespace ulmora
