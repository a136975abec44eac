#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "EnginePath.h"
#include "EngineStatus.h"

namespace ulmora::kvt {

inline constexpr size_t kMaxSetEntries = 950;
// A longer line cannot be a path (PATH_MAX): refused like a path that leaves
// the root, and echoed back cut short.
inline constexpr size_t kMaxSetLineBytes = 4096;

// One line of a set file. `path` is empty when the line was refused (it
// leaves the root, holds a NUL or names the root itself): the run reports it
// as a failed item and goes on with the rest.
struct SetEntry {
  std::string raw;
  std::optional<EnginePath> path;
};

struct SetFileOptions {
  // Upload and download sets start with the local root unless --mirror.
  bool hasRootLine = false;
  // The local folder of the command line; the root line must name it.
  std::string localRoot;
  // Rename sets hold pairs of lines (old, new): the limit counts pairs.
  bool pairs = false;
};

// Reads one set file (docs/engine.md section 4). A file that cannot be read,
// holds more than 950 entries, is larger than a full set of the longest lines
// can be, has an odd rename line count or a root line that names another
// folder or is too long fails the whole run.
std::variant<std::vector<SetEntry>, Fatal> readSetFile(const std::string& path,
                                                        const SetFileOptions& options);

}  // namespace ulmora::kvt
