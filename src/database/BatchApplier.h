#pragma once

#include <optional>
#include <string>
#include <vector>

#include "database/PendingBatchFormat.h"

namespace ulmora {

class SqliteConnection;

// Applies pending-operation rows to one table of the main database, inside
// the caller's transaction:
// - insert adds the row or replaces it whole;
// - update changes the row (adding it when missing); a value "NA" keeps what
//   the column holds;
// - rename moves the row from its path to the new path (carried in FILE_LMD,
//   which itself is kept), "NA" keeping columns as for update, and moves
//   every row below the old path with it; whatever was recorded at the new
//   path is replaced;
// - delete removes the row and every row below it.
// "Below" means on whole path components: "a/b" covers "a/b/c", not "a/bc".
//
// Thread-safety: none; used by the merge while it holds the connection.
class BatchApplier {
 public:
  enum class Result {
    kApplied,
    kSkipped,  // the row cannot be applied as it stands (empty path, a folder
               // moved into itself); the batch goes on
    kFailed,   // the database refused; the merge must roll back
  };
  using Values = std::vector<std::optional<std::string>>;

  BatchApplier(SqliteConnection& main, pendingbatch::Target target);

  // `values` holds the target's record (12 or 11 values; only the first for
  // delete), NULL where the batch had none.
  Result apply(pendingbatch::Operation op, const Values& values);

 private:
  Result insertRow(const Values& values);
  Result updateRow(const Values& values);
  Result renameRow(const Values& values);
  Result deleteRow(const std::string& path);
  bool bindRecord(class SqliteStatement& stmt, const Values& values);
  bool existsBelow(const std::string& path);
  bool deleteBelow(const std::string& path);

  SqliteConnection& main_;
  size_t columns_;
  std::string insertSql_, updateSql_, renameSql_, moveBelowSql_, existsBelowSql_, deleteSql_,
      deleteBelowSql_;
};

}  // namespace ulmora
