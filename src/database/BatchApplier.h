#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database/PendingBatchFormat.h"

namespace ulmora {

class SqliteConnection;
class SqliteStatement;

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
// Rows come one at a time (apply), or, for a run of inserts or of updates,
// straight from the batch file attached to the main connection (applyRun):
// one statement for the whole run instead of one per row, with the same
// result as applying its rows one by one in rowid order.
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
  // Views into the caller's row, valid for the duration of apply().
  using Values = std::vector<std::optional<std::string_view>>;

  // `attachedBatch`: the schema name under which the batch file is attached
  // to `main`, needed only by applyRun().
  BatchApplier(SqliteConnection& main, pendingbatch::Target target,
               std::string_view attachedBatch = {});

  // `values` holds the target's record (12 or 11 values; only the first for
  // delete), NULL where the batch had none.
  Result apply(pendingbatch::Operation op, const Values& values);

  // Applies the batch rows with rowid in [firstRowid, lastRowid], all of
  // operation `op` (insert or update), in rowid order. Rows without a path
  // are left out, as apply() skips them.
  Result applyRun(pendingbatch::Operation op, int64_t firstRowid, int64_t lastRowid);

 private:
  Result insertRow(const Values& values);
  Result updateRow(const Values& values);
  Result renameRow(const Values& values);
  Result deleteRow(std::string_view path);
  bool bindRecord(SqliteStatement& stmt, const Values& values);
  bool existsBelow(std::string_view path);
  bool deleteBelow(std::string_view path);
  // Rows in [low, high) get `newPrefix` in place of their first low.size() bytes.
  bool moveBelow(const std::string& low, const std::string& high, const std::string& newPrefix);
  SqliteStatement* statement(SqliteStatement*& slot, const std::string& sql);

  SqliteConnection& main_;
  size_t columns_;
  std::string insertSql_, updateSql_, renameSql_, moveBelowSql_, existsBelowSql_, deleteSql_,
      deleteBelowSql_, insertRunSql_, updateRunSql_;
  // Owned by main_'s statement cache; looked up once rather than per row.
  SqliteStatement *insert_ = nullptr, *update_ = nullptr, *rename_ = nullptr,
                  *moveBelow_ = nullptr, *existsBelow_ = nullptr, *delete_ = nullptr,
                  *deleteBelow_ = nullptr, *insertRun_ = nullptr, *updateRun_ = nullptr;
};

}  // namespace ulmora
