#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/CaptureJournalSink.h"

namespace ulmora {

class SyncFilesController;

// Hands what the watcher, the folder walk and the database queries find to
// the account's event journal writer. Deletes and renames reach the writer's
// one ordered event list in call order.
//
// The writer's download queues take {path: value}; a path found to download
// has no value yet, so it goes in as "NA". The rows of the rename/delete
// database are not the writer's business: only the end of that query is
// passed on (the writer tells its delegate).
//
// Thread-safety: every method may be called from any thread (the writer
// takes its own locks). The writer must outlive this object's use.
class SyncFilesCaptureSink final : public CaptureJournalSink {
 public:
  explicit SyncFilesCaptureSink(SyncFilesController& writer) : writer_(writer) {}

  void addBackupFiles(const std::vector<std::string>& paths) override;
  void addDirectory(const std::vector<std::string>& paths) override;
  void addDeleteFiles(const std::vector<std::string>& paths) override;
  void addRenamedFiles(const std::vector<RenameEntry>& renames) override;
  void addRestoreFiles(const std::vector<std::string>& paths) override;
  void addOBBackupFiles(const std::vector<std::string>& paths) override;
  void addOBRestoreFiles(const std::vector<std::string>& paths) override;
  void mainDBQueryFinished(const std::vector<std::string>& paths) override;
  void RDDBQueryFinished(const std::optional<RDDataBaseRows>& rows) override;

 private:
  SyncFilesController& writer_;
};

}  // namespace ulmora
