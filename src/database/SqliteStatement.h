#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3_stmt;

namespace ulmora {

// One prepared SQL statement. Values only ever reach SQL through the bind
// calls, never through the statement text.
//
// Made by SqliteConnection::prepare() or cached(); must not outlive its
// connection's use (the handle itself is closed lazily, so destroying the
// connection first is not a crash, only a waste).
//
// Thread-safety: none; it belongs to whoever holds its connection.
class SqliteStatement {
 public:
  enum class Step { kRow, kDone, kError };

  explicit SqliteStatement(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  // Rewinds and clears every binding, so a reused statement never carries a
  // value over from its previous use.
  SqliteStatement& reset();

  // Parameters are 1-based. Text is stored byte for byte (paths need not be
  // UTF-8).
  bool bindText(int index, std::string_view text);
  // Binds without copying: `text` must stay valid and unchanged until the
  // statement has been stepped to its end (run()) or reset(). For loops that
  // bind from storage outliving the step, where the copy is most of the cost.
  bool bindBorrowedText(int index, std::string_view text);
  bool bindInt64(int index, int64_t value);
  bool bindNull(int index);

  Step step();
  // Steps a statement that returns no rows; true when it finished cleanly.
  bool run();

  // Columns are 0-based. nullopt for SQL NULL.
  std::optional<std::string> columnText(int index) const;
  // The same without a copy; valid only until the next step() or reset().
  std::optional<std::string_view> columnView(int index) const;
  int64_t columnInt64(int index) const;
  bool columnIsNull(int index) const;

 private:
  sqlite3_stmt* stmt_;
};

}  // namespace ulmora
