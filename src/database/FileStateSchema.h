#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "database/SqliteConnection.h"

// The account's file-state database "<sync user>.ql" in the database folder:
// one row per item of the sync root (FILE_TABLE) and of the Out-of-Box area
// (OB_FILE_TABLE), every value stored as text exactly as the writer gave it.
namespace ulmora::filestate {

inline constexpr std::string_view kDatabaseExtension = ".ql";
inline constexpr std::string_view kFileTable = "FILE_TABLE";
inline constexpr std::string_view kOutOfBoxTable = "OB_FILE_TABLE";
// Ids of the batches applied last: a batch merged again after a crash
// between commit and removal changes nothing.
inline constexpr std::string_view kMergedBatchesTable = "MERGED_BATCHES";

// The record columns in their fixed order; the Out-of-Box table has all but
// the last.
inline constexpr std::array<std::string_view, 12> kColumns = {
    "FILEPATH",     "FILE_LMD", "FILE_SIZE", "ENC_METHOD",     "ENC_PSWD", "FILE_OR_FOLDER",
    "BKSET_LMD",    "SYNC_DATE", "BACKUP_STATUS", "CDP", "RESTORE_STATUS", "REF_ID"};
inline constexpr std::size_t kFileRecordValues = 12;
inline constexpr std::size_t kOutOfBoxRecordValues = 11;
enum Column : int {
  kFilePath = 0,
  kFileLmd,
  kFileSize,
  kEncMethod,
  kEncPswd,
  kFileOrFolder,
  kBksetLmd,
  kSyncDate,
  kBackupStatus,
  kCdp,
  kRestoreStatus,
  kRefId,
};

// In update and rename rows: keep what the column holds.
inline constexpr std::string_view kNotAvailable = "NA";

// True when `name` can name a file directly inside the database folder:
// not empty, no "/" and no NUL, not "." or "..". User names and database
// names from callers are checked with this before they become paths.
bool isSafeName(std::string_view name);

// "<folder>/<name>.ql"; nullopt when the name is not safe.
std::optional<std::string> databasePath(std::string_view folder, std::string_view name);

// Opens an existing file-state (or rename/delete) database for queries.
// nullptr when it is missing or cannot be opened.
std::unique_ptr<SqliteConnection> openForQueries(const std::string& path, std::string* error);

// Opens the main database for the merge, creating it (0600) with its schema
// when missing, in WAL mode with full syncs. A file that is not a usable
// database gives nullptr and stays exactly as it is.
std::unique_ptr<SqliteConnection> openForMerge(const std::string& path, std::string* error);

}  // namespace ulmora::filestate
