#pragma once

#include <string>
#include <string_view>

namespace ulmora::capturepath {

// Path helpers shared by the filter sets, the watcher and the folder walks.
// Thread-safety: pure functions.

// The key form of a relative path in the filter sets: a leading "/" added
// when missing, trailing "/" removed ("" stays ""), so that "a/b", "/a/b"
// and "/a/b/" name one entry.
std::string normalizedRelative(std::string_view relativePath);

// Trailing "/" removed, except from "/" itself.
std::string_view withoutTrailingSlash(std::string_view path);

// `path` equals `ancestor` or lies below it, on whole components
// ("/a" covers "/a" and "/a/b", never "/ab").
bool isSameOrBelow(std::string_view path, std::string_view ancestor);

// RFC 3629 UTF-8 (no overlong forms, no surrogates). File names are bytes
// and are carried as they are; this only decides whether to trace.
bool isValidUtf8(std::string_view text);

// `name` for a log line a person reads: valid UTF-8 as it is, a line break
// as "\n", every other control character and every byte that is not part of
// valid UTF-8 as "\xNN".
std::string escapedName(std::string_view name);

// A relative path from a database row or a list that may be used under the
// root: no "." or ".." component and no NUL, so it cannot leave the root.
bool staysInsideRoot(std::string_view relativePath);

// The transfer engine writes a download under a hidden working name beside
// its target (".NAME.kvt-part.PID", or ".kvt-part.PID.N" for a long name)
// and renames it into place. A working file is never user content: one left
// behind by a killed engine must not be uploaded, and the rename into place
// is the arrival of the downloaded file, not a rename for the server.
bool isEngineWorkingFileName(std::string_view name);

}  // namespace ulmora::capturepath
