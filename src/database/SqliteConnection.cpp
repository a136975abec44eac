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
  // URI: attachReadOnly() needs "mode=ro"; every name is passed as a URI
  // (fileUri), so a path is never read as anything but a path.
  int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI;
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

// "file:" followed by the path with every byte other than unreserved ones
// and "/" percent-encoded, so "?", "#", "%" and non-ASCII bytes stay part of
// the name. An absolute path gets an empty authority ("file://" + path), so a
// path starting with "//" is not taken for a host.
std::string fileUri(std::string_view path, std::string_view query = {}) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = path.starts_with('/') ? "file://" : "file:";
  for (unsigned char c : path) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '/' || c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      uri.push_back(static_cast<char>(c));
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 0xf]);
    }
  }
  if (!query.empty()) {
    uri.push_back('?');
    uri.append(query);
  }
  return uri;
}

bool isPlainIdentifier(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  return true;
}

}  // namespace

std::unique_ptr<SqliteConnection> SqliteConnection::open(const std::string& path, OpenMode mode,
                                                          std::string* error) {
  if (mode == OpenMode::kCreate && !createOwnerOnlyFile(path, error)) return nullptr;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(fileUri(path).c_str(), &db, flagsFor(mode), nullptr);
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

bool SqliteConnection::attachReadOnly(const std::string& path, std::string_view alias) {
  if (!isPlainIdentifier(alias)) return false;
  auto stmt = prepare("ATTACH DATABASE ?1 AS " + std::string(alias));
  return stmt && stmt->bindText(1, fileUri(path, "mode=ro")) && stmt->run();
}

bool SqliteConnection::detach(std::string_view alias) {
  if (!isPlainIdentifier(alias)) return false;
  return exec("DETACH DATABASE " + std::string(alias));
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
