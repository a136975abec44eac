#pragma once

#include <string>

#include "engine/KVTProgressRecord.h"

namespace ulmora {

class KVTBackupManager;

// What a KVTBackupManager reports about its runs, in the order the calls are
// declared. Every call passes the sending manager, so one delegate can serve
// the upload and the download manager and tell them apart by identity.
//
// Threads: every call comes from the run's own thread (never from the thread
// that called startBackup/startRestore), except the three that
// CancelBackupProcess makes on its caller's thread: deleteHalfRestoredFiles,
// ClearRestoreRelatedFileEntries and operationCanceld. The manager holds none
// of its locks while it calls.
//
// Per run exactly one ending is sent: operationDidFailWithError,
// operationDidFailWithOverQuota, operationDidCancel or
// operationDidFinishSuccessfully, always after operationDidStart and after the
// run's last progress or error report. A run stopped by CancelBackupProcess
// ends with operationDidCancel followed by the second notice operationCanceld.
// The manager is still isRunning() during the ending; the delegate may clear it
// with setRunningState(false), and the manager clears it itself right after
// the call returns.
class KVTBackupRestoreHandlerProtocol {
 public:
  virtual ~KVTBackupRestoreHandlerProtocol() = default;

  // The run begins: after a repeated set's wait, before any engine starts.
  virtual void operationDidStart(KVTBackupManager& manager) = 0;
  // One per file the engine finished (or found already in sync).
  virtual void operationDidReceiveData(const KVTProgressRecord& record,
                                       KVTBackupManager& manager) = 0;
  // The engine reported an "IOERROR"/"SFERROR" for `path` (relative to the root).
  virtual void removeSfErrorFileFromDb(const std::string& path, KVTBackupManager& manager) = 0;
  // The engine could not connect to its server; the delegate may look up a new address.
  virtual void makeScriptCallForObject(KVTBackupManager& manager) = 0;
  // An engine is started again for the entries it had not finished.
  virtual void operationStartedRetrying(KVTBackupManager& manager) = 0;
  // Every engine of a download printed its complete file list.
  virtual void operationDidFinishFileListGeneration(KVTBackupManager& manager) = 0;
  // A per-file error line; `path` is relative to the sync root.
  virtual void operationDidReceiveErrors(const std::string& error, const std::string& path,
                                         KVTBackupManager& manager) = 0;
  // Endings.
  virtual void operationDidFailWithError(const std::string& error, KVTBackupManager& manager) = 0;
  virtual void operationDidFailWithOverQuota(KVTBackupManager& manager) = 0;
  // The engine stopped because the run's cancel file said "3" (setCancel(true)).
  virtual void operationDidCancel(KVTBackupManager& manager) = 0;
  // The run was stopped by CancelBackupProcess().
  virtual void operationCanceld(KVTBackupManager& manager) = 0;
  virtual void operationDidFinishSuccessfully(KVTBackupManager& manager) = 0;
  // A download run starts its engines again after a lost connection.
  virtual void restoreRestarted(KVTBackupManager& manager) = 0;

  // Host services that CancelBackupProcess asks for before it stops the engines.
  virtual void deleteHalfRestoredFiles() {}
  virtual void ClearRestoreRelatedFileEntries() {}
};

}  // namespace ulmora
