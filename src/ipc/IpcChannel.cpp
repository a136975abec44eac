#include "ipc/IpcChannel.h"

namespace ulmora {

std::string_view ipcPeerName(IpcChannel channel) {
  return channel == IpcChannel::kFinder ? "Finder integration" : "status monitor";
}

std::string_view ipcChannelLabel(IpcChannel channel) {
  return channel == IpcChannel::kFinder ? "finder" : "monitor";
}

}  // namespace ulmora
