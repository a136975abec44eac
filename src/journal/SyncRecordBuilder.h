#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace ulmora {

// Builds the file-table records the database write-behind hands to the
// database layer: the 12 values FILEPATH, FILE_LMD, FILE_SIZE, ENC_METHOD,
// ENC_PSWD, FILE_OR_FOLDER, BKSET_LMD, SYNC_DATE, BACKUP_STATUS, CDP,
// RESTORE_STATUS, REF_ID (Out-of-Box records: the first 11). "NA" in an
// update keeps what the database recorded.
//
// Thread-safety: pure functions (readFileFacts reads the file system).
namespace syncrecord {

using Record = std::vector<std::string>;

inline constexpr const char* kNA = "NA";

// What a record says about an item on disk.
struct FileFacts {
  std::string modificationDate;  // "yyyy-MM-dd HH:mm:ss +0000"
  std::string size;              // bytes, decimal
  bool isFolder = false;
};

// stat(2) with links followed; nullopt when the item cannot be examined.
std::optional<FileFacts> readFileFacts(const std::string& fullPath);
// A date as the database stores it: UTC, "yyyy-MM-dd HH:mm:ss +0000".
std::string dateText(Clock::WallTime t);
// The folder flag as the database stores booleans.
inline std::string flagText(bool b) { return b ? "1" : "0"; }

// Builders take their texts by value: a caller done with them moves them in,
// which saves copies on the write-behind's per-entry path.

// A finished upload: uploaded, in sync, downloaded.
Record uploaded(std::string relativePath, FileFacts facts);
// A file the server holds that is still to be downloaded; REF_ID = `refId`.
Record toDownload(std::string relativePath, std::string refId);
// An existing file whose server reference id is now known.
Record withRefId(std::string relativePath, FileFacts facts, std::string refId);
// A rename: the new relative path travels in FILE_LMD.
Record renamed(std::string oldRelativePath, std::string newRelativePath, bool newIsFolder);
// A new local file still to upload (BACKUP_STATUS "0"), REF_ID empty.
Record newLocalFile(std::string relativePath, FileFacts facts);

// Out-of-Box records (11 values).
Record outOfBoxNew(std::string path, FileFacts facts);
Record outOfBoxUploaded(std::string relativePath, FileFacts facts);
Record outOfBoxPending(std::string relativePath);

}  // namespace syncrecord
}  // namespace ulmora
