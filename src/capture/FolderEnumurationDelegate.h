#pragma once

#include <cstdint>
#include <string>

namespace ulmora {

class FolderEnumuration;

// What a FolderEnumuration tells its delegate, on the enumeration's thread.
//
// Thread-safety: every call comes from the thread running getFolderSize.
class FolderEnumurationDelegate {
 public:
  virtual ~FolderEnumurationDelegate() = default;

  virtual void willStartSizeCalculationForFolder(const std::string& /*folder*/) {}
  // Bytes of the regular files below the folder just announced.
  virtual void didCalculateSizeofFolder(int64_t /*size*/) {}
  // Full path of each regular file found.
  virtual void didFoundFile(const std::string& /*path*/) {}
  // The last call. The enumeration is still running its thread here: do not
  // destroy it from inside this call; post its release to another loop.
  virtual void didEndCalculation(FolderEnumuration& /*enumeration*/) {}
};

}  // namespace ulmora
