#include "SqliteDb.h"

namespace ulmora::kvt {
namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw StoreError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.data(), int(sql.size()), &stmt_, nullptr) != SQLITE_OK)
    fail(db, "prepare");
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement& SqliteStatement::bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) fail(db_, "bind");
  return *this;
}

SqliteStatement& SqliteStatement::bindBlob(int index, std::string_view bytes) {
  // A zero-length blob must still compare as a blob, never as NULL.
  if (sqlite3_bind_blob64(stmt_, index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                          SQLITE_TRANSIENT) != SQLITE_OK)
    fail(db_, "bind");
  return *this;
}

SqliteStatement& SqliteStatement::bindText(int index, std::string_view text) {
  if (sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                          SQLITE_UTF8) != SQLITE_OK)
    fail(db_, "bind");
  return *this;
}

bool SqliteStatement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  std::string message = sqlite3_errmsg(db_);
  sqlite3_reset(stmt_);
  throw StoreError("step: " + message);
}

void SqliteStatement::run() {
  while (step()) {
  }
  reset();
}

void SqliteStatement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t SqliteStatement::int64(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string SqliteStatement::blob(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(static_cast<const char*>(data), size_t(size)) : std::string();
}

SqliteDb::SqliteDb(const std::string& path) {
  // A link in the storage folder is never followed.
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("open " + path + ": " + message);
  }
  sqlite3_busy_timeout(db_, 10000);
}

SqliteDb::~SqliteDb() { sqlite3_close(db_); }

void SqliteDb::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw StoreError(message);
  }
}

std::unique_ptr<SqliteStatement> SqliteDb::prepare(std::string_view sql) {
  return std::make_unique<SqliteStatement>(db_, sql);
}

int64_t SqliteDb::changes() const { return sqlite3_changes64(db_); }

WriteTransaction::WriteTransaction(SqliteDb& db, bool nested) : db_(db), nested_(nested) {
  db_.exec(nested_ ? "SAVEPOINT item" : "BEGIN IMMEDIATE");
}

WriteTransaction::~WriteTransaction() {
  if (done_) return;
  char* error = nullptr;
  sqlite3_exec(db_.handle(), nested_ ? "ROLLBACK TO item; RELEASE item" : "ROLLBACK", nullptr,
               nullptr, &error);
  sqlite3_free(error);
}

void WriteTransaction::commit() {
  db_.exec(nested_ ? "RELEASE item" : "COMMIT");
  done_ = true;
}

}  // namespace ulmora::kvt
