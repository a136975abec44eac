#include "ipc/IpcListener.h"

#include <sys/stat.h>
#include <unistd.h>

#include "ipc/IpcSocket.h"
#include "platform/Trace.h"

namespace ulmora {

std::unique_ptr<IpcListener> IpcListener::listen(const std::string& path) {
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
    if (ipcsocket::isSameUser(fd->get(), path_)) accepted.push_back(std::move(*fd));
  }
  return accepted;
}

}  // namespace ulmora
