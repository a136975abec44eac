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
#include "platform/UniqueFd.h"
#include "ipc/WakeupEvent.h"
#include "platform/PropertyList.h"

namespace ulmora {

class IpcListener;

// The user's notification bus: the agent listens on the bus socket, any
// number of subscribers (companions, the peer program) connect, and every
// post() goes to each of them at once, in posting order (docs/ipc.md).
//
// Posting never blocks: a notification is encoded once, only when somebody
// subscribes, and every subscriber's outbox shares that one frame; the I/O
// thread writes it out as each subscriber reads. A subscriber whose unsent
// notifications pass `maxQueuedPerSubscriber` frames or
// `maxQueuedBytesPerSubscriber` bytes has fallen behind: its connection is
// closed (traced) rather than letting it hold the agent's memory. At most
// `maxSubscribers` are connected at once; further ones are turned away.
// Once a burst has been written out, the freed memory is given back to the
// system. Subscribers send nothing; whatever frames they do send are
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
    size_t maxQueuedBytesPerSubscriber = 8u << 20;
    size_t maxSubscribers = 64;
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
  // Whether a post would reach anybody; a poster may skip building a large
  // user info when not.
  bool hasSubscribers() const { return subscriberCount_.load() > 0; }
  // Bytes of encoded notifications still waiting for subscribers.
  size_t queuedBytes() const;

  // Closes the socket and every subscriber and joins the I/O thread; what
  // is still unsent is dropped. Idempotent.
  void stop();

 private:
  struct Subscriber {
    explicit Subscriber(UniqueFd f) : fd(std::move(f)) {}
    UniqueFd fd;
    IpcFrame::Reader reader;
    // Frames are shared by every subscriber they were posted to.
    std::deque<std::shared_ptr<const std::string>> outbox;
    size_t queuedBytes = 0;  // of the frames in outbox, less what is sent
    size_t sentOfFront = 0;  // bytes of outbox.front() already written
    bool fellBehind = false;  // to be closed by the I/O thread
  };

  void ioThreadMain();
  void serve(const std::vector<short>& revents);  // requires mu_
  bool flush(Subscriber& subscriber);             // requires mu_; false when it has to go
  bool drainInput(Subscriber& subscriber);        // false when it has to go
  void admit(std::vector<UniqueFd> fds);
  // Whether a burst has just been written out, so that freed memory is worth
  // giving back to the system. Requires mu_.
  bool burstWrittenOut();

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
  size_t queuedBytesTotal_ = 0;     // sum of the subscribers' queuedBytes
  size_t queuedSinceTrim_ = 0;      // bytes queued since memory was last given back
  std::atomic<size_t> subscriberCount_{0};
  uint64_t turnedAway_ = 0;         // I/O thread only

  std::thread ioThread_;
};

}  // namespace ulmora
