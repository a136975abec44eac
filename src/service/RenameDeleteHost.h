#pragma once

#include <string>

#include "journal/RenameEntry.h"

namespace ulmora {

// What the rename/delete controller asks of the account's sync controller.
//
// Thread-safety: called on the thread that runs startOperation.
class RenameDeleteHost {
 public:
  virtual ~RenameDeleteHost() = default;

  // True when the rename touches a file of the running upload; the sync
  // controller then applies it itself once the upload has ended, so the
  // controller holds it back from the server.
  virtual bool checkRenamedFileisUnderBackup(const RenameEntry& rename) = 0;
  // True when no local rename waits for the server any more.
  virtual bool isRenameCollectionEmpty() = 0;
  // The sync root (full paths for the in-sync notification, local checks).
  virtual std::string syncRootPath() = 0;

  // The journal folders the controller's lists go to; "" for the account's
  // application folders (101, 102, 120).
  virtual std::string getPathForWritingBackupFiles() { return {}; }
  virtual std::string getPathForWritingDeleteFiles() { return {}; }
  virtual std::string getPathForWritingCreateDirFiles() { return {}; }
};

}  // namespace ulmora
