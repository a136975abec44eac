#pragma once

#include <optional>
#include <string>

#include "ipc/IpcChannel.h"

namespace ulmora {

// Where the sockets live (docs/ipc.md).
//
// The folder is $XDG_RUNTIME_DIR/ulmora, or <home>/.local/state/ulmora/ipc
// when the runtime folder is unset or unusable. It belongs to the running
// user with mode 0700, so only that user (and root) can reach the sockets at
// all; the peer-uid check on every connection is the second line.
//
// Thread-safety: every function may be called from any thread.
class IpcPaths {
 public:
  IpcPaths() = delete;

  // Creates (when missing) and checks the socket folder; nullopt with a
  // trace line when none can be made safe.
  static std::optional<std::string> socketFolder();

  // Makes `folder` a directory of the running user with mode 0700: creates
  // it, or tightens the mode of an existing one of ours. False, with a trace
  // line, for a symlink, a non-directory, or a folder of another user: a
  // socket there could be reached or replaced by someone else.
  static bool prepareFolder(const std::string& folder);

  // "<folder>/<channel>-<user>.sock" and "<folder>/bus-<user>.sock". A user
  // name that is not a plain file name ("", ".", "..", "/" or NUL inside) is
  // replaced by the running uid in decimal, so a name can never lead out of
  // the folder.
  static std::string channelSocketPath(const std::string& folder, const std::string& consoleUser,
                                       IpcChannel channel);
  static std::string busSocketPath(const std::string& folder, const std::string& consoleUser);
};

}  // namespace ulmora
