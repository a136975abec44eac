#pragma once

#include <string>

#include "journal/SyncFilesController.h"
#include "session/EventJournalWriterControl.h"

namespace ulmora {

// The account controller's calls into its own event journal writer.
//
// Thread-safety: as SyncFilesController (any thread). The writer must
// outlive this object's use.
class SyncFilesWriterControl final : public EventJournalWriterControl {
 public:
  explicit SyncFilesWriterControl(SyncFilesController& writer) : writer_(writer) {}

  void stopSyncFilesOperationWithReset(bool reset) override {
    writer_.stopSyncFilesOperationWithReset(reset);
  }
  void clearBackupRestoreSyncFiles() override { writer_.clearBackupRestoreSyncFiles(); }
  void deleteFileFor(const std::string& code, bool onlyRedItems) override {
    writer_.deleteFileFor(code, onlyRedItems);
  }
  void setShouldWriteSyncFiles(bool write) override { writer_.setShouldWriteSyncFiles(write); }
  void clearOBSyncFiles() override { writer_.clearOBSyncFiles(); }
  void deleteOBFileFor(const std::string& code, bool onlyReadItems) override {
    writer_.deleteOBFileFor(code, onlyReadItems);
  }
  void setOBFileWritingFlag(bool write) override { writer_.setOBFileWritingFlag(write); }
  void resetBackupCount() override { writer_.resetBackupCount(); }

 private:
  SyncFilesController& writer_;
};

}  // namespace ulmora
