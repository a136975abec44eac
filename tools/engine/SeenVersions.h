#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include "EngineStatus.h"

namespace ulmora::kvt {

// The version of a server file that the computer starting a run last synced.
// An upload or delete may replace it only while the server still holds it:
// anything newer came from another computer and this one never saw it.
struct SeenVersion {
  int64_t size = 0;
  int64_t mtimeSeconds = 0;  // whole seconds since the epoch
  int64_t refId = 0;         // 0 when the computer has none recorded
};

// Canonical path below the run's remote folder ("/a/b") -> what was seen.
using SeenVersions = std::map<std::string, SeenVersion>;

// The server's file (size, modification time in nanoseconds, entry) is
// another one than `seen`. Times compare at whole seconds, the finest the
// computer records.
bool isUnseenVersion(int64_t size, int64_t mtimeNs, int64_t refId, const SeenVersion& seen);

// Reads a --seen-versions file: one line per file,
// "<size>\t<mtime seconds>\t<ref_id or empty>\t<path>", the path last so it
// may hold a TAB. Lines that do not parse are skipped (their files go
// unchecked, as without the file); a file that cannot be read fails the run.
std::variant<SeenVersions, Fatal> readSeenVersions(const std::string& file);

}  // namespace ulmora::kvt
