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
Range rangeBelow(std::string_view path) {
  Range r{std::string(path), std::string(path)};
  if (!path.ends_with('/')) {
    r.low += '/';
    r.high += '/';
  }
  r.high.back() = '0';
  return r;
}

// Where a moved tree waits while its rows are renamed: before every stored
// path, since each begins with "/".
constexpr std::string_view kAsidePrefix = "\x01";

// "" and "/" stand for the sync root itself.
bool isWholeTree(std::string_view path) {
  return path.find_first_not_of('/') == std::string_view::npos;
}

bool isInside(std::string_view path, std::string_view folder) {
  Range r = rangeBelow(folder);
  return path >= r.low && path < r.high;
}

}  // namespace

BatchApplier::BatchApplier(SqliteConnection& main, pendingbatch::Target target,
                           std::string_view attachedBatch)
    : main_(main),
      columns_(target == pendingbatch::Target::kFileTable ? filestate::kFileRecordValues
                                                          : filestate::kOutOfBoxRecordValues) {
  std::string table(pendingbatch::targetText(target));
  std::string cols = columnList(columns_), params = parameterList(columns_);
  insertSql_ = "INSERT OR REPLACE INTO " + table + " (" + cols + ") VALUES (" + params + ")";

  std::string keepOnConflict = " ON CONFLICT (FILEPATH) DO UPDATE SET ";
  for (size_t i = 1; i < columns_; ++i) {
    if (i > 1) keepOnConflict += ", ";
    keepOnConflict += keepWhenNotAvailable(filestate::kColumns[i],
                                           "excluded." + std::string(filestate::kColumns[i]));
  }
  updateSql_ = "INSERT INTO " + table + " (" + cols + ") VALUES (" + params + ")" + keepOnConflict;

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

  if (attachedBatch.empty()) return;
  // The values as apply() would bind them: text (CAST), NULL kept, rows
  // without a path left out. ORDER BY rowid makes a later row of the run see
  // an earlier one, exactly as separate statements would; the WHERE clause
  // also keeps SQLite from reading "ON CONFLICT" as a join constraint.
  std::string values;
  for (size_t i = 0; i < columns_; ++i) {
    if (i) values += ", ";
    values += "CAST(" + std::string(filestate::kColumns[i]) + " AS TEXT)";
  }
  std::string run = " SELECT " + values + " FROM " + std::string(attachedBatch) +
                    ".PENDING_OPERATIONS WHERE rowid BETWEEN ?1 AND ?2"
                    " AND CAST(FILEPATH AS TEXT) <> '' ORDER BY rowid";
  insertRunSql_ = "INSERT OR REPLACE INTO " + table + " (" + cols + ")" + run;
  updateRunSql_ = "INSERT INTO " + table + " (" + cols + ")" + run + keepOnConflict;
}

SqliteStatement* BatchApplier::statement(SqliteStatement*& slot, const std::string& sql) {
  if (!slot) slot = main_.cached(sql);
  return slot;
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

BatchApplier::Result BatchApplier::applyRun(Operation op, int64_t firstRowid, int64_t lastRowid) {
  SqliteStatement* stmt = nullptr;
  if (op == Operation::kInsert && !insertRunSql_.empty())
    stmt = statement(insertRun_, insertRunSql_);
  if (op == Operation::kUpdate && !updateRunSql_.empty())
    stmt = statement(updateRun_, updateRunSql_);
  if (!stmt) return Result::kFailed;
  stmt->reset();
  bool ok = stmt->bindInt64(1, firstRowid) && stmt->bindInt64(2, lastRowid) && stmt->run();
  return ok ? Result::kApplied : Result::kFailed;
}

bool BatchApplier::bindRecord(SqliteStatement& stmt, const Values& values) {
  stmt.reset();
  // The values outlive the run() that follows.
  for (size_t i = 0; i < columns_ && i < values.size(); ++i) {
    bool ok = values[i] ? stmt.bindBorrowedText(static_cast<int>(i) + 1, *values[i])
                        : stmt.bindNull(static_cast<int>(i) + 1);
    if (!ok) return false;
  }
  return true;
}

BatchApplier::Result BatchApplier::insertRow(const Values& values) {
  SqliteStatement* stmt = statement(insert_, insertSql_);
  return stmt && bindRecord(*stmt, values) && stmt->run() ? Result::kApplied : Result::kFailed;
}

BatchApplier::Result BatchApplier::updateRow(const Values& values) {
  SqliteStatement* stmt = statement(update_, updateSql_);
  return stmt && bindRecord(*stmt, values) && stmt->run() ? Result::kApplied : Result::kFailed;
}

BatchApplier::Result BatchApplier::renameRow(const Values& values) {
  if (values.size() <= filestate::kFileLmd || !values[filestate::kFileLmd]) return Result::kSkipped;
  std::string_view from = *values[filestate::kFilePath];
  std::string_view to = *values[filestate::kFileLmd];
  if (isWholeTree(from) || isWholeTree(to) || to == from) return Result::kSkipped;
  // No file system moves a folder into itself.
  if (isInside(to, from)) return Result::kSkipped;
  // Nor over a folder that still holds something: a folder renamed onto
  // its own ancestor ("/a/b" to "/a") took the place of an ancestor that had
  // gone. Its tree is set aside first, so that the ancestor's other rows can
  // go without it and no moved row meets another on the way.
  const bool ontoAncestor = isInside(from, to);
  // Below-rows move whether or not the row calls itself a folder: a file has
  // none, and the folder flag of a rename is not always right.
  const bool hasBelow = existsBelow(from);
  const std::string aside = std::string(kAsidePrefix) + "/";
  const Range tree = rangeBelow(from);
  if (ontoAncestor && hasBelow && !moveBelow(tree.low, tree.high, aside)) return Result::kFailed;

  SqliteStatement* self = statement(rename_, renameSql_);
  if (!self || !bindRecord(*self, values) || !self->run()) return Result::kFailed;

  if (!hasBelow) return ontoAncestor && !deleteBelow(to) ? Result::kFailed : Result::kApplied;
  if (!deleteBelow(to)) return Result::kFailed;
  const Range source = ontoAncestor ? rangeBelow(kAsidePrefix) : tree;
  return moveBelow(source.low, source.high, rangeBelow(to).low) ? Result::kApplied
                                                                : Result::kFailed;
}

bool BatchApplier::moveBelow(const std::string& low, const std::string& high,
                             const std::string& newPrefix) {
  SqliteStatement* move = statement(moveBelow_, moveBelowSql_);
  if (!move) return false;
  move->reset();
  return move->bindText(1, newPrefix) && move->bindInt64(2, static_cast<int64_t>(low.size()) + 1) &&
         move->bindText(3, low) && move->bindText(4, high) && move->run();
}

BatchApplier::Result BatchApplier::deleteRow(std::string_view path) {
  if (isWholeTree(path)) return Result::kSkipped;
  SqliteStatement* stmt = statement(delete_, deleteSql_);
  if (!stmt) return Result::kFailed;
  stmt->reset();
  if (!stmt->bindText(1, path) || !stmt->run()) return Result::kFailed;
  return deleteBelow(path) ? Result::kApplied : Result::kFailed;
}

bool BatchApplier::existsBelow(std::string_view path) {
  SqliteStatement* stmt = statement(existsBelow_, existsBelowSql_);
  if (!stmt) return false;
  Range r = rangeBelow(path);
  stmt->reset();
  stmt->bindText(1, r.low);
  stmt->bindText(2, r.high);
  bool found = stmt->step() == SqliteStatement::Step::kRow;
  stmt->reset();
  return found;
}

bool BatchApplier::deleteBelow(std::string_view path) {
  SqliteStatement* stmt = statement(deleteBelow_, deleteBelowSql_);
  if (!stmt) return false;
  Range r = rangeBelow(path);
  stmt->reset();
  return stmt->bindText(1, r.low) && stmt->bindText(2, r.high) && stmt->run();
}

}  // namespace ulmora
