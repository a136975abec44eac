#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace ulmora {

// A listening socket of the agent, with the check every endpoint needs: only
// connections from the running user are handed out.
//
// Thread-safety: used by one I/O thread; fd() may be read from any thread.
class IpcListener {
 public:
  // nullptr (traced) when `path` cannot be listened on.
  static std::unique_ptr<IpcListener> listen(const std::string& path);
  // Removes the socket file, unless another process has since put its own
  // socket there.
  ~IpcListener();
  IpcListener(const IpcListener&) = delete;
  IpcListener& operator=(const IpcListener&) = delete;

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

  // Every connection pending now that comes from the running user; the
  // others are closed with a trace line, and so is any connection that would
  // eat into the reserve of file handles (ipcsocket::leavesHandleReserve).
  std::vector<UniqueFd> acceptPending();

 private:
  IpcListener(UniqueFd fd, std::string path, dev_t dev, ino_t ino);

  UniqueFd fd_;
  std::string path_;
  dev_t dev_;
  ino_t ino_;
  uint64_t refusedForHandles_ = 0;
};

}  // namespace ulmora
