#include "capture/FileStateDatabaseQueries.h"

#include <memory>
#include <utility>

#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

// nullptr, with a trace line, when the database is not there or cannot be
// opened. A missing file is normal before the first merge and is not traced.
std::unique_ptr<SqliteConnection> openDatabase(const std::string& folder, std::string_view name) {
  std::optional<std::string> path = filestate::databasePath(folder, name);
  if (!path) {
    traceLine("capture: no database name can be formed for the sync user");
    return nullptr;
  }
  if (!fileutil::exists(*path)) return nullptr;
  std::string error;
  std::unique_ptr<SqliteConnection> db = filestate::openForQueries(*path, &error);
  if (!db) traceLine("capture: cannot open " + *path + ": " + error);
  return db;
}

bool isTrue(const std::optional<std::string>& text) {
  // Booleans are stored as "1"/"0" or as a word; read them as Foundation did.
  return text && !text->empty() && (PropertyList(*text).boolValue());
}

}  // namespace

FileStateDatabaseQueries::FileStateDatabaseQueries(std::string dbFolder, std::string syncUser)
    : dbFolder_(std::move(dbFolder)), syncUser_(std::move(syncUser)) {}

std::optional<std::vector<std::string>> FileStateDatabaseQueries::pathsWithStatus(
    std::string_view sql) {
  MutexLock hold(mutex_);
  std::unique_ptr<SqliteConnection> db = openDatabase(dbFolder_, syncUser_);
  if (!db) return std::nullopt;
  std::unique_ptr<SqliteStatement> stmt = db->prepare(sql);
  if (!stmt || !stmt->bindText(1, "0")) {
    traceLine("capture: database query failed: " + db->lastError());
    return std::nullopt;
  }
  std::vector<std::string> paths;
  SqliteStatement::Step step;
  while ((step = stmt->step()) == SqliteStatement::Step::kRow) {
    std::optional<std::string> path = stmt->columnText(0);
    if (path && !path->empty()) paths.push_back(std::move(*path));
  }
  if (step == SqliteStatement::Step::kError) {
    traceLine("capture: database query failed: " + db->lastError());
    return std::nullopt;
  }
  return paths;
}

std::optional<std::vector<std::string>> FileStateDatabaseQueries::pathsToUpload() {
  return pathsWithStatus("SELECT FILEPATH FROM FILE_TABLE WHERE BACKUP_STATUS = ?1 ORDER BY FILEPATH");
}

std::optional<std::vector<std::string>> FileStateDatabaseQueries::pathsToDownload() {
  return pathsWithStatus(
      "SELECT FILEPATH FROM FILE_TABLE WHERE RESTORE_STATUS = ?1 ORDER BY FILEPATH");
}

std::optional<std::vector<std::string>> FileStateDatabaseQueries::outOfBoxPathsToUpload() {
  return pathsWithStatus(
      "SELECT FILEPATH FROM OB_FILE_TABLE WHERE BACKUP_STATUS = ?1 ORDER BY FILEPATH");
}

std::optional<std::vector<std::string>> FileStateDatabaseQueries::outOfBoxPathsToDownload() {
  return pathsWithStatus(
      "SELECT FILEPATH FROM OB_FILE_TABLE WHERE RESTORE_STATUS = ?1 ORDER BY FILEPATH");
}

std::optional<std::vector<LocalFileRow>> FileStateDatabaseQueries::fileRows() {
  MutexLock hold(mutex_);
  std::unique_ptr<SqliteConnection> db = openDatabase(dbFolder_, syncUser_);
  if (!db) return std::nullopt;
  std::unique_ptr<SqliteStatement> stmt = db->prepare(
      "SELECT FILEPATH, FILE_LMD, FILE_SIZE, FILE_OR_FOLDER, RESTORE_STATUS FROM FILE_TABLE");
  if (!stmt) {
    traceLine("capture: database query failed: " + db->lastError());
    return std::nullopt;
  }
  std::vector<LocalFileRow> rows;
  SqliteStatement::Step step;
  while ((step = stmt->step()) == SqliteStatement::Step::kRow) {
    LocalFileRow row;
    row.path = stmt->columnText(0).value_or("");
    if (row.path.empty()) continue;
    row.modificationDate = stmt->columnText(1).value_or("NA");
    row.size = stmt->columnText(2).value_or("NA");
    row.isFolder = isTrue(stmt->columnText(3));
    row.pendingDownload = stmt->columnText(4).value_or("") == "0";
    rows.push_back(std::move(row));
  }
  if (step == SqliteStatement::Step::kError) {
    traceLine("capture: database query failed: " + db->lastError());
    return std::nullopt;
  }
  return rows;
}

std::optional<RDDataBaseRows> FileStateDatabaseQueries::renameDeleteRows() {
  MutexLock hold(mutex_);
  std::unique_ptr<SqliteConnection> db = openDatabase(dbFolder_, rddatabase::kName);
  if (!db) return std::nullopt;
  std::optional<RDDataBaseRows> rows = rddatabase::queryRows(*db);
  if (!rows) traceLine("capture: rename/delete database query failed: " + db->lastError());
  return rows;
}

}  // namespace ulmora
