#pragma once

#include <string>
#include <vector>

namespace ulmora {

// The delegate of SyncFilesController: hears when the change capture's
// local-database queries end. Both calls arrive on the capture's database
// thread.
class SyncFilesControllerProtocol {
 public:
  virtual ~SyncFilesControllerProtocol() = default;

  // The paths to upload, as the local database returned them.
  virtual void didDBQueryFinishedForBackupFiles(const std::vector<std::string>& /*paths*/) {}
  virtual void didDBQueryForRDDBCompleated() {}
};

}  // namespace ulmora
