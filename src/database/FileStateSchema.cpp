#include "database/FileStateSchema.h"

#include "platform/FileUtil.h"

namespace ulmora::filestate {
namespace {

// FILEPATH is compared bytewise (BINARY collation): folder ranges in the
// merge rely on that, and so do paths that are not UTF-8.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS FILE_TABLE ("
    " FILEPATH TEXT NOT NULL UNIQUE, FILE_LMD TEXT, FILE_SIZE TEXT, ENC_METHOD TEXT,"
    " ENC_PSWD TEXT, FILE_OR_FOLDER TEXT, BKSET_LMD TEXT, SYNC_DATE TEXT,"
    " BACKUP_STATUS TEXT, CDP TEXT, RESTORE_STATUS TEXT, REF_ID TEXT);"
    "CREATE INDEX IF NOT EXISTS FILE_TABLE_REF_ID ON FILE_TABLE (REF_ID);"
    "CREATE TABLE IF NOT EXISTS OB_FILE_TABLE ("
    " FILEPATH TEXT NOT NULL UNIQUE, FILE_LMD TEXT, FILE_SIZE TEXT, ENC_METHOD TEXT,"
    " ENC_PSWD TEXT, FILE_OR_FOLDER TEXT, BKSET_LMD TEXT, SYNC_DATE TEXT,"
    " BACKUP_STATUS TEXT, CDP TEXT, RESTORE_STATUS TEXT);"
    "CREATE TABLE IF NOT EXISTS MERGED_BATCHES (BATCH_ID TEXT PRIMARY KEY);";

constexpr const char* kMergeCacheSize = "PRAGMA cache_size=-32768";  // KiB

}  // namespace

bool isSafeName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::optional<std::string> databasePath(std::string_view folder, std::string_view name) {
  if (!isSafeName(name)) return std::nullopt;
  std::string file(name);
  file += kDatabaseExtension;
  return fileutil::joinPath(folder, file);
}

std::unique_ptr<SqliteConnection> openForQueries(const std::string& path, std::string* error) {
  return SqliteConnection::open(path, SqliteConnection::OpenMode::kReadWrite, error);
}

std::unique_ptr<SqliteConnection> openForMerge(const std::string& path, std::string* error) {
  auto conn = SqliteConnection::open(path, SqliteConnection::OpenMode::kCreate, error);
  if (!conn) return nullptr;
  // The first statement reads the header: a file that is not a database
  // fails here, before anything could be written to it.
  std::optional<std::string> mode = conn->queryText("PRAGMA journal_mode=WAL");
  if (!mode || *mode != "wal") {
    if (error) *error = conn->lastError();
    return nullptr;
  }
  // A batch is removed once its merge committed, so the commit must be on disk.
  // A batch of many rows dirties more pages than the default 2 MiB cache
  // holds; spilled pages would be written to the WAL, read back and written
  // again, several times over. The cache fills only as far as a merge needs.
  if (!conn->exec("PRAGMA synchronous=FULL") || !conn->exec(kMergeCacheSize) ||
      !conn->exec(kSchema)) {
    if (error) *error = conn->lastError();
    return nullptr;
  }
  return conn;
}

}  // namespace ulmora::filestate
