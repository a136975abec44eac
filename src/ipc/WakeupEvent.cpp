#include "ipc/WakeupEvent.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/Trace.h"

namespace ulmora {

WakeupEvent::WakeupEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!fd_) traceLine(std::string("IPC: eventfd failed: ") + std::strerror(errno));
}

void WakeupEvent::signal() {
  const uint64_t one = 1;
  // EAGAIN means the counter is saturated: the poller wakes anyway.
  ssize_t n;
  do {
    n = ::write(fd_.get(), &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

void WakeupEvent::drain() {
  uint64_t value;
  while (::read(fd_.get(), &value, sizeof value) > 0) {
  }
}

}  // namespace ulmora
