#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ulmora {

class CompanionMessenger;

// What an account's sync controller asks of the object that owns it (the
// per-account controller of the composition root). The owner outlives the
// sync controller.
//
// Thread-safety: every method may be called from any thread.
class SyncControllerOwner {
 public:
  virtual ~SyncControllerOwner() = default;

  virtual std::string syncRootPath() const = 0;
  // The same root; the argument is not used.
  virtual std::string syncFolderForUser(const std::string& user) const = 0;
  // `path` with the sync root cut off when it lies in the root on whole
  // components; any other path unchanged.
  virtual std::string createRelativePathToUlmoraSync(const std::string& path) const = 0;

  // The console user's channels; nullptr while this account is not the one
  // logged in (or the channel could not be opened).
  virtual std::shared_ptr<CompanionMessenger> finderMessenger() const = 0;
  virtual std::shared_ptr<CompanionMessenger> monitorMessenger() const = 0;

  // false ends a reinitialise.
  virtual void setisReinitializeState(bool state) = 0;

  // Has the pending uploads (1), downloads (2) or both (0) queued again from
  // the local database once the published batches are merged. Returns at
  // once: the wait and the query run on a worker of the owner.
  virtual void queryMainDB(int option) = 0;
  // Local-database paths that are not in sync, for the file manager's badges.
  virtual std::vector<std::string> queryMainDBForChickInsyncStatus() = 0;
  // Count the pending uploads / downloads on a worker; the totals come back
  // through the sync controller's DatabaseTotalsDelegate setters.
  virtual void queryMainDBForTotalCountAndSizeOfBackupFiles() = 0;
  virtual void queryMainDBForTotalCountAndSizeOfRestoreFiles() = 0;
};

}  // namespace ulmora
