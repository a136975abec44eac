#pragma once

#include <string>

namespace ulmora {

// What the version-history controller asks of the account's sync controller.
//
// Thread-safety: called on the controller's worker thread.
class VersionRestoreHost {
 public:
  virtual ~VersionRestoreHost() = default;

  // Around a restore, so the sync does not take the restored file for a
  // local change while the engine writes it.
  virtual void VersionRestoreStarted() = 0;
  virtual void VersionRestoreEnded() = 0;
  virtual std::string syncRootPath() = 0;
};

}  // namespace ulmora
