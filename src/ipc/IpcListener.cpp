#include "ipc/IpcListener.h"

#include <sys/stat.h>
#include <unistd.h>

#include "ipc/IpcSocket.h"
#include "platform/Trace.h"

namespace ulmora {

std::unique_ptr<IpcListener> IpcListener::listen(const std::string& path) {
  // Companions are many where descriptors are few: give the process the most
  // the system allows before any are handed to them.
  static const int raised = ipcsocket::raiseOpenFileLimit();
  (void)raised;
  std::optional<UniqueFd> fd = ipcsocket::listenOn(path);
  if (!fd) return nullptr;
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return std::unique_ptr<IpcListener>(new IpcListener(std::move(*fd), path, st.st_dev, st.st_ino));
}

IpcListener::IpcListener(UniqueFd fd, std::string path, dev_t dev, ino_t ino)
    : fd_(std::move(fd)), path_(std::move(path)), dev_(dev), ino_(ino) {}

IpcListener::~IpcListener() {
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
    ::unlink(path_.c_str());
  }
}

std::vector<UniqueFd> IpcListener::acceptPending() {
  std::vector<UniqueFd> accepted;
  while (std::optional<UniqueFd> fd = ipcsocket::acceptOne(fd_.get())) {
    if (!ipcsocket::leavesHandleReserve(fd->get())) {
      // Descriptors are handed out lowest first, so a high number means the
      // table is nearly full: the watcher, the journals and the log need
      // what is left more than one more companion does.
      if (refusedForHandles_++ % 100 == 0) {
        traceLine("IPC: refused a connection on '" + path_ +
                  "': too few file handles left (" + std::to_string(refusedForHandles_) +
                  " refused so far)");
      }
      continue;
    }
    if (ipcsocket::isSameUser(fd->get(), path_)) accepted.push_back(std::move(*fd));
  }
  return accepted;
}

}  // namespace ulmora
