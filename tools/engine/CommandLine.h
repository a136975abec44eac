#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "EnginePath.h"
#include "EngineStatus.h"

namespace ulmora::kvt {

enum class Operation {
  kUpload,
  kDownload,
  kListChanges,
  kRename,
  kRemove,
  kMkdir,
  kSearch,
  kGetQuota,
  kQuotaFromFile,
  kEncodeString,
  kListVersions,
  kRestoreVersion,
};

// "user@server::quellar/path".
struct RemoteAddress {
  std::string user;    // as given; the account folder uses it lower-cased
  std::string server;  // an absolute storage folder, or a name under the storage root
  EnginePath path;
};

// One run's command line (docs/engine.md section 2), checked for shape only:
// files named in it are opened later.
struct CommandLine {
  Operation operation = Operation::kUpload;
  std::vector<std::string> setFiles;
  std::optional<std::string> seenVersionsFile;  // upload and delete
  bool mirror = false;
  std::optional<std::string> workDir;
  std::optional<std::string> passwordFile;
  std::optional<std::string> keyFile;
  int64_t listIndex = 0;
  std::string searchKey;
  bool includeTrash = false;
  int64_t restoreVersion = 0;
  RemoteAddress remote;
  std::optional<std::string> localRoot;
};

// The parsed command line, or the failure to print (status 1 for a usage
// fault, 5 for a user name no account can have).
std::variant<CommandLine, Fatal> parseCommandLine(const std::vector<std::string>& args);

std::optional<RemoteAddress> parseRemoteAddress(const std::string& text);

}  // namespace ulmora::kvt
