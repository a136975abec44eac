#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "database/BackupStatusAndRefId.h"
#include "platform/Clock.h"
#include "journal/RenameEntry.h"

namespace ulmora {

// What the server road (listings, record decisions, downloads, the cache)
// uses of its neighbours, each as a small interface so that tests build the
// road with fakes. The adapters over the real objects are in
// ServerRoadAdapters.h. Paths are relative to the sync root ("/a/b")
// unless a name says "full".
//
// Thread-safety: implementations must be callable from the listing worker
// and the main thread alike (the real objects lock themselves).

// The sync input queue.
class SyncQueuePort {
 public:
  using Entries = std::map<std::string, std::string>;
  virtual ~SyncQueuePort() = default;

  virtual void addFileToUpdate(const Entries& entries) = 0;
  virtual void addToUpdateRefID(const Entries& entries) = 0;
  virtual void addRestoreFiles(const Entries& entries) = 0;
  virtual void addFileToDelete(const std::string& path) = 0;
  virtual void addFileToRename(const RenameEntry& entry) = 0;
  virtual void addFileToBackup(const std::string& path) = 0;
  // A full path to upload.
  virtual void addBackupFiles(const std::string& fullPath) = 0;
  // The path the database records for a reference id (relative or full).
  virtual std::optional<std::string> getFilePathforRefID(const std::string& refId) = 0;
  virtual void addNotificationFilesInfo() = 0;
  virtual void deleteFileFor(const std::string& code, bool onlyReadItems) = 0;
  // A delete (relative path) for the server, sent like one the user made.
  virtual void addServerDelete(const std::string& relativePath) = 0;

  // Downloads waiting anywhere; reads folder 105 afresh.
  virtual std::vector<std::string> pendingDownloadsFresh() = 0;
  virtual std::size_t restoreFileCollection() = 0;
  virtual std::size_t restoreSetWhichWritingToFile() = 0;
  virtual void ClearRestorePendingSet() = 0;
};

// The change capture's filter sets.
class CaptureFilterPort {
 public:
  virtual ~CaptureFilterPort() = default;

  virtual void addToExclude(const std::string& fullPath) = 0;
  virtual void removeFromExclude(const std::string& fullPath) = 0;
  virtual void addToAvoidRename(const RenameEntry& entry) = 0;
  virtual void addToAvoidDelete(const std::string& path, const std::string& size) = 0;
  virtual bool shouldDelete(const std::string& path, const std::string& currentSize) = 0;
  virtual void AaddToAvoidAutoDelete(const std::string& path) = 0;
  virtual void addToAvoidBackup(const std::string& path) = 0;
  // What the download of `path` writes (after addToAvoidBackup).
  virtual void expectDownload(const std::string& path, int64_t size, Clock::WallTime modified) = 0;
  virtual bool isChangedSinceDownload(const std::string& path) = 0;
  // The paths of a download run about to start, until the run ends: a file
  // among them may be missing meanwhile without being the user's delete.
  virtual void downloadsUnderWay(const std::vector<std::string>& paths) = 0;
  // The file a download last wrote at `path` (which the row may not record
  // yet), by its size and modification time.
  struct DownloadedFile {
    int64_t size = 0;
    Clock::WallTime modified;
  };
  virtual std::optional<DownloadedFile> versionDownloadedHere(const std::string& path) = 0;
  // A rename made here to `path` reached the server, and nothing was sent to
  // or fetched at `path` since.
  virtual bool isRenamedHereTo(const std::string& path) = 0;
  // A download wrote `path` after it was last queued, and the file is still
  // that write (of `queuedSize` bytes, when that is a number): the queued
  // entry asks for nothing more.
  virtual bool downloadWrittenSinceQueued(const std::string& path, const std::string& queuedSize) = 0;
  virtual void addTomFileInfoChangedManualyList(const std::string& fullPath) = 0;
  virtual void clearRenameFilter() = 0;
  virtual void clearAutoDeleteList() = 0;
  virtual void setFoldersFromRestore(const std::set<std::string>& paths) = 0;
  virtual void addToAvoidFolderCreation(const std::string& fullPath) = 0;
  virtual std::vector<std::string> emptyFoldersDuringReintialze() = 0;
  virtual void removeEmptyFolderFromList(const std::string& path) = 0;
  virtual bool shouldExcludeFile(const std::string& path) = 0;
};

// The local database's answers about one file.
class FileStatusPort {
 public:
  virtual ~FileStatusPort() = default;

  virtual bool backupStatus(const std::string& path) = 0;
  virtual bool restoreStatus(const std::string& path) = 0;
  virtual std::optional<BackupStatusAndRefId> backupStatusAndRefId(const std::string& path) = 0;
  // 0, 1, ...; 2 when there is no row.
  virtual int backupStatusDuringMismatch(const std::string& path) = 0;
  virtual std::optional<std::string> fileNameForRefId(const std::string& refId) = 0;
  // nullopt without a row.
  virtual std::optional<RecordedFileFacts> recordedFacts(const std::string& path) = 0;
};

// Selective sync: whether a path lies inside a folder left out of sync.
class SelectiveSyncCheck {
 public:
  virtual ~SelectiveSyncCheck() = default;
  virtual bool checkForFileisUnderSSyncSet(const std::string& path) = 0;
};

}  // namespace ulmora

namespace ulmora {

// The recent-items list of the companions (" - Auto Deleted", " - Auto
// Renamed" entries for what the sync changed locally).
class RecentItemsPort {
 public:
  virtual ~RecentItemsPort() = default;
  virtual void setRecentlyModifiedItems(const std::string& fullPath, const std::string& operation) = 0;
};

}  // namespace ulmora

namespace ulmora {

// The session logs of the sync's own deletions and renames.
class SyncSessionLogPort {
 public:
  virtual ~SyncSessionLogPort() = default;
  virtual void syncDeleted(const std::string& relativePath) = 0;
  virtual void syncRenamed(const std::string& oldRelative, const std::string& newRelative) = 0;
  // A local copy was set aside so that the server's copy can take its place:
  // the user learns where it went.
  virtual void conflictCopyKept(const std::string& relativePath, const std::string& copyRelative) = 0;
};

}  // namespace ulmora
