#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ulmora::kvt {

// A storage failure the engine cannot work around (disk full, a corrupt
// database). It ends the run with "umkvt error:"; main() catches it, so it
// never leaves the process.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One prepared statement; values only through bound parameters.
class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  SqliteStatement& bind(int index, int64_t value);
  // Paths are bytes, so they are stored and compared as blobs.
  SqliteStatement& bindBlob(int index, std::string_view bytes);
  SqliteStatement& bindText(int index, std::string_view text);

  // True while a row is available; false when done. Throws on failure.
  bool step();
  // Runs a statement that returns no row, then resets it.
  void run();
  void reset();

  int64_t int64(int column) const;
  std::string blob(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// The account database: WAL, a 10 s busy time-out so that engines of other
// agents wait for each other rather than fail.
class SqliteDb {
 public:
  explicit SqliteDb(const std::string& path);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  void exec(const char* sql);
  std::unique_ptr<SqliteStatement> prepare(std::string_view sql);
  int64_t changes() const;
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// BEGIN IMMEDIATE on construction (the write lock is taken up front, so two
// engines never both read and then both write); ROLLBACK unless commit() ran.
// Inside an already open transaction it is a savepoint instead, so that one
// failed item never leaves half its changes in the surrounding batch.
class WriteTransaction {
 public:
  explicit WriteTransaction(SqliteDb& db, bool nested = false);
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  void commit();

 private:
  SqliteDb& db_;
  bool nested_;
  bool done_ = false;
};

}  // namespace ulmora::kvt
