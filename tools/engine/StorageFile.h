#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace ulmora::kvt {

// Everything below the storage folder is the service's own: a symbolic link
// in it was put there by someone else and is never followed (the storage
// folder itself may be reached through one; the user chose it).

// The account table and the fault plan are a few lines each.
inline constexpr size_t kMaxStorageTableBytes = 1u << 20;

// The contents of the regular file `path`; nullopt (errno set) when it is
// missing, a link (ELOOP), not a regular file, or larger than `maxBytes`
// (EFBIG).
std::optional<std::string> readStorageFile(const std::string& path, size_t maxBytes);

// Fails with ELOOP when `path` is a symbolic link and ENOTDIR when it is
// anything but a folder.
bool isRealFolder(const std::string& path);

}  // namespace ulmora::kvt
