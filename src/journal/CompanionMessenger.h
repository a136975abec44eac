#pragma once

#include "platform/PropertyList.h"

namespace ulmora {

// One IPC channel to a companion process (the Finder integration or the
// status monitor). The account controller hands the event journal writer its
// channels through this interface so that the writer does not depend on how
// messages travel.
//
// Thread-safety: sendIPCMessage may be called from any thread and must not
// block on the companion.
class CompanionMessenger {
 public:
  virtual ~CompanionMessenger() = default;

  // `payload` is a text or an array of texts.
  virtual void sendIPCMessage(const PropertyList& payload, int type, bool runInThread) = 0;
};

}  // namespace ulmora
