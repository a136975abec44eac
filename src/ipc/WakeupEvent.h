#pragma once

#include "platform/UniqueFd.h"

namespace ulmora {

// An eventfd that lets other threads wake a thread blocked in poll(2).
//
// Thread-safety: signal() from any thread; drain() by the polling thread.
class WakeupEvent {
 public:
  WakeupEvent();
  WakeupEvent(const WakeupEvent&) = delete;
  WakeupEvent& operator=(const WakeupEvent&) = delete;

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void signal();
  void drain();

 private:
  UniqueFd fd_;
};

}  // namespace ulmora
