#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ipc/IpcChannel.h"

namespace ulmora::peer {

// What the peer program was asked to do (see usage()).
struct PeerOptions {
  std::vector<IpcChannel> channels = {IpcChannel::kFinder, IpcChannel::kMonitor};
  bool bus = true;
  // After each line, what the message is for and what its codes mean.
  bool meanings = false;
  std::string user;    // console user; the running user when empty
  std::string folder;  // socket folder; the agent's choice when empty

  // The command to send once its channel is connected.
  struct Command {
    IpcChannel channel = IpcChannel::kMonitor;
    int type = 0;
    std::string payload;
  };
  std::optional<Command> command;

  // Exit after this many received lines (0: once every socket is connected
  // and the command is sent); exit after this long.
  std::optional<long> count;
  std::optional<std::chrono::milliseconds> timeout;
};

// nullopt with `error` set when the command line is not understood.
std::optional<PeerOptions> parsePeerOptions(const std::vector<std::string>& args,
                                            std::string* error);
std::string usage();

}  // namespace ulmora::peer
