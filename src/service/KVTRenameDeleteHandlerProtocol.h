#pragma once

#include <string>
#include <vector>

#include "journal/RenameEntry.h"

namespace ulmora {

class KVTRenameDeleteController;

// What a rename or delete run reports, on the thread that called
// startOperation, while the call runs. `type` is "rename" or "delete".
// Paths are relative to the sync root. Items named with a thumbnail suffix
// are never reported.
//
// One run: renameDeleteDidStart; per item renameDidReceiveData (rename),
// deleteDidReceiveData (delete) or renameDeleteDidReceiveErrors and
// deleteItemRefused (a delete the engine refused); renameDeleteDidRetry before the one retry of refused
// renames, and renameItemRefused for each rename still refused after it; then exactly one of renameDeleteDidFinishSuccessfully,
// renameDeleteDidFailWithError, deleteDidCancel (delete) or
// renameDeleteDidCancel (rename).
class KVTRenameDeleteHandlerProtocol {
 public:
  virtual ~KVTRenameDeleteHandlerProtocol() = default;

  virtual void renameDeleteDidStart(KVTRenameDeleteController& controller, const std::string& type) = 0;
  virtual void renameDidReceiveData(const std::string& oldPath, const std::string& newPath) = 0;
  virtual void deleteDidReceiveData(const std::string& path) = 0;
  virtual void renameDeleteDidFinishSuccessfully(KVTRenameDeleteController& controller,
                                                 const std::string& type) = 0;
  virtual void renameDeleteDidFailWithError(const std::string& error, KVTRenameDeleteController& controller,
                                            const std::string& type) = 0;
  virtual void renameDeleteDidRetry(const std::vector<RenameEntry>& /*renames*/) {}
  virtual void renameDeleteDidReceiveErrors(const std::string& /*path*/, const std::string& /*type*/) {}
  // Right after renameDeleteDidReceiveErrors of a delete: the engine's text,
  // which tells an item the service does not hold from one it refused.
  virtual void deleteItemRefused(const std::string& /*path*/, const std::string& /*message*/) {}
  // A rename the engine refused on its retry too, with the engine's text,
  // which tells an old item the service lacks from a new name it holds.
  virtual void renameItemRefused(const RenameEntry& /*rename*/, const std::string& /*message*/) {}
  virtual void renameDeleteDidCancel(KVTRenameDeleteController& /*controller*/, const std::string& /*type*/) {
  }
  virtual void deleteDidCancel(KVTRenameDeleteController& /*controller*/) {}
};

}  // namespace ulmora
