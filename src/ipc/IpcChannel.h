#pragma once

#include <string_view>

namespace ulmora {

// The two companions the agent talks to, one socket each (docs/ipc.md).
enum class IpcChannel { kFinder, kMonitor };

// The sender name the agent puts into every message it sends, and expects as
// the receiver of every command.
inline constexpr std::string_view kIpcAgentName = "sync agent";

// The companion's name on `channel`: "Finder integration" or "status monitor".
std::string_view ipcPeerName(IpcChannel channel);
// The short form used in socket names and in the peer program's output:
// "finder" or "monitor".
std::string_view ipcChannelLabel(IpcChannel channel);

}  // namespace ulmora
