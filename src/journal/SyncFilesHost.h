#pragma once

#include <memory>
#include <string>

namespace ulmora {

class CompanionMessenger;

// What the event journal writer (SyncFilesController) needs from the
// account's controller: the sync root and the companion channels.
//
// The channels exist only while the account is the active one; a nullptr
// means messages for that companion are dropped (files are still written).
// A returned channel stays usable for as long as the caller holds it, so the
// controller may replace or drop its channels at any time.
//
// Thread-safety: called from the writer thread, the folder-walk threads and
// the callers of the writer; implementations must be thread-safe.
class SyncFilesHost {
 public:
  virtual ~SyncFilesHost() = default;

  // The account's sync root (full path); "" while unknown.
  virtual std::string syncRootPath() = 0;
  virtual std::shared_ptr<CompanionMessenger> finderMessenger() = 0;
  virtual std::shared_ptr<CompanionMessenger> monitorMessenger() = 0;
};

}  // namespace ulmora
