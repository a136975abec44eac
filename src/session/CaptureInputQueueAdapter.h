#pragma once

#include <map>
#include <string>

#include "capture/CaptureInputQueue.h"

namespace ulmora {

class UMSDBSyncInputManger;

// The filter sets' way into the sync input queue: what they decide about
// downloaded files (in sync, or gone) becomes database write-behind entries.
//
// Thread-safety: every method may be called from any thread (the queue takes
// its own locks). The queue must outlive this object.
class CaptureInputQueueAdapter final : public CaptureInputQueue {
 public:
  explicit CaptureInputQueueAdapter(UMSDBSyncInputManger& queue) : queue_(queue) {}

  void addFileToUpdate(const std::map<std::string, std::string>& entries) override;
  void addFileToDelete(const std::string& relativePath) override;

 private:
  UMSDBSyncInputManger& queue_;
};

}  // namespace ulmora
