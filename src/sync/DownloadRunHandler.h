#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/KVTProgressRecord.h"
#include "sync/RunHandlerCommon.h"

namespace ulmora {

// The download manager's run, as the controller sees it: the consumed
// download journals, the session log, each arrived file, the desktop
// notifications, and every way a run ends. Each ending tells the server
// road whether every file arrived, so the listing index moves only past
// downloads that did.
//
// Thread-safety: the callbacks come from the download manager's threads;
// the state they touch is locked or atomic.
class DownloadRunHandler {
 public:
  DownloadRunHandler(RunRoadContext& ctx, std::atomic<int32_t>& sameRestoreSetRepeatedCount);

  void operationDidStart();
  void operationDidReceiveData(const KVTProgressRecord& record);
  void operationDidReceiveErrors(const std::string& error, const std::string& path);
  void operationDidFinishSuccessfully();
  void operationDidFailWithError(const std::string& error);
  void operationDidCancel();
  void operationCanceld();

  std::string sessionLogPath() const { return log_.path(); }

 private:
  // The first path the run received (or the root), and the received list emptied.
  std::string takeFirstReceived();
  void notifyArrivals(const RunSummary& summary, const std::string& firstFullPath);
  bool downloadsPending();

  RunRoadContext& ctx_;
  std::atomic<int32_t>& repeatCount_;
  RunSessionLog log_;
  std::mutex receivedMutex_;
  std::vector<std::string> tempRestoreSet_;
};

}  // namespace ulmora
