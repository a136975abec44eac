#include "DatabaseTestSupport.h"

#include "database/SqliteConnection.h"
#include "platform/FileUtil.h"

namespace ulmora::testing {

std::map<std::string, std::vector<std::optional<std::string>>> DatabaseFixture::rows(
    const std::string& table) const {
  std::map<std::string, std::vector<std::optional<std::string>>> result;
  auto db = SqliteConnection::open(mainPath(), SqliteConnection::OpenMode::kReadOnly);
  if (!db) return result;
  int columns = table == "FILE_TABLE" ? 12 : 11;
  auto stmt = db->prepare("SELECT * FROM " + table);
  if (!stmt) return result;
  while (stmt->step() == SqliteStatement::Step::kRow) {
    std::vector<std::optional<std::string>> values;
    for (int i = 1; i < columns; ++i) values.push_back(stmt->columnText(i));
    result[*stmt->columnText(0)] = values;
  }
  return result;
}

std::vector<std::string> DatabaseFixture::batchFiles() const {
  return fileutil::listDirectory(batchFolder()).value_or(std::vector<std::string>{});
}

}  // namespace ulmora::testing
