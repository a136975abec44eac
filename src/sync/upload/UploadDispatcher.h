#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/User.h"
#include "sync/runs/RepeatedSetRule.h"
#include "sync/runs/UploadRoadPorts.h"
#include "platform/RunLoop.h"
#include "sync/upload/UploadRenames.h"

namespace ulmora {

// Turns the upload journal into one run of the upload manager: the next
// batch (after the entries an interrupting delete left in file 114), the
// filters, the repeated-set rule, the connection record, the entry list
// file 113 and the "about to sync" list for the file manager.
//
// Thread-safety: startBackup runs on the main thread (checked in debug and
// test builds); the repeat counter is shared with the run endings under its
// own lock.
class UploadDispatcher {
 public:
  struct Config {
    std::function<std::string()> syncRoot;
    std::string backupFileEntriesPath;             // application file 113
    std::string backupFileEntriesAfterDeletePath;  // application file 114
    std::string proxySettingsPath;                 // application file 84
    // The server version a file's upload may replace, from its database
    // row (seenVersionForUpload); nullopt: not checked.
    std::function<std::optional<engineset::SeenVersion>(const std::string&)> seenVersion;
    // Where startBackup runs; RunLoop::main() when null.
    const RunLoop* mainLoop = nullptr;
  };
  enum class Outcome { kNothingToUpload, kFilteredOut, kRepeatStopped, kStarted };

  UploadDispatcher(Config config, SyncInputPort& queue, TransferManagerPort& uploadManager,
                   UploadRoadHost& host, UploadRenames& renames,
                   RepeatedSetCounts& repeatedSets);

  Outcome startBackup();

  // The account's connection record for any engine-driven controller (no
  // default-key flag: only upload runs carry it).
  User userForEngineController();
  const std::string& proxySettingsPath() const { return config_.proxySettingsPath; }
  const std::string& pathBackupFileEntry() const { return config_.backupFileEntriesPath; }

 private:
  std::vector<std::string> takeBatch();

  Config config_;
  SyncInputPort& queue_;
  TransferManagerPort& manager_;
  UploadRoadHost& host_;
  UploadRenames& renames_;
  RepeatedSetCounts& repeatedSets_;
};

}  // namespace ulmora
