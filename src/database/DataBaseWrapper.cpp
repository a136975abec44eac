#include "database/DataBaseWrapper.h"

#include <algorithm>
#include <climits>

#include "database/DatabaseTrace.h"
#include "database/FileStateSchema.h"
#include "database/PendingBatchWriter.h"
#include "database/SqliteConnection.h"
#include "foundation/JournalStampGenerator.h"
#include "platform/PropertyList.h"

namespace ulmora {
namespace {

using pendingbatch::Operation;
using pendingbatch::Target;

constexpr const char* kSelectByPath =
    "SELECT BACKUP_STATUS, RESTORE_STATUS, REF_ID, FILE_LMD, FILE_SIZE FROM FILE_TABLE WHERE FILEPATH = ?1";
constexpr const char* kSelectByRefId = "SELECT FILEPATH FROM FILE_TABLE WHERE REF_ID = ?1 LIMIT 1";
constexpr const char* kSelectSynced =
    "SELECT FILEPATH FROM FILE_TABLE WHERE BACKUP_STATUS = '1' OR RESTORE_STATUS = '1'";

// Status texts read the way the rest of the agent reads "0"/"1" flags.
bool flagValue(const std::optional<std::string>& text) {
  return text && PropertyList(*text).boolValue();
}

}  // namespace

DataBaseWrapper::DataBaseWrapper() : DataBaseWrapper(JournalStampGenerator::shared()) {}

DataBaseWrapper::DataBaseWrapper(JournalStampGenerator& stamps) : stamps_(stamps) {}

DataBaseWrapper::~DataBaseWrapper() {
  MutexLock lock(batchMutex_);
  if (batch_) batch_->publish();
}

// ---------------------------------------------------------------- batches

void DataBaseWrapper::abandonBatch() {
  MutexLock lock(batchMutex_);
  batch_.reset();
}

bool DataBaseWrapper::initializewithDatabase(const std::string& dbFolder, const std::string& user) {
  return openBatch(dbFolder, user, Target::kFileTable);
}

bool DataBaseWrapper::initializeOBDatabase(const std::string& dbFolder, const std::string& user) {
  return openBatch(dbFolder, user, Target::kOutOfBoxTable);
}

bool DataBaseWrapper::openBatch(const std::string& dbFolder, const std::string& user,
                                Target target) {
  MutexLock lock(batchMutex_);
  if (batch_) batch_->publish();
  batch_ = PendingBatchWriter::create(dbFolder, user, target, stamps_);
  return batch_ != nullptr;
}

bool DataBaseWrapper::beginTransaction() {
  MutexLock lock(batchMutex_);
  return batch_ && batch_->beginTransaction();
}

bool DataBaseWrapper::commitTransaction() {
  MutexLock lock(batchMutex_);
  return batch_ && batch_->commitTransaction();
}

bool DataBaseWrapper::unInitializeDatabase() {
  MutexLock lock(batchMutex_);
  if (!batch_) return false;
  bool ok = batch_->publish();
  batch_.reset();
  return ok;
}

bool DataBaseWrapper::appendRow(Target target, Operation op, const std::vector<std::string>& values) {
  MutexLock lock(batchMutex_);
  return batch_ && batch_->target() == target && batch_->append(op, values);
}

bool DataBaseWrapper::insert(const std::vector<std::string>& values) {
  return appendRow(Target::kFileTable, Operation::kInsert, values);
}

bool DataBaseWrapper::update(const std::vector<std::string>& values) {
  return appendRow(Target::kFileTable, Operation::kUpdate, values);
}

bool DataBaseWrapper::rename(const std::vector<std::string>& values) {
  return appendRow(Target::kFileTable, Operation::kRename, values);
}

bool DataBaseWrapper::deleteRecord(const std::string& path) {
  return appendRow(Target::kFileTable, Operation::kDelete, {path});
}

bool DataBaseWrapper::insertOBRecord(const std::vector<std::string>& values) {
  return appendRow(Target::kOutOfBoxTable, Operation::kInsert, values);
}

bool DataBaseWrapper::updateOBRecord(const std::vector<std::string>& values) {
  return appendRow(Target::kOutOfBoxTable, Operation::kUpdate, values);
}

bool DataBaseWrapper::deleteOBRecord(const std::string& path) {
  return appendRow(Target::kOutOfBoxTable, Operation::kDelete, {path});
}

// ---------------------------------------------------------------- queries

DataBaseWrapper::StatusRow DataBaseWrapper::lookupByPath(const std::string& path,
                                                         const std::string& dbFolder,
                                                         const std::string& user) {
  StatusRow row;
  std::optional<std::string> dbPath = filestate::databasePath(dbFolder, user);
  if (!dbPath) return row;
  MutexLock lock(queryMutex_);
  SqliteConnection* db = mainDb_.get(*dbPath);
  SqliteStatement* stmt = db ? db->cached(kSelectByPath) : nullptr;
  if (!stmt) {
    if (db) mainDb_.reportFailure("status look-up");
    return row;
  }
  stmt->reset();
  stmt->bindText(1, path);
  SqliteStatement::Step step = stmt->step();
  if (step == SqliteStatement::Step::kError) {
    mainDb_.reportFailure("status look-up");
    return row;
  }
  row.databaseOpen = true;
  if (step == SqliteStatement::Step::kRow) {
    row.found = true;
    row.backupStatus = stmt->columnText(0);
    row.restoreStatus = stmt->columnText(1);
    row.refId = stmt->columnText(2);
    row.modificationDate = stmt->columnText(3);
    row.size = stmt->columnText(4);
  }
  stmt->reset();
  return row;
}

bool DataBaseWrapper::getBackupStatusForFile(const std::string& path, const std::string& dbFolder,
                                             const std::string& user) {
  return flagValue(lookupByPath(path, dbFolder, user).backupStatus);
}

bool DataBaseWrapper::getRestoreStatusForFile(const std::string& path, const std::string& dbFolder,
                                              const std::string& user) {
  return flagValue(lookupByPath(path, dbFolder, user).restoreStatus);
}

std::optional<BackupStatusAndRefId> DataBaseWrapper::getBackupStatusAndRef_idForFile(
    const std::string& path, const std::string& dbFolder, const std::string& user) {
  StatusRow row = lookupByPath(path, dbFolder, user);
  if (!row.databaseOpen) return std::nullopt;
  return BackupStatusAndRefId{row.backupStatus, row.refId};
}

int DataBaseWrapper::getBackupStatusForFileDuringLMDMismatch(const std::string& path,
                                                             const std::string& dbFolder,
                                                             const std::string& user) {
  StatusRow row = lookupByPath(path, dbFolder, user);
  if (!row.found) return 2;
  if (!row.backupStatus) return 0;
  int64_t value = PropertyList(*row.backupStatus).integerValue();
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

std::optional<RecordedFileFacts> DataBaseWrapper::getRecordedFactsForFile(
    const std::string& path, const std::string& dbFolder, const std::string& user) {
  StatusRow row = lookupByPath(path, dbFolder, user);
  if (!row.found) return std::nullopt;
  return RecordedFileFacts{row.modificationDate, row.size};
}

std::optional<std::string> DataBaseWrapper::lookupByRefId(const std::string& refId,
                                                          const std::string& dbFolder,
                                                          const std::string& user) {
  // Rows still waiting for an id hold "" or "NA"; any of them would do for a
  // "match", which is no answer at all.
  if (refId.empty() || refId == filestate::kNotAvailable) return std::nullopt;
  std::optional<std::string> dbPath = filestate::databasePath(dbFolder, user);
  if (!dbPath) return std::nullopt;
  MutexLock lock(queryMutex_);
  SqliteConnection* db = mainDb_.get(*dbPath);
  SqliteStatement* stmt = db ? db->cached(kSelectByRefId) : nullptr;
  if (!stmt) {
    if (db) mainDb_.reportFailure("reference-id look-up");
    return std::nullopt;
  }
  stmt->reset();
  stmt->bindText(1, refId);
  std::optional<std::string> found;
  SqliteStatement::Step step = stmt->step();
  if (step == SqliteStatement::Step::kRow) found = stmt->columnText(0);
  if (step == SqliteStatement::Step::kError) mainDb_.reportFailure("reference-id look-up");
  stmt->reset();
  return found;
}

std::optional<std::string> DataBaseWrapper::getFileNameForGivenReferenceID(
    const std::string& refId, const std::string& dbFolder, const std::string& user) {
  return lookupByRefId(refId, dbFolder, user);
}

std::optional<std::string> DataBaseWrapper::queryFilePathforRefID(const std::string& refId,
                                                                  const std::string& dbFolder,
                                                                  const std::string& dbName) {
  return lookupByRefId(refId, dbFolder, dbName);
}

std::vector<std::string> DataBaseWrapper::SelectAllFilesbackedupAndRestoredFrom(
    const std::string& dbFolder, const std::string& user) {
  std::vector<std::string> paths;
  std::optional<std::string> dbPath = filestate::databasePath(dbFolder, user);
  if (!dbPath) return paths;
  MutexLock lock(queryMutex_);
  SqliteConnection* db = mainDb_.get(*dbPath);
  SqliteStatement* stmt = db ? db->cached(kSelectSynced) : nullptr;
  if (!stmt) {
    if (db) mainDb_.reportFailure("in-sync list");
    return paths;
  }
  stmt->reset();
  SqliteStatement::Step step;
  while ((step = stmt->step()) == SqliteStatement::Step::kRow)
    paths.push_back(stmt->columnText(0).value_or(""));
  if (step == SqliteStatement::Step::kError) {
    mainDb_.reportFailure("in-sync list");
    paths.clear();
  }
  stmt->reset();
  return paths;
}

// ------------------------------------------------- rename/delete database

std::optional<RDDataBaseRows> DataBaseWrapper::queryRDDBAtPath(const std::string& folder,
                                                               const std::string& dbName) {
  std::optional<std::string> path = filestate::databasePath(folder, dbName);
  if (!path) return std::nullopt;
  MutexLock lock(rdMutex_);
  SqliteConnection* db = rdDb_.get(*path);
  if (!db) return std::nullopt;
  std::optional<RDDataBaseRows> rows = rddatabase::queryRows(*db);
  if (!rows) rdDb_.reportFailure("rename/delete query");
  return rows;
}

bool DataBaseWrapper::deleteEntryFromRDDataBaseAtPath(const std::string& folder,
                                                      const std::string& dbName,
                                                      const std::string& path) {
  std::optional<std::string> dbPath = filestate::databasePath(folder, dbName);
  if (!dbPath) return false;
  MutexLock lock(rdMutex_);
  SqliteConnection* db = rdDb_.get(*dbPath);
  if (!db) return false;
  if (rddatabase::deleteEntry(*db, path)) return true;
  rdDb_.reportFailure("rename/delete removal");
  return false;
}

bool DataBaseWrapper::addEntryToRDDataBaseAtPath(const std::string& folder,
                                                 const std::string& dbName,
                                                 const std::string& path,
                                                 const std::string& status,
                                                 const RDDataBaseEntry& entry) {
  std::optional<std::string> dbPath = filestate::databasePath(folder, dbName);
  if (!dbPath || path.empty() ||
      std::find(rddatabase::kStatusGroups.begin(), rddatabase::kStatusGroups.end(), status) ==
          rddatabase::kStatusGroups.end())
    return false;
  MutexLock lock(rdMutex_);
  std::string error;
  auto db = SqliteConnection::open(*dbPath, SqliteConnection::OpenMode::kCreate, &error);
  bool ok = db && db->queryText("PRAGMA journal_mode=WAL") && rddatabase::createSchema(*db) &&
            rddatabase::addEntry(*db, path, status, entry);
  if (!ok)
    databaseTrace("DataBaseWrapper: cannot record in " + *dbPath + ": " +
                  (db ? db->lastError() : error));
  return ok;
}

}  // namespace ulmora
