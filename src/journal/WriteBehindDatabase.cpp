#include "journal/WriteBehindDatabase.h"

#include "database/DataBaseWrapper.h"

namespace ulmora {
namespace {

class DataBaseWrapperBatch final : public WriteBehindDatabase {
 public:
  explicit DataBaseWrapperBatch(JournalStampGenerator& stamps) : db_(stamps) {}

  bool initializewithDatabase(const std::string& f, const std::string& u) override {
    return db_.initializewithDatabase(f, u);
  }
  bool initializeOBDatabase(const std::string& f, const std::string& u) override {
    return db_.initializeOBDatabase(f, u);
  }
  bool beginTransaction() override { return db_.beginTransaction(); }
  bool commitTransaction() override { return db_.commitTransaction(); }
  bool unInitializeDatabase() override { return db_.unInitializeDatabase(); }
  void abandonBatch() override { db_.abandonBatch(); }
  bool insert(const std::vector<std::string>& v) override { return db_.insert(v); }
  bool update(const std::vector<std::string>& v) override { return db_.update(v); }
  bool rename(const std::vector<std::string>& v) override { return db_.rename(v); }
  bool deleteRecord(const std::string& p) override { return db_.deleteRecord(p); }
  bool insertOBRecord(const std::vector<std::string>& v) override { return db_.insertOBRecord(v); }
  bool updateOBRecord(const std::vector<std::string>& v) override { return db_.updateOBRecord(v); }
  bool deleteOBRecord(const std::string& p) override { return db_.deleteOBRecord(p); }

 private:
  DataBaseWrapper db_;
};

}  // namespace

WriteBehindDatabaseFactory dataBaseWrapperBatches(JournalStampGenerator& stamps) {
  return [&stamps]() -> std::unique_ptr<WriteBehindDatabase> {
    return std::make_unique<DataBaseWrapperBatch>(stamps);
  };
}

}  // namespace ulmora
