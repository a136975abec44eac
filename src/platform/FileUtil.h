#pragma once

#include <sys/types.h>

#include <cstdint>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulmora::fileutil {

// Safe file operations. None of them runs a shell. Failures return false or
// nullopt and leave a trace line (platform/Trace.h) naming the path and errno,
// except where "quietly" is said.
//
// Thread-safety: all functions are safe to call from any thread; they share no
// state. They are not atomic with respect to other processes except where said.

// Owner-only modes the agent uses for everything it creates for itself.
inline constexpr mode_t kOwnerOnlyFile = 0600;
inline constexpr mode_t kOwnerOnlyFolder = 0700;

// Whole file contents; nullopt when it cannot be read (quietly for a missing file).
std::optional<std::string> readFile(const std::string& path);

// Whether an atomic write waits for the disk. kUnsynced skips the two fsyncs
// (file and folder): readers still see the old or the new contents, never a
// part, but after a power failure the file may hold either, or nothing. Only
// for small files the agent rewrites all the time and whose loss costs
// nothing; journals and databases keep kSynced.
enum class Durability { kSynced, kUnsynced };

// Writes `contents` to a temporary file beside `path` (its name ends with
// ".progress"), fsyncs it, sets `mode`, then renames it over `path`. Readers
// see either the old or the new contents, never a part.
bool writeFileAtomically(const std::string& path, std::string_view contents,
                         mode_t mode = kOwnerOnlyFile, Durability durability = Durability::kSynced);

// Replaces the contents of `path` as an unsynced writeFileAtomically does
// (readers that open `path` see the old or the new contents, never a part),
// for small files rewritten after every finished item. The contents go into a
// side file kept beside `path` (".<name>.swap", overwritten in place), which
// then trades places with `path` (renameat2 RENAME_EXCHANGE), leaving the
// previous contents in the side file for the next write. No file is created or
// freed per write: renaming a new file over an old one frees the old file,
// which on ext4 starts write-back of the new one and, with online discard,
// waits for the disk, some 0.3-0.5 ms a write against 0.02 ms here.
// Where `path` is missing or not a regular file, or the file system cannot
// exchange, this is writeFileAtomically with Durability::kUnsynced.
bool writeFileByExchange(const std::string& path, std::string_view contents,
                         mode_t mode = kOwnerOnlyFile);

// Appends `contents` to `path`, creating it with `mode` when missing.
bool appendToFile(const std::string& path, std::string_view contents, mode_t mode = kOwnerOnlyFile);

enum class RenameResult { kOk, kTargetExists, kFailed };
// Renames `from` to `to` only when `to` does not exist (renameat2 with
// RENAME_NOREPLACE; where the file system lacks it, link+unlink for files).
// Never replaces anything.
RenameResult renameNoReplace(const std::string& from, const std::string& to);

// Creates `path` and any missing parent folders, each new one with `mode`.
// True when `path` is a folder afterwards (also when it already was).
bool makeDirectories(const std::string& path, mode_t mode = kOwnerOnlyFolder);

// chmod(2); with `recursive`, every entry below a folder too (symlinks are not
// followed and not changed).
bool setMode(const std::string& path, mode_t mode, bool recursive = false);

// chown(2) (lchown for symlinks); with `recursive`, every entry below a folder.
// Only attempted when the process runs as root; otherwise returns true and
// does nothing, because an unprivileged agent already owns what it creates.
bool setOwner(const std::string& path, uid_t uid, gid_t gid, bool recursive = false);

// Removes a file, a symlink (not its target) or a whole folder tree; true
// when nothing is at `path` afterwards. Never follows symlinks.
bool removeAll(const std::string& path);

// Names in a folder (without "." and ".."), sorted bytewise. nullopt when
// the folder cannot be read.
std::optional<std::vector<std::string>> listDirectory(const std::string& path);

// lstat-based predicates; false for a missing path.
bool exists(const std::string& path);          // anything, including a dangling symlink
bool isDirectory(const std::string& path);     // a real folder (a symlink to one is not)
bool isSymlink(const std::string& path);
std::optional<int64_t> fileSize(const std::string& path);  // stat of the path itself

// "a/b" + "c" -> "a/b/c", without doubling separators.
std::string joinPath(std::string_view base, std::string_view name);
// The part after the last "/" ("" for a path ending in "/").
std::string lastComponent(std::string_view path);
// The part before the last "/" ("/" for "/x", "" for "x").
std::string parentPath(std::string_view path);

}  // namespace ulmora::fileutil
