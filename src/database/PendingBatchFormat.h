#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Layout and file names of pending-operation ("batch") databases.
//
// A batch is a small SQLite file written by one DataBaseWrapper and merged
// later into the main database by DatabaseMerger. Batches of one account live
// in "<database folder>/<sync user>.pending/":
//   "<stamp>.db.progress"    being written; never merged
//   "<stamp>.db"             published; merged in name order (= publish order,
//                            the stamps come from the process-wide generator)
//   "<stamp>.db.unreadable"  could not be read; kept for inspection
namespace ulmora::pendingbatch {

enum class Operation { kInsert, kUpdate, kRename, kDelete };
enum class Target { kFileTable, kOutOfBoxTable };

inline constexpr std::string_view kFolderSuffix = ".pending";
inline constexpr std::string_view kPublishedExtension = ".db";
inline constexpr std::string_view kInProgressExtension = ".progress";
inline constexpr std::string_view kSetAsideExtension = ".unreadable";

// The operation sits in the seventh column, between the record's sixth and
// seventh values; rows are applied in rowid order.
inline constexpr const char* kSchema =
    "CREATE TABLE BATCH_INFO (TARGET TEXT NOT NULL, BATCH_ID TEXT NOT NULL);"
    "CREATE TABLE PENDING_OPERATIONS ("
    " FILEPATH TEXT NOT NULL, FILE_LMD TEXT, FILE_SIZE TEXT, ENC_METHOD TEXT, ENC_PSWD TEXT,"
    " FILE_OR_FOLDER TEXT, OPERATION TEXT NOT NULL, BKSET_LMD TEXT, SYNC_DATE TEXT,"
    " BACKUP_STATUS TEXT, CDP TEXT, RESTORE_STATUS TEXT, REF_ID TEXT);";

std::string_view operationText(Operation op);
std::optional<Operation> operationFromText(std::string_view text);
std::string_view targetText(Target target);
std::optional<Target> targetFromText(std::string_view text);

// "<dbFolder>/<user>.pending"; nullopt when `user` cannot name a file.
std::optional<std::string> folderFor(std::string_view dbFolder, std::string_view user);

// Published batch names in `folder` in merge order (empty when the folder is
// missing).
std::vector<std::string> publishedBatches(const std::string& folder);

}  // namespace ulmora::pendingbatch
