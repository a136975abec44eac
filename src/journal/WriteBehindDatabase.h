#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ulmora {

class JournalStampGenerator;

// The batch half of DataBaseWrapper, as the database write-behind uses it:
// one object per batch, opened, filled inside one transaction, committed and
// published. Each call reports success; the write-behind keeps a batch's
// entries queued when opening, beginning, committing or publishing fails.
//
// Thread-safety: one batch is used by one thread.
class WriteBehindDatabase {
 public:
  virtual ~WriteBehindDatabase() = default;

  virtual bool initializewithDatabase(const std::string& dbFolder, const std::string& user) = 0;
  virtual bool initializeOBDatabase(const std::string& dbFolder, const std::string& user) = 0;
  virtual bool beginTransaction() = 0;
  virtual bool commitTransaction() = 0;
  virtual bool unInitializeDatabase() = 0;
  // Drops the batch unpublished; called when its entries stay queued.
  virtual void abandonBatch() = 0;

  virtual bool insert(const std::vector<std::string>& values) = 0;
  virtual bool update(const std::vector<std::string>& values) = 0;
  virtual bool rename(const std::vector<std::string>& values) = 0;
  virtual bool deleteRecord(const std::string& path) = 0;
  virtual bool insertOBRecord(const std::vector<std::string>& values) = 0;
  virtual bool updateOBRecord(const std::vector<std::string>& values) = 0;
  virtual bool deleteOBRecord(const std::string& path) = 0;
};

using WriteBehindDatabaseFactory = std::function<std::unique_ptr<WriteBehindDatabase>()>;

// Batches written through a fresh DataBaseWrapper each, named by `stamps`.
WriteBehindDatabaseFactory dataBaseWrapperBatches(JournalStampGenerator& stamps);

}  // namespace ulmora
