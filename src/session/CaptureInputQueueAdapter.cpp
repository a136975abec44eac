#include "session/CaptureInputQueueAdapter.h"

#include "journal/UMSDBSyncInputManger.h"

namespace ulmora {

void CaptureInputQueueAdapter::addFileToUpdate(const std::map<std::string, std::string>& entries) {
  queue_.addFileToUpdate(entries);
}

void CaptureInputQueueAdapter::addFileToDelete(const std::string& relativePath) {
  queue_.addFileToDelete(relativePath);
}

}  // namespace ulmora
