#pragma once

#include <optional>
#include <string>

#include "engine/EngineSetFiles.h"
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
  // The server version of a file (relative path) this computer last synced;
  // a delete trashes the file only while the server still holds it. nullopt:
  // not checked.
  virtual std::optional<engineset::SeenVersion> seenVersion(const std::string& /*relativePath*/) {
    return std::nullopt;
  }

  // The journal folders the controller's lists go to; "" for the account's
  // application folders (101, 102, 120).
  virtual std::string getPathForWritingBackupFiles() { return {}; }
  virtual std::string getPathForWritingDeleteFiles() { return {}; }
  virtual std::string getPathForWritingCreateDirFiles() { return {}; }
};

}  // namespace ulmora
