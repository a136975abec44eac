#include "database/SqliteStatement.h"

#include <sqlite3.h>

namespace ulmora {

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement& SqliteStatement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  return *this;
}

bool SqliteStatement::bindText(int index, std::string_view text) {
  // SQLITE_TRANSIENT: the caller's buffer may be gone before step(). A null
  // pointer would bind SQL NULL rather than "".
  const char* data = text.data() ? text.data() : "";
  return sqlite3_bind_text64(stmt_, index, data, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8) ==
         SQLITE_OK;
}

bool SqliteStatement::bindBorrowedText(int index, std::string_view text) {
  const char* data = text.data() ? text.data() : "";
  return sqlite3_bind_text64(stmt_, index, data, text.size(), SQLITE_STATIC, SQLITE_UTF8) ==
         SQLITE_OK;
}

bool SqliteStatement::bindInt64(int index, int64_t value) {
  return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
}

bool SqliteStatement::bindNull(int index) { return sqlite3_bind_null(stmt_, index) == SQLITE_OK; }

SqliteStatement::Step SqliteStatement::step() {
  switch (sqlite3_step(stmt_)) {
    case SQLITE_ROW:
      return Step::kRow;
    case SQLITE_DONE:
      return Step::kDone;
    default:
      return Step::kError;
  }
}

bool SqliteStatement::run() {
  Step s = step();
  sqlite3_reset(stmt_);
  return s == Step::kDone;
}

std::optional<std::string> SqliteStatement::columnText(int index) const {
  std::optional<std::string_view> view = columnView(index);
  if (!view) return std::nullopt;
  return std::string(*view);
}

std::optional<std::string_view> SqliteStatement::columnView(int index) const {
  if (sqlite3_column_type(stmt_, index) == SQLITE_NULL) return std::nullopt;
  // The text first, then its length: that order keeps the pointer valid.
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
  int bytes = sqlite3_column_bytes(stmt_, index);
  if (text == nullptr) return std::string_view("");
  return std::string_view(text, static_cast<size_t>(bytes));
}

int64_t SqliteStatement::columnInt64(int index) const { return sqlite3_column_int64(stmt_, index); }

bool SqliteStatement::columnIsNull(int index) const {
  return sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

}  // namespace ulmora
