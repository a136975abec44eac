#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal/SyncRootPath.h"
#include "platform/Clock.h"

namespace ulmora {

// The controller's path services, on whole path components (SyncRootPath).
//
// Thread-safety: pure functions (WriteFilesFromArray touches only its file
// and sleeps on its caller's thread).
namespace syncpaths {

// A relative path (leading "/" or not) or a full path under the root, as a
// full path. nullopt when the root is unknown, the path is empty (an empty
// line of a list must never stand for the root), or the path carries a ".."
// component or a NUL byte, so it could leave the root. The root itself maps
// to the root, and so does "/".
std::optional<std::string> fullPath(const SyncRootPath& root, std::string_view path);

// A full path under the root as a relative path with its leading "/"; the
// root itself is "/". Any other path comes back unchanged.
std::string relativePath(const SyncRootPath& root, std::string_view path);

// The extension, lower-cased, is one of the image types thumbnails are made of.
bool isSupportedFileType(std::string_view path);
const std::vector<std::string>& imageFileExtensions();

// `relativePath` is one of `goneEntries` or lies below one (whole components).
// The caller passes only entries whose item no longer exists locally.
bool isUnderAny(std::string_view relativePath, const std::vector<std::string>& goneEntries);

// Writes the non-empty entries joined by "\n" (no trailing newline),
// atomically, owner-only. Entries holding a newline cannot be carried by the
// format; they are left out with a trace line. An empty list writes nothing.
// With `pacing`, the calling thread yields kListPause on that clock after the
// entry at every index divisible by 100 (index 0 included), so a long list
// does not hog the disk.
inline constexpr Clock::Duration kListPause = std::chrono::milliseconds(10);
bool WriteFilesFromArray(const std::vector<std::string>& entries, const std::string& path,
                         Clock* pacing = nullptr);

}  // namespace syncpaths
}  // namespace ulmora
