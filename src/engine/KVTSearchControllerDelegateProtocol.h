#pragma once

#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

class KVTSearchController;

// What a KVTSearchController reports. searchDidStart comes from inside
// startSearch(); the others are posted to the RunLoop of the thread that
// called startSearch() and run there: searchDidReceiveData then
// searchDidFinishSuccessfully, or searchDidFailWithError. The delegate owns
// the controller and may destroy it from any of these calls.
class KVTSearchControllerDelegateProtocol {
 public:
  virtual ~KVTSearchControllerDelegateProtocol() = default;
  virtual void searchDidStart(KVTSearchController& controller) = 0;
  // An array of dictionaries with "FileName", "VersionInfo", "FileSize",
  // "FileModificationDate", "ThumbnailStatus", "InTrash", "ref_id", "FileType"
  // (texts). "FileName" is relative to the sync root; a folder's ends "/".
  virtual void searchDidReceiveData(const PropertyList& entries, KVTSearchController& controller) = 0;
  virtual void searchDidFinishSuccessfully(KVTSearchController& controller) = 0;
  virtual void searchDidFailWithError(const std::string& error, KVTSearchController& controller) = 0;
};

}  // namespace ulmora
