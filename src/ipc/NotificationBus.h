#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc/IpcFrame.h"
#include "ipc/UniqueFd.h"
#include "ipc/WakeupEvent.h"
#include "platform/PropertyList.h"

namespace ulmora {

class IpcListener;

// The user's notification bus: the agent listens on the bus socket, any
// number of subscribers (companions, the peer program) connect, and every
// post() goes to each of them at once, in posting order (docs/ipc.md).
//
// Posting never blocks: frames wait in a per-subscriber outbox that the I/O
// thread writes out as the subscriber reads. A subscriber that falls more
// than `maxQueuedPerSubscriber` notifications behind loses the oldest unsent
// ones (traced). Subscribers send nothing; whatever frames they do send are
// ignored, and a frame that is too large or does not parse ends that
// subscriber's connection with a trace line.
//
// Thread-safety: every public member may be called from any thread, except
// that the bus must not be destroyed while another thread is inside one.
class NotificationBus {
 public:
  struct Options {
    std::string socketPath;  // empty: nothing listens, posts go nowhere
    size_t maxQueuedPerSubscriber = 256;
  };

  explicit NotificationBus(Options options);
  // The bus of `consoleUser` in the socket folder of IpcPaths.
  static std::unique_ptr<NotificationBus> forConsoleUser(const std::string& consoleUser);
  ~NotificationBus();
  NotificationBus(const NotificationBus&) = delete;
  NotificationBus& operator=(const NotificationBus&) = delete;

  // `userInfo` is a dictionary, or Null for none. Any other value is not
  // posted (traced).
  void post(const std::string& name, const PropertyList& userInfo);

  bool isListening() const { return listening_.load(); }
  size_t subscriberCount() const;

  // Closes the socket and every subscriber and joins the I/O thread; what
  // is still unsent is dropped. Idempotent.
  void stop();

 private:
  struct Subscriber {
    explicit Subscriber(UniqueFd f) : fd(std::move(f)) {}
    UniqueFd fd;
    IpcFrame::Reader reader;
    std::deque<std::string> outbox;
    size_t sentOfFront = 0;  // bytes of outbox.front() already written
  };

  void ioThreadMain();
  void serve(const std::vector<short>& revents);  // requires mu_
  bool flush(Subscriber& subscriber);             // requires mu_; false when it has to go
  bool drainInput(Subscriber& subscriber);        // false when it has to go

  const Options options_;
  std::unique_ptr<IpcListener> listener_;  // used only by the I/O thread until stop()
  std::atomic<bool> listening_{false};
  WakeupEvent wakeup_;
  std::atomic<bool> stopIo_{false};

  std::mutex stopMu_;     // serialises stop(); taken before mu_
  bool stopped_ = false;  // guarded by stopMu_

  mutable std::mutex mu_;  // guards subscribers_ and their outboxes
  // Added and removed only by the I/O thread; post() only fills outboxes.
  std::vector<std::unique_ptr<Subscriber>> subscribers_;

  std::thread ioThread_;
};

}  // namespace ulmora
