#include "ipc/IpcPaths.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/FileUtil.h"
#include "platform/Trace.h"
#include "platform/UserInfo.h"

namespace ulmora {

namespace {

std::string safeUserPart(const std::string& user) {
  const bool plain = !user.empty() && user != "." && user != ".." &&
                     user.find('/') == std::string::npos && user.find('\0') == std::string::npos;
  return plain ? user : std::to_string(geteuid());
}

std::optional<std::string> runtimeCandidate() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || runtime[0] != '/') return std::nullopt;
  return fileutil::joinPath(runtime, "ulmora");
}

std::optional<std::string> homeCandidate() {
  std::optional<std::string> home = UserInfo::homeFolder();
  if (!home) return std::nullopt;
  return fileutil::joinPath(*home, ".local/state/ulmora/ipc");
}

}  // namespace

std::optional<std::string> IpcPaths::socketFolder() {
  for (const auto& candidate : {runtimeCandidate(), homeCandidate()}) {
    if (candidate && prepareFolder(*candidate)) return candidate;
  }
  traceLine("IPC: no usable socket folder; the channels stay closed");
  return std::nullopt;
}

bool IpcPaths::prepareFolder(const std::string& folder) {
  if (!fileutil::exists(folder)) {
    fileutil::makeDirectories(folder, fileutil::kOwnerOnlyFolder);
  }
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) {
    traceLine("IPC: cannot use socket folder '" + folder + "': " + std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    traceLine("IPC: socket folder '" + folder + "' is not a folder of the running user; not used");
    return false;
  }
  if ((st.st_mode & 07777) != fileutil::kOwnerOnlyFolder &&
      chmod(folder.c_str(), fileutil::kOwnerOnlyFolder) != 0) {
    traceLine("IPC: cannot make socket folder '" + folder +
              "' owner-only: " + std::strerror(errno));
    return false;
  }
  return true;
}

std::string IpcPaths::channelSocketPath(const std::string& folder, const std::string& consoleUser,
                                        IpcChannel channel) {
  return fileutil::joinPath(
      folder, std::string(ipcChannelLabel(channel)) + "-" + safeUserPart(consoleUser) + ".sock");
}

std::string IpcPaths::busSocketPath(const std::string& folder, const std::string& consoleUser) {
  return fileutil::joinPath(folder, "bus-" + safeUserPart(consoleUser) + ".sock");
}

}  // namespace ulmora
