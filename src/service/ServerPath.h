#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ulmora::serverpath {

// Checks on paths that come from the server or are sent to it: paths relative
// to the sync root in the engine's form ("/a/b", a folder ending "/").
//
// A server path must never take a local operation outside the sync root, nor
// into the agent's own cache folder, whatever the server (or a stand-in that
// misbehaves) sends. These functions are the one place that decides.
//
// Thread-safety: pure functions.

// The cache folder directly under the sync root; no server path may name it.
inline constexpr std::string_view kCacheFolderName = ".UMSCache";

// Why `path` cannot name an item under the root, or nullopt when it can:
// empty, a NUL byte, a "." or ".." component, the root itself, or the cache
// folder (or anything in it).
std::optional<std::string> whyUnsafe(std::string_view path);

inline bool isSafeItemPath(std::string_view path) { return !whyUnsafe(path).has_value(); }

// `path` with a leading "/" (the engine accepts both forms; the journals and
// the database use this one).
std::string withLeadingSlash(std::string_view path);

// Printable form of a path for a trace line: control bytes escaped, cut to a
// sane length, so a hostile name cannot forge or flood trace lines.
std::string forTrace(std::string_view path);

}  // namespace ulmora::serverpath
