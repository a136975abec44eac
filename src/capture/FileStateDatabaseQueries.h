#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "capture/CaptureDatabase.h"

namespace ulmora {

class SqliteConnection;

// CaptureDatabase over the account's SQLite files: "<dbFolder>/<syncUser>.ql"
// (file table and Out-of-Box table) and "<dbFolder>/RDDataBase.ql".
//
// "To upload" is BACKUP_STATUS "0", "to download" RESTORE_STATUS "0" (the
// values the write-behind stores). Each call opens the file afresh, because
// the merge may replace it between calls and the capture queries rarely.
//
// Thread-safety: every method may be called from any thread; calls are
// serialised by one mutex.
class FileStateDatabaseQueries final : public CaptureDatabase {
 public:
  FileStateDatabaseQueries(std::string dbFolder, std::string syncUser);

  std::optional<std::vector<std::string>> pathsToUpload() override;
  std::optional<std::vector<std::string>> pathsToDownload() override;
  std::optional<std::vector<std::string>> outOfBoxPathsToUpload() override;
  std::optional<std::vector<std::string>> outOfBoxPathsToDownload() override;
  std::optional<std::vector<LocalFileRow>> fileRows() override;
  std::optional<RDDataBaseRows> renameDeleteRows() override;

 private:
  std::optional<std::vector<std::string>> pathsWithStatus(std::string_view sql);

  const std::string dbFolder_;
  const std::string syncUser_;
  Mutex mutex_;
};

}  // namespace ulmora
