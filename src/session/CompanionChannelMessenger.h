#pragma once

#include "ipc/MessageSendingModule.h"
#include "journal/CompanionMessenger.h"

namespace ulmora {

// Lets the event journal writer, which sits below the IPC layer's users but
// must not know how messages travel, send through one of the console user's
// channels.
//
// The channel is borrowed: its owner (the multiple-account manager) stops
// every account, and with it every writer that could hold this object,
// before it stops and destroys its channels.
//
// Thread-safety: sendIPCMessage may be called from any thread.
class CompanionChannelMessenger final : public CompanionMessenger {
 public:
  explicit CompanionChannelMessenger(MessageSendingModule& channel) : channel_(channel) {}

  void sendIPCMessage(const PropertyList& payload, int type, bool runInThread) override {
    channel_.sendIPCMessage(payload, type, runInThread);
  }

 private:
  MessageSendingModule& channel_;
};

}  // namespace ulmora
