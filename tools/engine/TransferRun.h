#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AccountStore.h"
#include "EngineStatus.h"
#include "FaultPlan.h"
#include "LocalTree.h"
#include "OutputSink.h"
#include "RunControl.h"
#include "SetFile.h"

namespace ulmora::kvt {

// What every operation of one run shares.
struct RunContext {
  AccountStore& store;
  const FaultPlan& faults;
  RunControl& control;
  OutputSink& out;
  int64_t quotaTotal = 0;
  // What the computer last synced of the files it may replace (upload,
  // delete); files not named go unchecked.
  const SeenVersions* seen = nullptr;
};

// One upload or download run over its set entries (docs/engine.md sections
// 4-6): one PROGRESS line per file, IOERROR/SFERROR per failed item, the
// faults of the storage folder, and exactly one SUMMARY at the end.
// Local files are written under a temporary name and renamed into place, so
// a cancelled or failed run never leaves half a file under a real name.
class TransferRun {
 public:
  // `serverBase` is the remote address's folder; set paths are below it.
  TransferRun(RunContext& context, LocalTree& local, std::string serverBase, std::string opName);

  // Both return the run's exit status after the SUMMARY line.
  int upload(const std::vector<SetEntry>& entries);
  int download(const std::vector<SetEntry>& entries);

 private:
  struct Item {
    std::string shown;              // the path printed in output lines
    std::optional<EnginePath> path;  // empty: the entry was refused
    int64_t size = 0;
    int error = 0;                   // an error known before the item's turn
    std::optional<Entry> server;     // download: the server entry
  };
  struct CopyResult {
    int error = 0;
    bool readSide = false;
    bool cancelled = false;
  };
  enum class Step { kGoOn, kStop };

  std::vector<Item> expandUpload(const std::vector<SetEntry>& entries);
  std::vector<Item> expandDownload(const std::vector<SetEntry>& entries);
  Step uploadOne(const Item& item);
  Step downloadOne(const Item& item);
  CopyResult copy(int from, int to, const Item& item);
  void progress(const char* mode, const Item& item, int64_t size);
  // Per-item lines wait while an upload batch is open: "Done" may only be
  // said of a file the server has committed, and lines keep their order.
  void itemLine(std::vector<std::string> fields);
  void flushBatch();
  void maybeFlushBatch(bool force);
  void itemFailed(const char* keyword, const Item& item, const char* what, int error);
  Step itemEnded(int64_t sizeHandled);
  int finish();
  std::string serverPathOf(const EnginePath& path) const;

  RunContext& ctx_;
  LocalTree& local_;
  std::string serverBase_;
  std::string opName_;
  std::optional<Fatal> fatal_;
  bool cancelled_ = false;
  int64_t filesTotal_ = 0;
  int64_t bytesTotal_ = 0;
  int64_t filesEnded_ = 0;
  int64_t transferred_ = 0;
  int64_t incremental_ = 0;
  int64_t inSync_ = 0;
  int64_t failed_ = 0;
  int64_t bytesMoved_ = 0;
  int64_t bytesHandled_ = 0;
  int64_t tempCounter_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point batchStart_;
  int64_t batchCount_ = 0;
  std::vector<std::vector<std::string>> pending_;
  std::vector<char> buffer_;
};

}  // namespace ulmora::kvt
