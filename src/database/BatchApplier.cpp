#include "database/BatchApplier.h"

#include "database/FileStateSchema.h"
#include "database/SqliteConnection.h"

namespace ulmora {
namespace {

using pendingbatch::Operation;

std::string columnList(size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    if (i) s += ", ";
    s += filestate::kColumns[i];
  }
  return s;
}

std::string parameter(size_t number) {
  std::string s = "?";
  s += std::to_string(number);
  return s;
}

std::string parameterList(size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    if (i) s += ", ";
    s += parameter(i + 1);
  }
  return s;
}

// "col = CASE WHEN <v> = 'NA' THEN col ELSE <v> END"
std::string keepWhenNotAvailable(std::string_view column, const std::string& value) {
  std::string c(column);
  return c + " = CASE WHEN " + value + " = 'NA' THEN " + c + " ELSE " + value + " END";
}

// Rows strictly below `path` are those in [path + "/", path + "0"): '0' is
// the byte after '/', and FILEPATH compares bytewise, so the unique index
// answers this without LIKE and its wildcards.
struct Range {
  std::string low, high;
};
Range rangeBelow(const std::string& path) {
  Range r{path, path};
  if (!path.ends_with('/')) {
    r.low += '/';
    r.high += '/';
  }
  r.high.back() = '0';
  return r;
}

// "" and "/" stand for the sync root itself.
bool isWholeTree(const std::string& path) { return path.find_first_not_of('/') == std::string::npos; }

bool isInside(const std::string& path, const std::string& folder) {
  Range r = rangeBelow(folder);
  return path >= r.low && path < r.high;
}

}  // namespace

BatchApplier::BatchApplier(SqliteConnection& main, pendingbatch::Target target)
    : main_(main),
      columns_(target == pendingbatch::Target::kFileTable ? filestate::kFileRecordValues
                                                          : filestate::kOutOfBoxRecordValues) {
  std::string table(pendingbatch::targetText(target));
  std::string cols = columnList(columns_), params = parameterList(columns_);
  insertSql_ = "INSERT OR REPLACE INTO " + table + " (" + cols + ") VALUES (" + params + ")";

  updateSql_ = "INSERT INTO " + table + " (" + cols + ") VALUES (" + params +
               ") ON CONFLICT (FILEPATH) DO UPDATE SET ";
  for (size_t i = 1; i < columns_; ++i) {
    if (i > 1) updateSql_ += ", ";
    updateSql_ += keepWhenNotAvailable(filestate::kColumns[i],
                                       "excluded." + std::string(filestate::kColumns[i]));
  }

  // ?1 old path, ?2 new path, ?(i+1) the value of column i.
  renameSql_ = "UPDATE OR REPLACE " + table + " SET FILEPATH = ?2";
  for (size_t i = filestate::kFileSize; i < columns_; ++i)
    renameSql_ += ", " + keepWhenNotAvailable(filestate::kColumns[i], parameter(i + 1));
  renameSql_ += " WHERE FILEPATH = ?1";

  // Byte offsets (CAST AS BLOB), so paths that are not ASCII move intact.
  moveBelowSql_ = "UPDATE OR REPLACE " + table +
                  " SET FILEPATH = CAST(?1 || substr(CAST(FILEPATH AS BLOB), ?2) AS TEXT)"
                  " WHERE FILEPATH >= ?3 AND FILEPATH < ?4";
  existsBelowSql_ = "SELECT 1 FROM " + table + " WHERE FILEPATH >= ?1 AND FILEPATH < ?2 LIMIT 1";
  deleteSql_ = "DELETE FROM " + table + " WHERE FILEPATH = ?1";
  deleteBelowSql_ = "DELETE FROM " + table + " WHERE FILEPATH >= ?1 AND FILEPATH < ?2";
}

BatchApplier::Result BatchApplier::apply(Operation op, const Values& values) {
  if (values.empty() || !values[0] || values[0]->empty()) return Result::kSkipped;
  switch (op) {
    case Operation::kInsert:
      return insertRow(values);
    case Operation::kUpdate:
      return updateRow(values);
    case Operation::kRename:
      return renameRow(values);
    case Operation::kDelete:
      return deleteRow(*values[0]);
  }
  return Result::kSkipped;
}

bool BatchApplier::bindRecord(SqliteStatement& stmt, const Values& values) {
  stmt.reset();
  for (size_t i = 0; i < columns_ && i < values.size(); ++i) {
    bool ok = values[i] ? stmt.bindText(static_cast<int>(i) + 1, *values[i])
                        : stmt.bindNull(static_cast<int>(i) + 1);
    if (!ok) return false;
  }
  return true;
}

BatchApplier::Result BatchApplier::insertRow(const Values& values) {
  SqliteStatement* stmt = main_.cached(insertSql_);
  return stmt && bindRecord(*stmt, values) && stmt->run() ? Result::kApplied : Result::kFailed;
}

BatchApplier::Result BatchApplier::updateRow(const Values& values) {
  SqliteStatement* stmt = main_.cached(updateSql_);
  return stmt && bindRecord(*stmt, values) && stmt->run() ? Result::kApplied : Result::kFailed;
}

BatchApplier::Result BatchApplier::renameRow(const Values& values) {
  if (values.size() <= filestate::kFileLmd || !values[filestate::kFileLmd]) return Result::kSkipped;
  const std::string& from = *values[filestate::kFilePath];
  const std::string& to = *values[filestate::kFileLmd];
  if (isWholeTree(from) || isWholeTree(to) || to == from) return Result::kSkipped;
  // No file system moves a folder into itself or over its own ancestor.
  if (isInside(to, from) || isInside(from, to)) return Result::kSkipped;

  SqliteStatement* self = main_.cached(renameSql_);
  if (!self || !bindRecord(*self, values) || !self->run()) return Result::kFailed;

  // Below-rows move whether or not the row calls itself a folder: a file has
  // none, and the folder flag of a rename is not always right.
  if (!existsBelow(from)) return Result::kApplied;
  Range below = rangeBelow(from);
  Range target = rangeBelow(to);
  if (!deleteBelow(to)) return Result::kFailed;
  SqliteStatement* move = main_.cached(moveBelowSql_);
  if (!move) return Result::kFailed;
  move->reset();
  bool ok = move->bindText(1, target.low) &&
            move->bindInt64(2, static_cast<int64_t>(below.low.size()) + 1) &&
            move->bindText(3, below.low) && move->bindText(4, below.high) && move->run();
  return ok ? Result::kApplied : Result::kFailed;
}

BatchApplier::Result BatchApplier::deleteRow(const std::string& path) {
  if (isWholeTree(path)) return Result::kSkipped;
  SqliteStatement* stmt = main_.cached(deleteSql_);
  if (!stmt) return Result::kFailed;
  stmt->reset();
  if (!stmt->bindText(1, path) || !stmt->run()) return Result::kFailed;
  return deleteBelow(path) ? Result::kApplied : Result::kFailed;
}

bool BatchApplier::existsBelow(const std::string& path) {
  SqliteStatement* stmt = main_.cached(existsBelowSql_);
  if (!stmt) return false;
  Range r = rangeBelow(path);
  stmt->reset();
  stmt->bindText(1, r.low);
  stmt->bindText(2, r.high);
  bool found = stmt->step() == SqliteStatement::Step::kRow;
  stmt->reset();
  return found;
}

bool BatchApplier::deleteBelow(const std::string& path) {
  SqliteStatement* stmt = main_.cached(deleteBelowSql_);
  if (!stmt) return false;
  Range r = rangeBelow(path);
  stmt->reset();
  return stmt->bindText(1, r.low) && stmt->bindText(2, r.high) && stmt->run();
}

}  // namespace ulmora
