#include "database/CachedDatabaseConnection.h"

#include <sys/stat.h>

#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"

namespace ulmora {

CachedDatabaseConnection::CachedDatabaseConnection() = default;
CachedDatabaseConnection::~CachedDatabaseConnection() = default;

SqliteConnection* CachedDatabaseConnection::get(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    connection_.reset();  // missing: the "no database" answer, quietly
    return nullptr;
  }
  if (connection_ && path == path_ && st.st_dev == device_ && st.st_ino == inode_)
    return connection_.get();

  connection_.reset();
  std::string error;
  connection_ = filestate::openForQueries(path, &error);
  if (!connection_) {
    failures_.report("DataBaseWrapper: cannot open " + path + ": " + error);
    return nullptr;
  }
  path_ = path;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  return connection_.get();
}

void CachedDatabaseConnection::reportFailure(const std::string& what) {
  if (!connection_) return;
  if (connection_->isUnreadableFileError()) {
    failures_.report("DataBaseWrapper: " + path_ + " is damaged or not a database (" +
                     connection_->lastError() + ")");
    connection_.reset();
    return;
  }
  failures_.report("DataBaseWrapper: " + what + " on " + path_ + " failed: " +
                   connection_->lastError());
}

}  // namespace ulmora
