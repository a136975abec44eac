#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulmora::kvt {

// Paths the engine accepts from set files and remote addresses, in their one
// canonical server form: "/a/b" for a file, "/a/b/" for a folder, "/" for the
// root. Paths are bytes; only what could leave the root is refused.
struct EnginePath {
  std::string path;  // canonical form
  bool isFolder = false;
  bool isRoot() const { return path == "/"; }
  // The components between the slashes ("/a/b/" -> {"a", "b"}).
  std::vector<std::string> components() const;
};

// Canonical form of `raw` (leading "/" optional, repeated "/" collapsed).
// nullopt for a NUL byte or a "." / ".." component. The root is returned as
// "/" (isRoot) so that callers decide whether the root is allowed.
std::optional<EnginePath> normalizePath(std::string_view raw);

// `base` (canonical, a folder or the root) joined with canonical `relative`.
std::string joinServerPath(std::string_view base, std::string_view relative);

// Escapes a path for an output line: "\\", TAB, LF and CR as two-character
// sequences; every other byte unchanged.
std::string escapeField(std::string_view raw);
std::string unescapeField(std::string_view escaped);

// The smallest byte string greater than every string starting with `prefix`
// ("" when there is none), for index range scans of a prefix.
std::string prefixUpperBound(std::string_view prefix);

// "/a/b/c" -> {"/a/", "/a/b/"}; "/a/b/" -> {"/a/"}.
std::vector<std::string> parentFolders(std::string_view canonical);

// Last component without a trailing "/" ("/a/b/" -> "b").
std::string lastName(std::string_view canonical);

}  // namespace ulmora::kvt
