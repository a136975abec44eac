#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ThreadAnnotations.h"
#include "database/DatabaseTotalsDelegate.h"

namespace ulmora {

// Counts what is left to upload (BACKUP_STATUS "0") or to download
// (RESTORE_STATUS "0") in the account's file-state database and hands count
// and byte total to the delegate. Nothing is delivered when the database is
// missing or cannot be read.
//
// Thread-safety: both methods may be called from any thread; counts run one
// at a time, each on its own short-lived connection.
class UMDatabaseWrapper {
 public:
  explicit UMDatabaseWrapper(DatabaseTotalsDelegate& delegate) : delegate_(delegate) {}

  void totalNumberOfFilesAndSizeToBackup(const std::string& dbFolder, const std::string& user);
  void totalNumberOfFilesAndSizeToRestore(const std::string& dbFolder, const std::string& user);

 private:
  struct Totals {
    int64_t count = 0;
    int64_t bytes = 0;
  };
  std::optional<Totals> countPending(const std::string& dbFolder, const std::string& user,
                                     const char* sql);

  DatabaseTotalsDelegate& delegate_;
  Mutex mutex_;
};

}  // namespace ulmora
