#pragma once

#include <optional>
#include <string>
#include <vector>

#include "database/RDDataBase.h"

namespace ulmora {

// One row of the account's file-state database, as the capture compares it
// with the disk.
struct LocalFileRow {
  std::string path;  // relative to the sync root, leading "/"
  std::string modificationDate;  // FILE_LMD as stored ("NA" when unknown)
  std::string size;              // FILE_SIZE as stored
  bool isFolder = false;
  bool pendingDownload = false;  // RESTORE_STATUS "0": not on disk yet
};

// The local-database reads the capture needs. Every answer is nullopt when
// the database is missing or cannot be read, so that a caller can tell "no
// rows" from "no database" (a rescan must never turn the latter into
// deletes).
//
// Thread-safety: implementations must allow calls from any thread.
class CaptureDatabase {
 public:
  virtual ~CaptureDatabase() = default;

  // Relative paths still to upload / to download (file table).
  virtual std::optional<std::vector<std::string>> pathsToUpload() = 0;
  virtual std::optional<std::vector<std::string>> pathsToDownload() = 0;
  // The same for the Out-of-Box table.
  virtual std::optional<std::vector<std::string>> outOfBoxPathsToUpload() = 0;
  virtual std::optional<std::vector<std::string>> outOfBoxPathsToDownload() = 0;

  // Every row of the file table.
  virtual std::optional<std::vector<LocalFileRow>> fileRows() = 0;

  // The rename/delete database.
  virtual std::optional<RDDataBaseRows> renameDeleteRows() = 0;
};

}  // namespace ulmora
