#pragma once

#include <optional>
#include <string>
#include <vector>

#include "database/RDDataBase.h"
#include "journal/RenameEntry.h"

namespace ulmora {

// What the watcher, the folder scans and DBManager hand the account's event
// journal writer. Producers only queue entries; the writer turns them into
// journal files on its own thread. Entries arrive in batches so that a burst
// of thousands of changes costs one lock per batch, not one per path.
//
// Paths: addBackupFiles, addDirectory and addDeleteFiles take full paths
// from the watcher and the first scan, and the database's relative paths
// from DBManager (the writer accepts both forms). Renames are relative to the
// sync root. Batches are never empty.
//
// Thread-safety: called from the watcher thread, the DBManager thread and
// scan threads at once; implementations must be thread-safe.
class CaptureJournalSink {
 public:
  virtual ~CaptureJournalSink() = default;

  // Files created or modified, to upload.
  virtual void addBackupFiles(const std::vector<std::string>& paths) = 0;
  // Folders created, to create on the server.
  virtual void addDirectory(const std::vector<std::string>& paths) = 0;
  // Items removed. Order matters against renames: the writer keeps one
  // ordered event list for both, in call order.
  virtual void addDeleteFiles(const std::vector<std::string>& paths) = 0;
  virtual void addRenamedFiles(const std::vector<RenameEntry>& renames) = 0;

  // Each path is queued as the restore entry {path: "NA"}.
  virtual void addRestoreFiles(const std::vector<std::string>& paths) = 0;
  virtual void addOBBackupFiles(const std::vector<std::string>& paths) = 0;
  // Each path is queued as the Out-of-Box restore entry {path: "NA"}.
  virtual void addOBRestoreFiles(const std::vector<std::string>& paths) = 0;

  // DBManager's query of the paths to upload has ended (sent before those
  // paths are queued with addBackupFiles).
  virtual void mainDBQueryFinished(const std::vector<std::string>& paths) = 0;
  // DBManager's query of the rename/delete database has ended; nullopt when
  // the database could not be read.
  virtual void RDDBQueryFinished(const std::optional<RDDataBaseRows>& rows) = 0;
};

}  // namespace ulmora
