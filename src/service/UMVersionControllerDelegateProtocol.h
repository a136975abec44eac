#pragma once

#include <cstdint>
#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

class UMVersionController;

// What the version-history controller reports, on the run loop of the thread
// that asked. A version is a dictionary of texts: "file_ver", "size",
// "mod_time", "ref_id", "current" ("1" for the current version), "fname".
class UMVersionControllerDelegateProtocol {
 public:
  virtual ~UMVersionControllerDelegateProtocol() = default;

  // `versions`: an array, newest first.
  virtual void versionHistoryDidReceiveData(const std::string& /*localPath*/,
                                            const PropertyList& /*versions*/,
                                            UMVersionController& /*controller*/) {}
  virtual void versionHistoryDidFailWithError(const std::string& /*localPath*/, const std::string& /*error*/,
                                              UMVersionController& /*controller*/) {}
  virtual void versionRestoreDidFinish(const std::string& /*localPath*/, int64_t /*version*/,
                                       UMVersionController& /*controller*/) {}
  virtual void versionRestoreDidFailWithError(const std::string& /*localPath*/, const std::string& /*error*/,
                                              UMVersionController& /*controller*/) {}
  // Steps of a restore that a delegate may follow; none is required.
  virtual void willStartVersionRestoreforPath(const std::string& /*path*/, int64_t /*versionNumber*/,
                                              const std::string& /*destination*/) {}
  virtual void didFinishVersionRestoreforPath(const std::string& /*path*/, int64_t /*versionNumber*/,
                                              const std::string& /*destination*/) {}
  virtual void didChangeCurrentVersionOfFile(const std::string& /*path*/, int64_t /*versionNumber*/) {}
  virtual void didDownloadLatestVersionForFile(const std::string& /*path*/, int64_t /*versionNumber*/) {}
};

}  // namespace ulmora
