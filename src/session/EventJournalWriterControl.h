#pragma once

#include <string>

namespace ulmora {

// The calls the account controller makes into the account's event journal
// writer (SyncFilesWriterControl), kept behind an interface so that a test
// can watch them.
//
// Thread-safety: called on the main thread.
class EventJournalWriterControl {
 public:
  virtual ~EventJournalWriterControl() = default;

  // Stops the writer thread (clearing its queues with `reset`) and starts it again.
  virtual void stopSyncFilesOperationWithReset(bool reset) = 0;
  virtual void clearBackupRestoreSyncFiles() = 0;
  virtual void deleteFileFor(const std::string& code, bool onlyRedItems) = 0;
  virtual void setShouldWriteSyncFiles(bool write) = 0;
  virtual void clearOBSyncFiles() = 0;
  virtual void deleteOBFileFor(const std::string& code, bool onlyReadItems) = 0;
  virtual void setOBFileWritingFlag(bool write) = 0;
  virtual void resetBackupCount() = 0;
};

}  // namespace ulmora
