#include "database/SqliteConnection.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileUtil.h"

namespace ulmora {
namespace {

// SQLite would create the file with 0644; creating it ourselves first keeps
// it (and the -wal/-shm files, which copy its mode) owner-only.
bool createOwnerOnlyFile(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, fileutil::kOwnerOnlyFile);
  if (fd < 0) {
    if (errno == EEXIST) return true;
    if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(fd, fileutil::kOwnerOnlyFile);
  ::close(fd);
  return true;
}

int flagsFor(SqliteConnection::OpenMode mode) {
  // NOMUTEX: the owner serialises use; SQLite's own mutex would only cost time.
  int flags = SQLITE_OPEN_NOMUTEX;
  switch (mode) {
    case SqliteConnection::OpenMode::kReadOnly:
      return flags | SQLITE_OPEN_READONLY;
    case SqliteConnection::OpenMode::kReadWrite:
      return flags | SQLITE_OPEN_READWRITE;
    case SqliteConnection::OpenMode::kCreate:
      return flags | SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  }
  return flags;
}

}  // namespace

std::unique_ptr<SqliteConnection> SqliteConnection::open(const std::string& path, OpenMode mode,
                                                          std::string* error) {
  if (mode == OpenMode::kCreate && !createOwnerOnlyFile(path, error)) return nullptr;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, flagsFor(mode), nullptr);
  if (rc != SQLITE_OK) {
    if (error) *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, static_cast<int>(kBusyTimeout.count()));
  return std::unique_ptr<SqliteConnection>(new SqliteConnection(db, path));
}

SqliteConnection::~SqliteConnection() {
  cache_.clear();
  sqlite3_close_v2(db_);
}

bool SqliteConnection::exec(std::string_view sql) {
  std::string text(sql);
  return sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::optional<std::string> SqliteConnection::queryText(std::string_view sql) {
  auto stmt = prepare(sql);
  if (!stmt || stmt->step() != SqliteStatement::Step::kRow) return std::nullopt;
  return stmt->columnText(0);
}

std::unique_ptr<SqliteStatement> SqliteConnection::prepare(std::string_view sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return nullptr;
  }
  return std::make_unique<SqliteStatement>(stmt);
}

SqliteStatement* SqliteConnection::cached(std::string_view sql) {
  auto it = cache_.find(sql);
  if (it != cache_.end()) return it->second.get();
  auto stmt = prepare(sql);
  if (!stmt) return nullptr;  // not kept: the table may exist on the next try
  SqliteStatement* raw = stmt.get();
  cache_.emplace(std::string(sql), std::move(stmt));
  return raw;
}

int64_t SqliteConnection::changes() const { return sqlite3_changes64(db_); }

std::string SqliteConnection::lastError() const { return sqlite3_errmsg(db_); }

bool SqliteConnection::isUnreadableFileError() const {
  int primary = sqlite3_extended_errcode(db_) & 0xff;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

bool SqliteConnection::isBusyError() const {
  int primary = sqlite3_extended_errcode(db_) & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

}  // namespace ulmora
