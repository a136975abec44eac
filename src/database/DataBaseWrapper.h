#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "database/BackupStatusAndRefId.h"
#include "database/CachedDatabaseConnection.h"
#include "database/PendingBatchFormat.h"
#include "database/RDDataBase.h"

namespace ulmora {

class JournalStampGenerator;
class PendingBatchWriter;

// The facade through which the rest of the agent reaches the local sync
// database. Two roles:
//
// Writing: rows are never written to the main database directly. A writer
// opens a batch (initializewithDatabase / initializeOBDatabase), appends
// rows inside beginTransaction/commitTransaction, and unInitializeDatabase
// publishes it; DatabaseMerger later applies it. Records are the 12 values
// FILEPATH, FILE_LMD, FILE_SIZE, ENC_METHOD, ENC_PSWD, FILE_OR_FOLDER,
// BKSET_LMD, SYNC_DATE, BACKUP_STATUS, CDP, RESTORE_STATUS, REF_ID (the
// Out-of-Box table: the first 11). In update and rename rows "NA" keeps the
// recorded value; a rename carries the new path in FILE_LMD.
//
// Reading: the queries answer from "<dbFolder>/<user>.ql" over one
// connection kept by this object (reopened when the file is replaced).
// "No database" means missing, unreadable, or a user name that cannot name a
// file; a damaged database is traced, never rewritten.
//
// Thread-safety: every method may be called from any thread. Batch calls
// share one lock, queries another, rename/delete-database calls a third;
// no two are ever held together.
class DataBaseWrapper {
 public:
  DataBaseWrapper();  // batch names from JournalStampGenerator::shared()
  explicit DataBaseWrapper(JournalStampGenerator& stamps);
  // Publishes a batch the caller left open, so its rows are not lost.
  ~DataBaseWrapper();
  DataBaseWrapper(const DataBaseWrapper&) = delete;
  DataBaseWrapper& operator=(const DataBaseWrapper&) = delete;

  // --- Batches. An open batch is published before a new one is opened.
  bool initializewithDatabase(const std::string& dbFolder, const std::string& user);
  bool initializeOBDatabase(const std::string& dbFolder, const std::string& user);
  bool beginTransaction();
  bool commitTransaction();
  // Commits what is open, closes and publishes the batch.
  bool unInitializeDatabase();
  // Drops the open batch unpublished (its file is removed). A caller that
  // keeps the batch's entries queued after a failure calls this, so the
  // entries are not applied once from this batch and again from the retry.
  void abandonBatch();

  // False, and no row, without an open batch of the right table, for a
  // wrong number of values, or an empty path.
  bool insert(const std::vector<std::string>& values);
  bool update(const std::vector<std::string>& values);
  bool rename(const std::vector<std::string>& values);
  bool deleteRecord(const std::string& path);  // the row and every row below it
  bool insertOBRecord(const std::vector<std::string>& values);
  bool updateOBRecord(const std::vector<std::string>& values);
  bool deleteOBRecord(const std::string& path);

  // --- Queries on the row whose FILEPATH equals `path` byte for byte.
  // BACKUP_STATUS as a boolean; false without a row or database.
  bool getBackupStatusForFile(const std::string& path, const std::string& dbFolder,
                              const std::string& user);
  // RESTORE_STATUS as a boolean; false without a row or database.
  bool getRestoreStatusForFile(const std::string& path, const std::string& dbFolder,
                               const std::string& user);
  // nullopt without a database; both members missing without a row.
  std::optional<BackupStatusAndRefId> getBackupStatusAndRef_idForFile(
      const std::string& path, const std::string& dbFolder, const std::string& user);
  // BACKUP_STATUS as an integer; 2 without a row or database.
  int getBackupStatusForFileDuringLMDMismatch(const std::string& path, const std::string& dbFolder,
                                              const std::string& user);
  // FILE_LMD and FILE_SIZE as recorded; nullopt without a row or database.
  std::optional<RecordedFileFacts> getRecordedFactsForFile(const std::string& path, const std::string& dbFolder,
                                                       const std::string& user);

  // --- Queries by server reference id: the recorded relative path, or
  // nullopt. "" and "NA" are not reference ids and find nothing.
  std::optional<std::string> getFileNameForGivenReferenceID(const std::string& refId,
                                                            const std::string& dbFolder,
                                                            const std::string& user);
  std::optional<std::string> queryFilePathforRefID(const std::string& refId,
                                                   const std::string& dbFolder,
                                                   const std::string& dbName);

  // Paths whose BACKUP_STATUS or RESTORE_STATUS is "1" (empty without a
  // database).
  std::vector<std::string> SelectAllFilesbackedupAndRestoredFrom(const std::string& dbFolder,
                                                                 const std::string& user);

  // --- Rename/delete database ("<folder>/<dbName>.ql", dbName "RDDataBase").
  // nullopt when it is missing or unreadable.
  std::optional<RDDataBaseRows> queryRDDBAtPath(const std::string& folder,
                                                const std::string& dbName);
  bool deleteEntryFromRDDataBaseAtPath(const std::string& folder, const std::string& dbName,
                                       const std::string& path);
  // Records an offline rename or delete (status "3" or "4"); creates the
  // database (0600) when missing.
  bool addEntryToRDDataBaseAtPath(const std::string& folder, const std::string& dbName,
                                  const std::string& path, const std::string& status,
                                  const RDDataBaseEntry& entry);

 private:
  struct StatusRow {
    bool databaseOpen = false;
    bool found = false;
    std::optional<std::string> backupStatus, restoreStatus, refId, modificationDate, size;
  };
  StatusRow lookupByPath(const std::string& path, const std::string& dbFolder,
                         const std::string& user);
  std::optional<std::string> lookupByRefId(const std::string& refId, const std::string& dbFolder,
                                           const std::string& user);
  bool openBatch(const std::string& dbFolder, const std::string& user, pendingbatch::Target target);
  bool appendRow(pendingbatch::Target target, pendingbatch::Operation op,
                 const std::vector<std::string>& values);

  JournalStampGenerator& stamps_;

  Mutex batchMutex_;
  std::unique_ptr<PendingBatchWriter> batch_ ULMORA_GUARDED_BY(batchMutex_);

  Mutex queryMutex_;
  CachedDatabaseConnection mainDb_ ULMORA_GUARDED_BY(queryMutex_);

  Mutex rdMutex_;
  CachedDatabaseConnection rdDb_ ULMORA_GUARDED_BY(rdMutex_);
};

}  // namespace ulmora
