#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "database/DatabaseTrace.h"

namespace ulmora {

class SqliteConnection;

// Keeps one query connection to a database file open across calls, instead
// of opening the file for every look-up, and notices when the file was
// removed or replaced (then the next call opens the new one, or answers
// "no database").
//
// Thread-safety: none; the owning wrapper holds its lock around every use.
class CachedDatabaseConnection {
 public:
  CachedDatabaseConnection();
  ~CachedDatabaseConnection();

  // The connection for `path`; nullptr when there is no database there (or
  // it cannot be opened, which is traced once).
  SqliteConnection* get(const std::string& path);

  // A statement on the connection failed. A file that turned out to be
  // damaged or not a database is traced (once) and the connection dropped.
  void reportFailure(const std::string& what);

 private:
  std::unique_ptr<SqliteConnection> connection_;
  std::string path_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  RepeatedFailureTrace failures_;
};

}  // namespace ulmora
