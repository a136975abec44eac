#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture/CaptureInputQueue.h"
#include "capture/CaptureJournalSink.h"

namespace ulmora {

class UMSDBSyncInputManger;

// Hands what the watcher, the folder walk and the database queries find to
// the sync input queue, until the account's event journal writer takes that
// place; also gives the filter sets their way into the queue. The queue keeps deletes and renames in separate queues, so their
// relative order is not kept here; Out-of-Box downloads have no queue there
// and are dropped with a trace line.
//
// Thread-safety: every method may be called from any thread (the queue takes
// its own locks; the callbacks must be thread-safe).
class InputQueueCaptureSink final : public CaptureJournalSink, public CaptureInputQueue {
 public:
  struct Callbacks {
    std::function<void(const std::vector<std::string>& paths)> mainQueryFinished;
    std::function<void()> renameDeleteQueryFinished;
  };

  InputQueueCaptureSink(UMSDBSyncInputManger& queue, Callbacks callbacks);

  void addBackupFiles(const std::vector<std::string>& paths) override;
  void addDirectory(const std::vector<std::string>& paths) override;
  void addDeleteFiles(const std::vector<std::string>& paths) override;
  void addRenamedFiles(const std::vector<RenameEntry>& renames) override;
  void addRestoreFiles(const std::vector<std::string>& paths) override;
  void addOBBackupFiles(const std::vector<std::string>& paths) override;
  void addOBRestoreFiles(const std::vector<std::string>& paths) override;
  void mainDBQueryFinished(const std::vector<std::string>& paths) override;
  void RDDBQueryFinished(const std::optional<RDDataBaseRows>& rows) override;

  // CaptureInputQueue: what the filter sets decide about downloaded files.
  void addFileToUpdate(const std::map<std::string, std::string>& entries) override;
  void addFileToDelete(const std::string& relativePath) override;

 private:
  UMSDBSyncInputManger& queue_;
  const Callbacks callbacks_;
};

}  // namespace ulmora
