#pragma once

#include <optional>
#include <string>

#include "database/RDDataBase.h"

namespace ulmora {

// What the sync input queue needs from the account's sync controller. The
// controller implements it and hands it to the queue (setSyncInputHost).
//
// Thread-safety: called from the queue's writer thread and from the threads
// of the queue's callers; implementations must be thread-safe.
class SyncInputHost {
 public:
  virtual ~SyncInputHost() = default;

  // The account's sync root (full path); "" while unknown.
  virtual std::string getUlmoraSyncRootPath() = 0;
  // The sync user name: the name of the account's local databases.
  virtual std::string syncUserName() = 0;

  // Re-query the local database (after a reinitialise).
  virtual void queryMainDB(int option) = 0;

  // Whether the upload / download engine runs.
  virtual bool isBackupGoingOn() = 0;
  virtual bool isRestoreGoingOn() = 0;
  // Recount of pending uploads / downloads.
  virtual void SetQueryMainDBforCountBackup(bool query) = 0;
  virtual void GetTotalCountAndTotalSizeOfBackupFiles() = 0;
  virtual void SetQueryMainDBforCountRestore(bool query) = 0;
  virtual void GetTotalCountAndTotalSizeOfRestoreFiles() = 0;

  // The rows of the rename/delete database; nullopt when it could not be read.
  virtual void setOfflineDeleteRenamedFileInfo(const std::optional<RDDataBaseRows>& rows) = 0;
};

}  // namespace ulmora
