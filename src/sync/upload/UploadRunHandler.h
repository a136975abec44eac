#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "platform/ThreadAnnotations.h"

#include "engine/KVTProgressRecord.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/runs/RunHandlerCommon.h"
#include "sync/upload/UploadRenames.h"

namespace ulmora {

// The upload manager's run, as the controller sees it: the session log,
// each finished file (database record, thumbnail, video, recent item), and
// every way a run ends.
//
// A run that ends with failures still had files arrive: each was recorded
// by its progress report; the ending hands on the renames held for the run,
// tells the other devices what arrived and queues the rest again from the
// local database, unless the account itself failed.
//
// Thread-safety: the callbacks come from the upload manager's threads; the
// state they touch is locked.
class UploadRunHandler {
 public:
  UploadRunHandler(RunRoadContext& ctx, UploadRenames& renames,
                   RepeatedSetCounts& repeatedSets);

  void operationDidStart();
  void operationDidReceiveData(const KVTProgressRecord& record);
  void operationDidReceiveErrors(const std::string& error, const std::string& path);
  void operationDidFinishSuccessfully();
  void operationDidFailWithError(const std::string& error);
  void operationDidFailWithOverQuota();
  void operationDidCancel();
  void operationCanceld();

  std::string sessionLogPath() const { return log_.path(); }

  // Hands every held rename to the input queue: each run ending does, and a
  // new dispatch does for renames held after the last run ended. A renamed
  // file whose upload did not arrive is uploaded under its new name once the
  // server has made the rename.
  void handOnRenames();

 private:
  // Whether the local file still is what the engine sent.
  bool stillAsUploaded(const std::string& relative, const std::string& fileSize) const;
  void announce(int32_t total, bool evenWhenNothing);
  void queryForMore(const RunSummary& summary, bool listRefIds);
  // The files of the run's set that did not arrive go back to the upload
  // journal, so a later cycle sends them.
  void requeueUnsent();

  RunRoadContext& ctx_;
  UploadRenames& renames_;
  RepeatedSetCounts& repeatedSets_;
  RunSessionLog log_;
  Mutex arrivedMutex_;
  std::set<std::string> arrived_ ULMORA_GUARDED_BY(arrivedMutex_);  // files of the current run reported done
  std::set<std::string> refused_ ULMORA_GUARDED_BY(arrivedMutex_);  // over a server version never seen here
};

}  // namespace ulmora
