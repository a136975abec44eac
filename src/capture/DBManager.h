#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"

namespace ulmora {

class CaptureDatabase;
class CaptureJournalSink;

// Reads the local database for work that was queued before the agent last
// stopped and hands it to the journal writer: uploads and downloads of the
// sync root and of the Out-of-Box area, and the rename/delete database.
//
// The perform* passes run on the calling thread; the query* calls post them
// to the DBManager thread (a run loop of this object) and return at once.
// Nothing is sent when the database cannot be read (a trace line says so),
// except RDDBQueryFinished, which always ends its query.
//
// Thread-safety: every method may be called from any thread. The destructor
// stops and joins the thread; queries still queued are dropped.
class DBManager {
 public:
  DBManager(CaptureDatabase& database, CaptureJournalSink& sink, Clock& clock = Clock::systemClock());
  ~DBManager();
  DBManager(const DBManager&) = delete;
  DBManager& operator=(const DBManager&) = delete;

  // Edits the paths read before they are handed on (rows on their way to
  // the database, downloads queued already).
  using Adjust = std::function<void(std::vector<std::string>&)>;

  // mainDBQueryFinished with the paths to upload, then addBackupFiles.
  void performDBQueryForBackupFiles(const Adjust& adjust = {});
  // addRestoreFiles: each path to download as {path: "NA"}.
  void performDBQueryForRestoreFiles(const Adjust& adjust = {});
  void performOBDBQueryForBackupFiles();
  void performOBDBQueryForRestoreFiles();
  // RDDBQueryFinished with the rows of the rename/delete database.
  void performRDDBQuery();

  void queryBackupFiles();
  void queryRestoreFiles();
  void queryOBBackupFiles();
  void queryOBRestoreFiles();
  void queryRDDB();

 private:
  void post(void (DBManager::*pass)());

  CaptureDatabase& database_;
  CaptureJournalSink& sink_;
  RunLoop loop_;
  std::jthread thread_;
};

}  // namespace ulmora
