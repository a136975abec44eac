#include "StorageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "LocalTree.h"

namespace ulmora::kvt {

std::optional<std::string> readStorageFile(const std::string& path, size_t maxBytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return std::nullopt;
  }
  if (static_cast<size_t>(st.st_size) > maxBytes) {
    errno = EFBIG;
    return std::nullopt;
  }
  std::string text;
  char chunk[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
    if (text.size() > maxBytes) {  // grew while being read
      errno = EFBIG;
      return std::nullopt;
    }
  }
  return text;
}

bool isRealFolder(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    errno = ELOOP;
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

}  // namespace ulmora::kvt
