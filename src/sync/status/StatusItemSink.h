#pragma once

#include <string>

namespace ulmora {

// The two things the progress counters (and other producers of status items)
// do with the account's status tracker. UlmoraSyncStatus implements it; tests
// record the calls.
//
// Thread-safety: implementations must accept calls from any thread.
class StatusItemSink {
 public:
  virtual ~StatusItemSink() = default;
  // Adds, replaces or sends a status item. An empty item stands for "no
  // item" (it still gets the no-network answer).
  virtual void setMonitorToolTip(const std::string& item) = 0;
  virtual void removeItemFromToolTipFor(const std::string& item) = 0;
};

}  // namespace ulmora
