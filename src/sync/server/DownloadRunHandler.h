#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "engine/KVTProgressRecord.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/runs/RetryBackoff.h"
#include "sync/runs/RunHandlerCommon.h"

namespace ulmora {

// The download manager's run, as the controller sees it: the consumed
// download journals, the session log, each arrived file, the desktop
// notifications, and every way a run ends. Each ending tells the server
// road whether every file arrived, so the listing index moves only past
// downloads that did.
//
// A file that failed on its own (a full disk, a refused permission) would
// never be asked for again: the listing index moves on with the next clean
// run. It is tried again at a later cycle (RetryBackoff's waits) until it
// arrives or the service no longer holds it; a try is dropped when the local
// item changed since the failure, so nothing the user did meanwhile is
// overwritten. Each failure is named in the session log with its reason.
//
// Thread-safety: the callbacks come from the download manager's threads;
// the state they touch is locked.
class DownloadRunHandler {
 public:
  DownloadRunHandler(RunRoadContext& ctx, RepeatedSetCounts& repeatedSets);

  void operationDidStart();
  void operationDidReceiveData(const KVTProgressRecord& record);
  void operationDidReceiveErrors(const std::string& error, const std::string& path);
  void operationDidFinishSuccessfully();
  void operationDidFailWithError(const std::string& error);
  void operationDidCancel();
  void operationCanceld();

  std::string sessionLogPath() const { return log_.path(); }

  // The failed downloads due again, as download journal entries
  // ({relative path: size}); main loop (checked in debug and test builds),
  // before a download set is read.
  std::map<std::string, std::string> takeDueRetries();

 private:
  // The first path the run received (or the root), and the received list emptied.
  std::string takeFirstReceived();
  void notifyArrivals(const RunSummary& summary, const std::string& firstFullPath);
  std::vector<std::string> downloadsPending();
  // Ends the upload marks of the downloads that never wrote and that no
  // download still queued will write; whether downloads are still queued.
  bool endDownloadMarks();
  // What stands at the path now ("" when nothing), to tell a try that would
  // overwrite a change of the user's.
  std::string localStamp(const std::string& relativePath) const;

  RunRoadContext& ctx_;
  RepeatedSetCounts& repeatedSets_;
  RunSessionLog log_;
  Mutex receivedMutex_;
  std::vector<std::string> tempRestoreSet_ ULMORA_GUARDED_BY(receivedMutex_);
  RetryBackoff retries_;
};

}  // namespace ulmora
