#include "capture/DBManager.h"

#include <algorithm>

#include "capture/CaptureDatabase.h"
#include "capture/CaptureJournalSink.h"
#include "platform/Trace.h"

namespace ulmora {

DBManager::DBManager(CaptureDatabase& database, CaptureJournalSink& sink, Clock& clock)
    : database_(database), sink_(sink), loop_(clock) {
  thread_ = std::jthread([this] {
    RunLoop::setCurrent(&loop_);
    loop_.run();
    RunLoop::setCurrent(nullptr);
  });
}

DBManager::~DBManager() {
  loop_.stop();
  if (thread_.joinable()) thread_.join();
}

void DBManager::post(void (DBManager::*pass)()) {
  // The loop is a member: it and the thread end together in the
  // destructor, so a queued pass never outlives `this`.
  loop_.post([this, pass] { (this->*pass)(); });
}

void DBManager::performDBQueryForBackupFiles(const Adjust& adjust) {
  std::optional<std::vector<std::string>> paths = database_.pathsToUpload();
  if (!paths) {
    traceLine("DBManager: the local database could not be read for uploads");
    return;
  }
  if (adjust) adjust(*paths);
  sink_.mainDBQueryFinished(*paths);
  if (!paths->empty()) sink_.addBackupFiles(*paths);
}

void DBManager::performDBQueryForRestoreFiles(const Adjust& adjust) {
  std::optional<std::vector<std::string>> paths = database_.pathsToDownload();
  if (!paths) {
    traceLine("DBManager: the local database could not be read for downloads");
    return;
  }
  if (adjust) adjust(*paths);
  if (!paths->empty()) sink_.addRestoreFiles(*paths);
}

void DBManager::performOBDBQueryForBackupFiles() {
  std::optional<std::vector<std::string>> paths = database_.outOfBoxPathsToUpload();
  if (!paths) {
    traceLine("DBManager: the local database could not be read for Out-of-Box uploads");
    return;
  }
  if (!paths->empty()) sink_.addOBBackupFiles(*paths);
}

void DBManager::performOBDBQueryForRestoreFiles() {
  std::optional<std::vector<std::string>> paths = database_.outOfBoxPathsToDownload();
  if (!paths) {
    traceLine("DBManager: the local database could not be read for Out-of-Box downloads");
    return;
  }
  if (!paths->empty()) sink_.addOBRestoreFiles(*paths);
}

void DBManager::performRDDBQuery() { sink_.RDDBQueryFinished(database_.renameDeleteRows()); }

void DBManager::queryBackupFiles() {
  loop_.post([this] { performDBQueryForBackupFiles(); });
}
void DBManager::queryRestoreFiles() {
  loop_.post([this] { performDBQueryForRestoreFiles(); });
}
void DBManager::queryOBBackupFiles() { post(&DBManager::performOBDBQueryForBackupFiles); }
void DBManager::queryOBRestoreFiles() { post(&DBManager::performOBDBQueryForRestoreFiles); }
void DBManager::queryRDDB() { post(&DBManager::performRDDBQuery); }

}  // namespace ulmora
