#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulmora::engineset {

// Helpers for the lists of paths the engine is given: the run set and the set
// files (one path per line) that carry it to the engine.

// The engine reads set files of at most this many paths.
inline constexpr std::size_t kMaxPathsPerSetFile = 950;

// `entries` without repeats, first occurrence kept, order otherwise unchanged.
std::vector<std::string> dedupe(const std::vector<std::string>& entries);

// True when `path` is `prefix` or lies below it, compared on whole path
// components: "/A/b" has the prefix "/A" and "/A/", but not "/Ab" nor "/A/b/c".
// An empty prefix matches nothing.
bool hasComponentPrefix(std::string_view path, std::string_view prefix);

// The entries one per line, without a line end after the last.
std::string joinLines(const std::vector<std::string>& entries);

// A path the one-path-per-line format can carry (no line break, no NUL).
bool isListablePath(std::string_view path);

// Writes `entries` into files "<stem>_<n>" (n = 1, 2, ...) in `folder`, at
// most kMaxPathsPerSetFile paths each, owner-only, each file starting with
// `firstLine` when given. Entries that cannot be listed are left out with a
// trace line. Returns the paths of the files written (none for no entries),
// nullopt when a file could not be written.
std::optional<std::vector<std::string>> writeSetFiles(const std::string& folder,
                                                      std::string_view stem,
                                                      const std::vector<std::string>& entries,
                                                      const std::optional<std::string>& firstLine);

// The version of a server file this computer last synced: an upload or
// delete run given it replaces the file only while the server still holds
// that version (the engine's --seen-versions).
struct SeenVersion {
  int64_t size = 0;
  int64_t mtimeSeconds = 0;  // whole seconds since the epoch
  std::string refId;         // decimal, or empty when none is recorded
  bool operator==(const SeenVersion&) const = default;
};
using SeenVersions = std::map<std::string, SeenVersion>;  // relative path ("/a/b") -> version

// The lines of a --seen-versions file for those of `entries` that `seen`
// names: "<size>\t<mtime seconds>\t<ref_id>\t<path>", each ending "\n";
// paths the format cannot carry are left out.
std::string seenVersionLines(const std::vector<std::string>& entries, const SeenVersions& seen);

}  // namespace ulmora::engineset
