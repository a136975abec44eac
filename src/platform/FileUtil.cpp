#include "platform/FileUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <system_error>

#include "platform/Trace.h"

namespace ulmora::fileutil {

// The link()+unlink() path of renameNoReplace, reachable on its own so that
// it can be exercised on file systems that do support renameat2.
namespace detail {
RenameResult renameNoReplaceByLink(const std::string& from, const std::string& to);
}  // namespace detail

namespace {

constexpr size_t kNameMax = 255;
constexpr const char kProgressSuffix[] = ".progress";

std::string errnoText(int err) {
  return std::generic_category().message(err) + " (errno " + std::to_string(err) + ")";
}

void traceFailure(std::string_view what, std::string_view path, int err) {
  std::string line = "fileutil: ";
  line.append(what).append(" '").append(path).append("' failed: ").append(errnoText(err));
  traceLine(line);
}

// Owns a file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports close's own failure (a late write error).
  int close() {
    int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc;
  }
  void reset() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// The folder part as a path that open() accepts ("." for a bare name).
std::string folderOf(const std::string& path) {
  std::string parent = parentPath(path);
  return parent.empty() ? std::string(".") : parent;
}

// Makes the data and the name of a just-renamed file durable. Best effort:
// the rename itself has already happened.
void syncFolder(const std::string& folder) {
  Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid())
    ::fsync(fd.get());
}

// Creates the temporary file beside `path`; `tempPath` receives its name.
Fd createTemporaryBeside(const std::string& path, std::string* tempPath) {
  std::string name = lastComponent(path);
  std::string folder = parentPath(path);
  // Keep the temporary name within NAME_MAX even for long target names.
  std::string stem = name.size() + 8 + sizeof(kProgressSuffix) <= kNameMax ? name : std::string();
  std::string tmpl = joinPath(folder, "." + stem + ".XXXXXX" + kProgressSuffix);
  int fd = ::mkostemps(tmpl.data(), static_cast<int>(sizeof(kProgressSuffix) - 1), O_CLOEXEC);
  if (fd >= 0)
    *tempPath = tmpl;
  return Fd(fd);
}

// Entry names of an open folder, without "." and "..". Reads through a
// duplicate so that the caller's descriptor stays usable.
std::optional<std::vector<std::string>> entryNames(int dirFd) {
  int dupFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (dupFd < 0)
    return std::nullopt;
  DIR* dir = ::fdopendir(dupFd);
  if (!dir) {
    ::close(dupFd);
    return std::nullopt;
  }
  ::rewinddir(dir);
  std::vector<std::string> names;
  errno = 0;
  while (struct dirent* e = ::readdir(dir)) {
    std::string_view n(e->d_name);
    if (n != "." && n != "..")
      names.emplace_back(n);
  }
  int err = errno;
  ::closedir(dir);
  if (err != 0) {
    errno = err;
    return std::nullopt;
  }
  return names;
}

// Opens a folder without following a symlink at its last component.
Fd openFolderAt(int dirFd, const char* name) {
  return Fd(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Visits every entry below the open folder `dirFd`, depth first, never
// through a symlink. For a folder entry `visit` runs after its contents, with
// the folder still open as `childFd` (-1 for other entries). Stops at the
// first failure and returns false.
using EntryVisitor = std::function<bool(int dirFd,
                                        const std::string& name,
                                        const struct stat& st,
                                        int childFd,
                                        const std::string& where)>;

bool walkBelow(int dirFd, const std::string& where, const EntryVisitor& visit) {
  std::optional<std::vector<std::string>> names = entryNames(dirFd);
  if (!names) {
    traceFailure("reading folder", where, errno);
    return false;
  }
  bool ok = true;
  for (const std::string& name : *names) {
    std::string full = joinPath(where, name);
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT)
        continue;  // removed meanwhile
      traceFailure("lstat", full, errno);
      ok = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      Fd child = openFolderAt(dirFd, name.c_str());
      if (!child.valid()) {
        traceFailure("opening folder", full, errno);
        ok = false;
        continue;
      }
      ok = walkBelow(child.get(), full, visit) && ok;
      ok = visit(dirFd, name, st, child.get(), full) && ok;
    } else {
      ok = visit(dirFd, name, st, -1, full) && ok;
    }
  }
  return ok;
}

// Removes everything inside the open folder `dirFd`.
bool removeContents(int dirFd, const std::string& where);

bool removeEntry(int dirFd,
                 const std::string& name,
                 const struct stat& st,
                 const std::string& full) {
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT)
      return true;
    traceFailure("unlink", full, errno);
    return false;
  }
  // A folder of ours without owner permissions (a read-only copy) would
  // otherwise keep its contents; root needs no such help.
  if ((st.st_mode & S_IRWXU) != S_IRWXU && st.st_uid == ::geteuid())
    ::fchmodat(dirFd, name.c_str(), (st.st_mode & 07777) | S_IRWXU, 0);
  Fd child = openFolderAt(dirFd, name.c_str());
  if (!child.valid()) {
    if (errno == ENOENT)
      return true;
    traceFailure("opening folder", full, errno);
    return false;
  }
  bool ok = removeContents(child.get(), full);
  child.reset();
  if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT)
    return ok;
  traceFailure("rmdir", full, errno);
  return false;
}

bool removeContents(int dirFd, const std::string& where) {
  std::optional<std::vector<std::string>> names = entryNames(dirFd);
  if (!names) {
    traceFailure("reading folder", where, errno);
    return false;
  }
  bool ok = true;
  for (const std::string& name : *names) {
    std::string full = joinPath(where, name);
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT)
        continue;
      traceFailure("lstat", full, errno);
      ok = false;
      continue;
    }
    ok = removeEntry(dirFd, name, st, full) && ok;
  }
  return ok;
}

// Runs `visit` over every entry below `path` when it is a real folder.
bool walkTree(const std::string& path, const EntryVisitor& visit) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    traceFailure("lstat", path, errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode))
    return true;
  Fd top = openFolderAt(AT_FDCWD, path.c_str());
  if (!top.valid()) {
    traceFailure("opening folder", path, errno);
    return false;
  }
  return walkBelow(top.get(), path, visit);
}

}  // namespace

std::optional<std::string> readFile(const std::string& path) {
  // O_NONBLOCK keeps a FIFO put in place of a file from hanging the reader.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) {
    if (errno != ENOENT)
      traceFailure("open", path, errno);
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    traceFailure("fstat", path, errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    traceFailure("reading", path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    return std::nullopt;
  }
  std::string contents;
  contents.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof(buffer));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      traceFailure("read", path, errno);
      return std::nullopt;
    }
    if (n == 0)
      break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  return contents;
}

bool writeFileAtomically(const std::string& path, std::string_view contents, mode_t mode,
                         Durability durability) {
  if (path.empty() || lastComponent(path).empty()) {
    traceFailure("atomic write", path, EINVAL);
    return false;
  }
  std::string tempPath;
  Fd fd = createTemporaryBeside(path, &tempPath);
  if (!fd.valid()) {
    traceFailure("creating temporary file for", path, errno);
    return false;
  }
  const char* step = nullptr;
  if (!writeAll(fd.get(), contents))
    step = "write";
  else if (::fchmod(fd.get(), mode) != 0)
    step = "fchmod";
  else if (durability == Durability::kSynced && ::fsync(fd.get()) != 0)
    step = "fsync";
  else if (fd.close() != 0)
    step = "close";
  else if (::rename(tempPath.c_str(), path.c_str()) != 0)
    step = "rename";
  if (step) {
    int err = errno;
    fd.reset();
    ::unlink(tempPath.c_str());
    traceFailure(std::string("atomic write (") + step + ") of", path, err);
    return false;
  }
  if (durability == Durability::kSynced) syncFolder(folderOf(path));
  return true;
}

namespace {

bool pwriteAll(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Fills the side file of writeFileByExchange in place. False when it is not a
// plain file of ours to overwrite (it is then removed) or a step failed.
bool fillSideFile(const std::string& side, std::string_view contents, mode_t mode) {
  Fd fd(::open(side.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    fd.reset();
    ::unlink(side.c_str());
    return false;
  }
  if ((st.st_mode & 07777) != mode && ::fchmod(fd.get(), mode) != 0)
    return false;
  // Overwritten, then cut where it was longer: never truncated to nothing
  // first, which would make ext4 flush the file on close.
  const off_t size = static_cast<off_t>(contents.size());
  if (!pwriteAll(fd.get(), contents) || (st.st_size > size && ::ftruncate(fd.get(), size) != 0))
    return false;
  return fd.close() == 0;
}

}  // namespace

bool writeFileByExchange(const std::string& path, std::string_view contents, mode_t mode) {
  const std::string name = lastComponent(path);
  constexpr std::string_view kSideSuffix = ".swap";
  struct stat st;
  if (name.empty() || name.size() + 1 + kSideSuffix.size() > kNameMax || ::lstat(path.c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode))
    return writeFileAtomically(path, contents, mode, Durability::kUnsynced);
  const std::string side = joinPath(parentPath(path), "." + name + std::string(kSideSuffix));
  if (!fillSideFile(side, contents, mode))
    return writeFileAtomically(path, contents, mode, Durability::kUnsynced);
  if (::syscall(SYS_renameat2, AT_FDCWD, side.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0)
    return true;
  const int err = errno;
  ::unlink(side.c_str());
  if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOENT)
    return writeFileAtomically(path, contents, mode, Durability::kUnsynced);
  traceFailure("exchange with its side file of", path, err);
  return false;
}

bool appendToFile(const std::string& path, std::string_view contents, mode_t mode) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, mode));
  if (!fd.valid()) {
    traceFailure("open for append", path, errno);
    return false;
  }
  if (!writeAll(fd.get(), contents)) {
    traceFailure("append to", path, errno);
    return false;
  }
  if (fd.close() != 0) {
    traceFailure("close after append to", path, errno);
    return false;
  }
  return true;
}

namespace detail {

RenameResult renameNoReplaceByLink(const std::string& from, const std::string& to) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) {
    traceFailure("rename (link) source", from, errno);
    return RenameResult::kFailed;
  }
  // A folder cannot be hard-linked; renaming it plainly could replace an
  // empty folder at `to`, which this function promises never to do.
  if (S_ISDIR(st.st_mode)) {
    traceFailure("rename without replacing (folder) of", from, ENOTSUP);
    return RenameResult::kFailed;
  }
  if (::link(from.c_str(), to.c_str()) != 0) {
    if (errno == EEXIST)
      return RenameResult::kTargetExists;
    traceFailure("rename (link) to", to, errno);
    return RenameResult::kFailed;
  }
  if (::unlink(from.c_str()) != 0) {
    int err = errno;
    // Undo, so that the file is not left under both names.
    ::unlink(to.c_str());
    traceFailure("rename (unlink) of", from, err);
    return RenameResult::kFailed;
  }
  return RenameResult::kOk;
}

}  // namespace detail

RenameResult renameNoReplace(const std::string& from, const std::string& to) {
  long rc =
      ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (rc == 0)
    return RenameResult::kOk;
  int err = errno;
  if (err == EEXIST)
    return RenameResult::kTargetExists;
  if (err == EINVAL || err == ENOSYS)
    return detail::renameNoReplaceByLink(from, to);
  traceFailure("rename to '" + to + "' of", from, err);
  return RenameResult::kFailed;
}

bool makeDirectories(const std::string& path, mode_t mode) {
  if (path.empty()) {
    traceFailure("mkdir", path, ENOENT);
    return false;
  }
  size_t pos = 0;
  for (;;) {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    bool last = pos == std::string::npos || path.find_first_not_of('/', pos) == std::string::npos;
    if (!prefix.empty() && prefix.back() != '/') {
      if (::mkdir(prefix.c_str(), mode) == 0) {
        // mkdir's mode passes through the umask; the caller asked for exactly this one.
        if (::chmod(prefix.c_str(), mode) != 0) {
          traceFailure("chmod", prefix, errno);
          return false;
        }
      } else if (errno != EEXIST) {
        traceFailure("mkdir", prefix, errno);
        return false;
      } else {
        struct stat st;
        if (::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
          traceFailure("mkdir", prefix, ENOTDIR);
          return false;
        }
      }
    }
    if (last)
      return true;
  }
}

bool setMode(const std::string& path, mode_t mode, bool recursive) {
  bool ok = true;
  if (recursive) {
    // Entries below are changed before the folder itself, so that a mode
    // without owner access does not lock the walk out halfway.
    ok = walkTree(path, [mode](int dirFd, const std::string& name, const struct stat& st,
                               int childFd, const std::string& full) {
      if (S_ISLNK(st.st_mode))
        return true;
      int rc = childFd >= 0 ? ::fchmod(childFd, mode) : ::fchmodat(dirFd, name.c_str(), mode, 0);
      if (rc == 0)
        return true;
      traceFailure("chmod", full, errno);
      return false;
    });
  }
  if (::chmod(path.c_str(), mode) != 0) {
    traceFailure("chmod", path, errno);
    return false;
  }
  return ok;
}

bool setOwner(const std::string& path, uid_t uid, gid_t gid, bool recursive) {
  if (::geteuid() != 0)
    return true;
  bool ok = true;
  if (recursive) {
    ok = walkTree(path, [uid, gid](int dirFd, const std::string& name, const struct stat&, int,
                                   const std::string& full) {
      if (::fchownat(dirFd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
      traceFailure("chown", full, errno);
      return false;
    });
  }
  if (::lchown(path.c_str(), uid, gid) != 0) {
    traceFailure("chown", path, errno);
    return false;
  }
  return ok;
}

bool removeAll(const std::string& path) {
  if (path.empty() || path.find_first_not_of('/') == std::string::npos) {
    traceFailure("remove", path, EINVAL);
    return false;
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT)
      return true;
    traceFailure("lstat", path, errno);
    return false;
  }
  bool ok = removeEntry(AT_FDCWD, path, st, path);
  return ok && !exists(path);
}

std::optional<std::vector<std::string>> listDirectory(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    traceFailure("opening folder", path, errno);
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> names = entryNames(fd.get());
  if (!names) {
    traceFailure("reading folder", path, errno);
    return std::nullopt;
  }
  std::sort(names->begin(), names->end());
  return names;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSymlink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::optional<int64_t> fileSize(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR)
      traceFailure("lstat", path, errno);
    return std::nullopt;
  }
  return static_cast<int64_t>(st.st_size);
}

std::string joinPath(std::string_view base, std::string_view name) {
  if (base.empty())
    return std::string(name);
  if (name.empty())
    return std::string(base);
  std::string out(base);
  while (out.size() > 1 && out.back() == '/')
    out.pop_back();
  size_t skip = name.find_first_not_of('/');
  if (skip == std::string_view::npos)
    skip = name.size();
  if (out.back() != '/')
    out.push_back('/');
  out.append(name.substr(skip));
  return out;
}

std::string lastComponent(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string parentPath(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos)
    return std::string();
  if (slash == 0)
    return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace ulmora::fileutil
