#pragma once

#include <cstdint>

namespace ulmora {

// Receives the pending-upload and pending-download totals counted in the
// local database (UMDatabaseWrapper). The sync controller implements it; the
// calls come on the counting thread, always in the order
// SetTotal...Count, SetTotal...Size, ResetNecessaryVariablesFor..., SetQueriedFor...(true).
class DatabaseTotalsDelegate {
 public:
  virtual ~DatabaseTotalsDelegate() = default;

  virtual void SetTotalBackupCount(int64_t count) = 0;
  virtual void SetTotalBackupSize(int64_t bytes) = 0;
  virtual void ResetNecessaryVariablesForBackup() = 0;
  virtual void SetQueriedForBackup(bool queried) = 0;

  virtual void SetTotalRestoreCount(int64_t count) = 0;
  virtual void SetTotalRestoreSize(int64_t bytes) = 0;
  virtual void ResetNecessaryVariablesForRestore() = 0;
  virtual void SetQueriedForRestore(bool queried) = 0;
};

}  // namespace ulmora
