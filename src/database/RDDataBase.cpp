#include "database/RDDataBase.h"

#include <algorithm>

#include "database/SqliteConnection.h"

namespace ulmora::rddatabase {

bool createSchema(SqliteConnection& db) {
  return db.exec(
      "CREATE TABLE IF NOT EXISTS RD_TABLE (FILEPATH TEXT NOT NULL UNIQUE, FILE_LMD TEXT,"
      " FILE_SIZE TEXT, RENAMED_TO TEXT, BACKUP_STATUS TEXT)");
}

bool addEntry(SqliteConnection& db, const std::string& path, std::string_view status,
              const RDDataBaseEntry& entry) {
  if (path.empty() ||
      std::find(kStatusGroups.begin(), kStatusGroups.end(), status) == kStatusGroups.end())
    return false;
  SqliteStatement* stmt = db.cached(
      "INSERT OR REPLACE INTO RD_TABLE (FILEPATH, FILE_LMD, FILE_SIZE, RENAMED_TO, BACKUP_STATUS)"
      " VALUES (?1, ?2, ?3, ?4, ?5)");
  if (!stmt) return false;
  stmt->reset();
  return stmt->bindText(1, path) && stmt->bindText(2, entry.fileLmd) &&
         stmt->bindText(3, entry.fileSize) && stmt->bindText(4, entry.renamedTo) &&
         stmt->bindText(5, status) && stmt->run();
}

std::optional<RDDataBaseRows> queryRows(SqliteConnection& db) {
  SqliteStatement* stmt = db.cached(
      "SELECT FILEPATH, FILE_LMD, FILE_SIZE, RENAMED_TO, BACKUP_STATUS FROM RD_TABLE"
      " WHERE BACKUP_STATUS IN ('3', '4')");
  if (!stmt) return std::nullopt;
  RDDataBaseRows rows;
  for (std::string_view status : kStatusGroups) rows[std::string(status)];
  stmt->reset();
  SqliteStatement::Step step;
  while ((step = stmt->step()) == SqliteStatement::Step::kRow) {
    RDDataBaseEntry entry{stmt->columnText(1).value_or(""), stmt->columnText(2).value_or(""),
                          stmt->columnText(3).value_or("")};
    rows[*stmt->columnText(4)][stmt->columnText(0).value_or("")] = std::move(entry);
  }
  stmt->reset();
  if (step == SqliteStatement::Step::kError) return std::nullopt;
  return rows;
}

bool deleteEntry(SqliteConnection& db, const std::string& path) {
  SqliteStatement* stmt = db.cached("DELETE FROM RD_TABLE WHERE FILEPATH = ?1");
  if (!stmt) return false;
  stmt->reset();
  return stmt->bindText(1, path) && stmt->run();
}

PropertyList toPropertyList(const RDDataBaseRows& rows) {
  PropertyList::Dict groups;
  for (const auto& [status, entries] : rows) {
    PropertyList::Dict byPath;
    for (const auto& [path, entry] : entries) {
      PropertyList::Dict fields;
      fields[std::string(kFileLmdKey)] = entry.fileLmd;
      fields[std::string(kFileSizeKey)] = entry.fileSize;
      fields[std::string(kRenamedToKey)] = entry.renamedTo;
      byPath[path] = PropertyList(std::move(fields));
    }
    groups[status] = PropertyList(std::move(byPath));
  }
  return PropertyList(std::move(groups));
}

}  // namespace ulmora::rddatabase
