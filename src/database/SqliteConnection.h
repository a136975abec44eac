#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "database/SqliteStatement.h"

struct sqlite3;

namespace ulmora {

// An open SQLite database file (RAII: closed with the object).
//
// Every connection gets a busy timeout, so that the merge thread and the
// readers of the same file wait for each other instead of failing.
//
// Thread-safety: none. Each connection has one owner, which serialises its
// use (the wrappers hold a mutex around every use).
class SqliteConnection {
 public:
  enum class OpenMode {
    kReadOnly,
    kReadWrite,  // the file must exist
    kCreate,     // a missing file is created owner-only (0600) first
  };
  static constexpr std::chrono::milliseconds kBusyTimeout{5000};

  // nullptr when the file cannot be opened; `error` (optional) says why. A
  // file that exists but is not a database still opens: the first statement
  // reports it (see isUnreadableFileError()).
  static std::unique_ptr<SqliteConnection> open(const std::string& path, OpenMode mode,
                                                std::string* error = nullptr);

  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  const std::string& path() const { return path_; }

  // Runs statements that take no values (schema, pragmas).
  bool exec(std::string_view sql);
  // The first column of the first row of a parameterless query ("PRAGMA ...").
  std::optional<std::string> queryText(std::string_view sql);

  // nullptr (and lastError()) when the text does not compile.
  std::unique_ptr<SqliteStatement> prepare(std::string_view sql);
  // A statement kept by this connection for repeated use, prepared once.
  // The pointer stays valid as long as the connection. Callers reset() it
  // before binding.
  SqliteStatement* cached(std::string_view sql);

  // Makes another database file readable on this connection as `alias`
  // (a plain identifier of the caller's, never a value), read-only: a
  // missing file is an error, never created. Outside a transaction only.
  bool attachReadOnly(const std::string& path, std::string_view alias);
  // Undoes attachReadOnly(); outside a transaction, with no statement of
  // this connection still reading the attached file.
  bool detach(std::string_view alias);

  // Rows changed by the last INSERT, UPDATE or DELETE.
  int64_t changes() const;

  std::string lastError() const;
  // The file is not a database or is damaged: it must be reported, never
  // rewritten.
  bool isUnreadableFileError() const;
  bool isBusyError() const;

 private:
  SqliteConnection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

  sqlite3* db_;
  std::string path_;
  std::map<std::string, std::unique_ptr<SqliteStatement>, std::less<>> cache_;
};

}  // namespace ulmora
