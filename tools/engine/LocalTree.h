#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "EnginePath.h"

namespace ulmora::kvt {

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// A file found by a folder walk.
struct LocalFile {
  std::string path;  // canonical, relative to the local root
  int64_t size = 0;
};

// The local side of a transfer: every path is opened component by component
// from the root without following a symbolic link, so a link planted inside
// the sync root can never make the engine read or write outside it.
//
// Failures return -1 / false with errno set.
class LocalTree {
 public:
  // Opens the root folder itself (a link to it is fine: the user chose it).
  explicit LocalTree(const std::string& root);
  bool valid() const { return root_.valid(); }

  // The folder holding `path`'s last component; with `create`, missing
  // folders are made (mode 0777 less the umask, like any user folder). The
  // descriptor stays owned by the tree and is valid until the next call:
  // files of one folder follow each other in a set, so it is opened once.
  int parentFd(const EnginePath& path, bool create);
  // lstat of `path` (a link is reported as a link, never followed).
  bool statNoFollow(const EnginePath& path, struct stat* st);
  // A regular file, read-only.
  UniqueFd openForRead(const EnginePath& path, struct stat* st);
  // Creates the folder `path` and its parents.
  bool makeFolder(const EnginePath& path);
  // The files below folder `path` (recursively, sorted, links skipped),
  // and the folders met on the way (canonical, ending "/").
  bool walk(const EnginePath& folder, std::vector<LocalFile>& files,
            std::vector<std::string>& folders);

 private:
  UniqueFd openFolder(const std::vector<std::string>& components, size_t count, bool create);
  void walkFolder(int fd, const std::string& prefix, std::vector<LocalFile>& files,
                  std::vector<std::string>& folders, int depth);

  UniqueFd root_;
  std::vector<std::string> cachedParent_;
  UniqueFd cachedParentFd_;
};

}  // namespace ulmora::kvt
