#pragma once

#include <string>

namespace ulmora {

// Where the account's messages to the status monitor go: a text payload and
// its message type. The controller's implementation sends through the
// console user's monitor channel without waiting (runInThread false) and
// drops the message while this account is not the logged-in one; tests
// record the calls.
//
// Thread-safety: implementations must accept calls from any thread and must
// not block on the monitor (callers may hold their own locks).
class MonitorSink {
 public:
  virtual ~MonitorSink() = default;
  virtual void sendToMonitor(const std::string& payload, int type) = 0;
};

}  // namespace ulmora
