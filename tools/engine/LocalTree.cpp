#include "LocalTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ulmora::kvt {

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

LocalTree::LocalTree(const std::string& root)
    : root_(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

UniqueFd LocalTree::openFolder(const std::vector<std::string>& components, size_t count,
                               bool create) {
  UniqueFd current(::dup(root_.get()));
  for (size_t i = 0; i < count && current.valid(); ++i) {
    const char* name = components[i].c_str();
    int fd = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
      if (::mkdirat(current.get(), name, 0777) != 0 && errno != EEXIST) return UniqueFd();
      fd = ::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    // A link where a folder belongs reads as "not a folder", never as a way out.
    if (fd < 0 && errno == ELOOP) errno = ENOTDIR;
    current = UniqueFd(fd);
  }
  return current;
}

int LocalTree::parentFd(const EnginePath& path, bool create) {
  auto parts = path.components();
  if (parts.empty()) {
    errno = EINVAL;
    return -1;
  }
  parts.pop_back();
  if (cachedParentFd_.valid() && parts == cachedParent_) return cachedParentFd_.get();
  cachedParentFd_ = openFolder(parts, parts.size(), create);
  cachedParent_ = cachedParentFd_.valid() ? parts : std::vector<std::string>{};
  return cachedParentFd_.get();
}

bool LocalTree::statNoFollow(const EnginePath& path, struct stat* st) {
  int parent = parentFd(path, false);
  return parent >= 0 &&
         ::fstatat(parent, path.components().back().c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

UniqueFd LocalTree::openForRead(const EnginePath& path, struct stat* st) {
  int parent = parentFd(path, false);
  if (parent < 0) return UniqueFd();
  UniqueFd file(::openat(parent, path.components().back().c_str(),
                         O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) {
    if (errno == ELOOP) errno = EPERM;
    return UniqueFd();
  }
  if (::fstat(file.get(), st) != 0) return UniqueFd();
  if (S_ISDIR(st->st_mode)) {
    errno = EISDIR;
    return UniqueFd();
  }
  if (!S_ISREG(st->st_mode)) {
    errno = EPERM;
    return UniqueFd();
  }
  return file;
}

bool LocalTree::makeFolder(const EnginePath& path) {
  auto parts = path.components();
  return openFolder(parts, parts.size(), true).valid();
}

bool LocalTree::walk(const EnginePath& folder, std::vector<LocalFile>& files,
                     std::vector<std::string>& folders) {
  auto parts = folder.components();
  UniqueFd fd = openFolder(parts, parts.size(), false);
  if (!fd.valid()) return false;
  walkFolder(fd.release(), folder.path, files, folders, 0);
  return true;
}

void LocalTree::walkFolder(int fd, const std::string& prefix, std::vector<LocalFile>& files,
                           std::vector<std::string>& folders, int depth) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    // Half-written downloads of another engine are not the user's files.
    if (name.rfind(".kvt-part.", 0) == 0 || name.find(".kvt-part.") != std::string::npos) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    std::string path = prefix + name;
    if (S_ISREG(st.st_mode)) {
      files.push_back({path, int64_t(st.st_size)});
    } else if (S_ISDIR(st.st_mode) && depth < 256) {
      folders.push_back(path + "/");
      int child =
          ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) walkFolder(child, path + "/", files, folders, depth + 1);
    }
  }
  ::closedir(dir);
}

}  // namespace ulmora::kvt
