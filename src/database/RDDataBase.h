#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/PropertyList.h"

namespace ulmora {

class SqliteConnection;

// One row of the rename/delete database: an item renamed or deleted while
// the sync could not pass it on, keyed by its path.
struct RDDataBaseEntry {
  std::string fileLmd;
  std::string fileSize;
  std::string renamedTo;
  bool operator==(const RDDataBaseEntry&) const = default;
};

// Rows grouped by BACKUP_STATUS ("3" and "4", both always present), then by
// path.
using RDDataBaseRows = std::map<std::string, std::map<std::string, RDDataBaseEntry>>;

// The rename/delete database: "<folder>/<name>.ql" (the name is
// "RDDataBase"), table RD_TABLE (FILEPATH unique, FILE_LMD, FILE_SIZE,
// RENAMED_TO, BACKUP_STATUS).
namespace rddatabase {

inline constexpr std::string_view kName = "RDDataBase";
inline constexpr std::array<std::string_view, 2> kStatusGroups = {"3", "4"};
// Keys of the property-list form.
inline constexpr std::string_view kFileLmdKey = "FILE_LMD";
inline constexpr std::string_view kFileSizeKey = "FILE_SIZE";
inline constexpr std::string_view kRenamedToKey = "RENAMED_TO";

bool createSchema(SqliteConnection& db);
// Adds or replaces the row of `path`. `status` must be one of kStatusGroups.
bool addEntry(SqliteConnection& db, const std::string& path, std::string_view status,
              const RDDataBaseEntry& entry);
// nullopt when the table cannot be read.
std::optional<RDDataBaseRows> queryRows(SqliteConnection& db);
bool deleteEntry(SqliteConnection& db, const std::string& path);

// {"3": {path: {"FILE_LMD", "FILE_SIZE", "RENAMED_TO"}}, "4": {...}}
PropertyList toPropertyList(const RDDataBaseRows& rows);

}  // namespace rddatabase
}  // namespace ulmora
