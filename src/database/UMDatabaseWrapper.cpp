#include "database/UMDatabaseWrapper.h"

#include "database/DatabaseTrace.h"
#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

// FILE_SIZE is text; "NA" and other non-numbers count as 0 bytes.
constexpr const char* kPendingUploads =
    "SELECT COUNT(*), COALESCE(SUM(CAST(FILE_SIZE AS INTEGER)), 0) FROM FILE_TABLE"
    " WHERE BACKUP_STATUS = '0'";
constexpr const char* kPendingDownloads =
    "SELECT COUNT(*), COALESCE(SUM(CAST(FILE_SIZE AS INTEGER)), 0) FROM FILE_TABLE"
    " WHERE RESTORE_STATUS = '0'";

}  // namespace

void UMDatabaseWrapper::totalNumberOfFilesAndSizeToBackup(const std::string& dbFolder,
                                                          const std::string& user) {
  MutexLock lock(mutex_);
  std::optional<Totals> totals = countPending(dbFolder, user, kPendingUploads);
  if (!totals) return;
  delegate_.SetTotalBackupCount(totals->count);
  delegate_.SetTotalBackupSize(totals->bytes);
  delegate_.ResetNecessaryVariablesForBackup();
  delegate_.SetQueriedForBackup(true);
}

void UMDatabaseWrapper::totalNumberOfFilesAndSizeToRestore(const std::string& dbFolder,
                                                           const std::string& user) {
  MutexLock lock(mutex_);
  std::optional<Totals> totals = countPending(dbFolder, user, kPendingDownloads);
  if (!totals) return;
  delegate_.SetTotalRestoreCount(totals->count);
  delegate_.SetTotalRestoreSize(totals->bytes);
  delegate_.ResetNecessaryVariablesForRestore();
  delegate_.SetQueriedForRestore(true);
}

std::optional<UMDatabaseWrapper::Totals> UMDatabaseWrapper::countPending(
    const std::string& dbFolder, const std::string& user, const char* sql) {
  std::optional<std::string> path = filestate::databasePath(dbFolder, user);
  if (!path || !fileutil::exists(*path)) return std::nullopt;
  std::string error;
  auto db = filestate::openForQueries(*path, &error);
  if (!db) {
    databaseTrace("UMDatabaseWrapper: cannot open " + *path + ": " + error);
    return std::nullopt;
  }
  auto stmt = db->prepare(sql);
  if (!stmt || stmt->step() != SqliteStatement::Step::kRow) {
    databaseTrace("UMDatabaseWrapper: cannot count in " + *path + ": " + db->lastError());
    return std::nullopt;
  }
  return Totals{stmt->columnInt64(0), stmt->columnInt64(1)};
}

}  // namespace ulmora
