#include "capture/DirectoryWalker.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/LinkSafePath.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

class DirCloser {
 public:
  explicit DirCloser(DIR* dir) : dir_(dir) {}
  ~DirCloser() {
    if (dir_) closedir(dir_);
  }
  DirCloser(const DirCloser&) = delete;
  DirCloser& operator=(const DirCloser&) = delete;
  DIR* get() const { return dir_; }
  void reset(DIR* dir) {
    if (dir_) closedir(dir_);
    dir_ = dir;
  }

 private:
  DIR* dir_;
};

DirectoryWalker::EntryType typeFromMode(mode_t mode) {
  if (S_ISREG(mode)) return DirectoryWalker::EntryType::kFile;
  if (S_ISDIR(mode)) return DirectoryWalker::EntryType::kDirectory;
  if (S_ISLNK(mode)) return DirectoryWalker::EntryType::kSymlink;
  return DirectoryWalker::EntryType::kOther;
}

std::optional<DirectoryWalker::EntryType> typeOf(int dirFd, const dirent* entry) {
  switch (entry->d_type) {
    case DT_REG:
      return DirectoryWalker::EntryType::kFile;
    case DT_DIR:
      return DirectoryWalker::EntryType::kDirectory;
    case DT_LNK:
      return DirectoryWalker::EntryType::kSymlink;
    case DT_UNKNOWN:
      break;
    default:
      return DirectoryWalker::EntryType::kOther;
  }
  struct stat st;
  if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return typeFromMode(st.st_mode);
}

// Opens `folder`, the top or a folder below it, for reading. Each name from
// the top down is opened with O_NOFOLLOW: a folder replaced by a symlink
// since it was listed, or any folder above it on the way, is not entered,
// so the walk never leaves the tree through one.
int openBelowTop(const std::string& top, const std::string& folder) {
  constexpr int kRead = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  if (folder == top) return open(folder.c_str(), kRead);
  // What is found there could not be named to anyone by its path either.
  if (folder.size() >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::optional<std::vector<std::string>> parts;
  if (folder.size() > top.size() && folder.compare(0, top.size(), top) == 0)
    parts = linksafe::plainComponents(std::string_view(folder).substr(top.size()));
  if (!parts) {
    errno = EINVAL;
    return -1;
  }
  linksafe::OpenOptions options;
  options.followRoot = false;
  std::optional<linksafe::Parent> parent = linksafe::openParent(top, *parts, options);
  if (!parent) return -1;
  return openat(parent->folder.get(), parent->leaf.c_str(), kRead);
}

DIR* openFolder(const std::string& top, const std::string& path, int* error, dev_t* dev, ino_t* ino) {
  const int fd = openBelowTop(top, path);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return nullptr;
  }
  *dev = st.st_dev;
  *ino = st.st_ino;
  DIR* dir = fdopendir(fd);
  if (!dir) {
    *error = errno;
    close(fd);
  }
  return dir;
}

}  // namespace

DirectoryWalker::Result DirectoryWalker::walk(const std::string& top, const Callbacks& callbacks,
                                              std::stop_token stop) {
  Result result;
  std::vector<std::string> pending;
  pending.push_back(top);
  std::set<std::pair<dev_t, ino_t>> seen;
  bool first = true;
  std::string path;
  while (!pending.empty()) {
    if (stop.stop_requested()) {
      result.stopped = true;
      break;
    }
    std::string folder = std::move(pending.back());
    pending.pop_back();
    const bool isTop = first;
    first = false;
    if (callbacks.enterFolder && !callbacks.enterFolder(folder)) continue;

    int error = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    DirCloser dir(openFolder(top, folder, &error, &dev, &ino));
    for (int retry = 0; !dir.get() && (error == EMFILE || error == ENFILE); ++retry) {
      if (callbacks.outOfHandles) {
        if (!callbacks.outOfHandles(folder)) break;
      } else {
        if (retry == 0) {
          traceLine("folder walk: no file handle free to read \"" + folder + "\"; trying again");
        }
        if (retry >= kHandleRetries || stop.stop_requested()) break;
        Clock::systemClock().sleepFor(kHandleRetryPause);
      }
      dir.reset(openFolder(top, folder, &error, &dev, &ino));
    }
    if (!dir.get()) {
      ++result.foldersSkipped;
      if (callbacks.folderSkipped) callbacks.folderSkipped(folder, error);
      // A folder removed while the walk ran is no news; anything else is.
      if (error != ENOENT && error != ENOTDIR) {
        traceLine("folder walk: cannot read \"" + folder + "\": " + std::strerror(error));
      }
      continue;
    }
    if (!seen.emplace(dev, ino).second) {
      ++result.foldersSkipped;
      if (callbacks.folderSkipped) callbacks.folderSkipped(folder, ELOOP);
      traceLine("folder walk: \"" + folder + "\" was reached twice (a mount loop); not read again");
      continue;
    }
    const int dirFd = dirfd(dir.get());
    while (true) {
      errno = 0;  // the callbacks make system calls of their own
      const dirent* entry = readdir(dir.get());
      if (!entry) {
        if (errno != 0) {
          traceLine("folder walk: reading \"" + folder + "\" failed: " + std::strerror(errno));
        }
        break;
      }
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      std::optional<EntryType> type = typeOf(dirFd, entry);
      if (!type) continue;  // gone since it was listed
      path.assign(folder);
      if (path.empty() || path.back() != '/') path.push_back('/');
      path.append(name);
      const Entry item{path, std::string_view(name), *type};
      const bool descend = callbacks.entry ? callbacks.entry(item) : true;
      if (*type == EntryType::kDirectory && descend) pending.push_back(path);
    }
    ++result.foldersRead;
    if (isTop) result.topReadable = true;
  }
  return result;
}

}  // namespace ulmora
