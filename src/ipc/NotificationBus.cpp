#include "ipc/NotificationBus.h"

#include <errno.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <string_view>

#include "ipc/BusNotification.h"
#include "ipc/IpcListener.h"
#include "ipc/IpcPaths.h"
#include "ipc/IpcSocket.h"
#include "platform/Trace.h"

namespace ulmora {

NotificationBus::NotificationBus(Options options) : options_(std::move(options)) {
  if (options_.socketPath.empty()) {
    traceLine("IPC: no socket for the notification bus; notifications go nowhere");
  } else if (wakeup_.valid()) {
    listener_ = IpcListener::listen(options_.socketPath);
  }
  listening_ = listener_ != nullptr;
  if (!listener_) return;
  ioThread_ = std::thread([this] {
    try {
      ioThreadMain();
    } catch (const std::exception& e) {
      traceLine(std::string("IPC: notification bus thread failed: ") + e.what());
    } catch (...) {
      traceLine("IPC: notification bus thread failed");
    }
  });
}

std::unique_ptr<NotificationBus> NotificationBus::forConsoleUser(const std::string& consoleUser) {
  Options options;
  if (std::optional<std::string> folder = IpcPaths::socketFolder()) {
    options.socketPath = IpcPaths::busSocketPath(*folder, consoleUser);
  }
  return std::make_unique<NotificationBus>(std::move(options));
}

NotificationBus::~NotificationBus() { stop(); }

void NotificationBus::post(const std::string& name, const PropertyList& userInfo) {
  if (!userInfo.isNull() && !userInfo.isDict()) {
    traceLine("IPC: notification '" + name +
              "' has user info that is not a dictionary; not posted");
    return;
  }
  // Nobody to tell: not worth the encoding, which for a long list of paths
  // costs more than the list itself.
  if (!hasSubscribers()) return;
  std::optional<std::string> encoded =
      IpcFrame::encode(BusNotification{name, userInfo}.toPropertyList());
  if (!encoded) return;
  auto frame = std::make_shared<const std::string>(std::move(*encoded));
  const size_t maxFrames = std::max<size_t>(options_.maxQueuedPerSubscriber, 1);
  std::vector<std::string> behind;
  {
    std::lock_guard<std::mutex> hold(mu_);
    for (auto& subscriber : subscribers_) {
      Subscriber& s = *subscriber;
      if (s.fellBehind) continue;
      // A frame larger than the byte bound still goes to a subscriber that
      // has nothing else waiting, so one big notification is not a fault.
      const bool tooMany = s.outbox.size() + 1 > maxFrames;
      const bool tooLarge = !s.outbox.empty() &&
                            s.queuedBytes + frame->size() > options_.maxQueuedBytesPerSubscriber;
      if (tooMany || tooLarge) {
        behind.push_back(std::to_string(s.outbox.size()) + " notifications, " +
                         std::to_string(s.queuedBytes) + " bytes unsent");
        s.fellBehind = true;
        queuedBytesTotal_ -= s.queuedBytes;
        s.queuedBytes = 0;
        s.outbox.clear();
        continue;
      }
      s.outbox.push_back(frame);
      s.queuedBytes += frame->size();
      queuedBytesTotal_ += frame->size();
      queuedSinceTrim_ += frame->size();
    }
  }
  for (const std::string& why : behind) {
    traceLine("IPC: closed a bus subscriber that fell behind (" + why + ")");
  }
  wakeup_.signal();
}

size_t NotificationBus::subscriberCount() const {
  std::lock_guard<std::mutex> hold(mu_);
  return subscribers_.size();
}

size_t NotificationBus::queuedBytes() const {
  std::lock_guard<std::mutex> hold(mu_);
  return queuedBytesTotal_;
}

void NotificationBus::ioThreadMain() {
  std::vector<pollfd> fds;
  std::vector<short> revents;
  while (!stopIo_.load()) {
    fds.assign({{wakeup_.fd(), POLLIN, 0}, {listener_->fd(), POLLIN, 0}});
    {
      std::lock_guard<std::mutex> hold(mu_);
      for (const auto& s : subscribers_) {
        fds.push_back(
            {s->fd.get(), static_cast<short>(POLLIN | (s->outbox.empty() ? 0 : POLLOUT)), 0});
      }
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;  // EINTR
    if (fds[0].revents) wakeup_.drain();
    if (stopIo_.load()) break;
    revents.clear();
    for (size_t i = 2; i < fds.size(); ++i) revents.push_back(fds[i].revents);
    bool trim = false;
    {
      std::lock_guard<std::mutex> hold(mu_);
      serve(revents);
      trim = burstWrittenOut();
    }
    // A burst of large notifications leaves freed memory in the allocator's
    // arenas; without this the agent stays at its peak size for good.
    if (trim) ::malloc_trim(0);
    if (fds[1].revents & POLLIN) admit(listener_->acceptPending());
  }
}

void NotificationBus::admit(std::vector<UniqueFd> fds) {
  size_t refused = 0;
  {
    std::lock_guard<std::mutex> hold(mu_);
    for (UniqueFd& fd : fds) {
      if (subscribers_.size() >= std::max<size_t>(options_.maxSubscribers, 1)) {
        ++refused;
        continue;  // closed as fd goes
      }
      subscribers_.push_back(std::make_unique<Subscriber>(std::move(fd)));
    }
    subscriberCount_.store(subscribers_.size());
  }
  if (refused == 0) return;
  // One line for the first refusal and then one per hundred: a companion
  // that keeps reconnecting must not fill the log.
  const uint64_t before = turnedAway_;
  turnedAway_ += refused;
  if (before == 0 || before / 100 != turnedAway_ / 100) {
    traceLine("IPC: the bus already has " + std::to_string(options_.maxSubscribers) +
              " subscribers; turned away " + std::to_string(turnedAway_) +
              " connection(s) so far");
  }
}

bool NotificationBus::burstWrittenOut() {
  constexpr size_t kTrimAfterBytes = 4u << 20;
  if (queuedBytesTotal_ != 0 || queuedSinceTrim_ < kTrimAfterBytes) return false;
  queuedSinceTrim_ = 0;
  return true;
}

void NotificationBus::serve(const std::vector<short>& revents) {
  // subscribers_ has not changed since the poll set was built: only this
  // thread adds or removes, so revents[i] belongs to subscribers_[i].
  std::vector<std::unique_ptr<Subscriber>> kept;
  kept.reserve(subscribers_.size());
  for (size_t i = 0; i < subscribers_.size(); ++i) {
    Subscriber& s = *subscribers_[i];
    const short events = i < revents.size() ? revents[i] : 0;
    bool alive = !s.fellBehind;
    if (alive && (events & (POLLIN | POLLHUP | POLLERR))) alive = drainInput(s);
    // Posts since the poll set was built may have filled an outbox.
    if (alive && !s.outbox.empty()) alive = flush(s);
    if (alive) {
      kept.push_back(std::move(subscribers_[i]));
    } else {
      queuedBytesTotal_ -= s.queuedBytes;
    }
  }
  subscribers_.swap(kept);
  subscriberCount_.store(subscribers_.size());
}

bool NotificationBus::drainInput(Subscriber& s) {
  const ipcsocket::ReceiveResult received = ipcsocket::receiveAvailable(s.fd.get(), s.reader);
  for (;;) {
    PropertyList ignored;
    switch (s.reader.next(&ignored)) {
      case IpcFrame::Reader::Status::kFrame:
        continue;
      case IpcFrame::Reader::Status::kNeedMore:
        return received != ipcsocket::ReceiveResult::kClosed;
      case IpcFrame::Reader::Status::kTooLarge:
        traceLine("IPC: closed a bus subscriber: a frame over 16 MiB");
        return false;
      case IpcFrame::Reader::Status::kMalformed:
        traceLine("IPC: closed a bus subscriber: a frame that does not parse");
        return false;
    }
  }
}

bool NotificationBus::flush(Subscriber& s) {
  while (!s.outbox.empty()) {
    std::string_view rest = std::string_view(*s.outbox.front()).substr(s.sentOfFront);
    const ssize_t n = ::send(s.fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;  // the subscriber is gone
    s.sentOfFront += static_cast<size_t>(n);
    s.queuedBytes -= static_cast<size_t>(n);
    queuedBytesTotal_ -= static_cast<size_t>(n);
    if (s.sentOfFront == s.outbox.front()->size()) {
      s.outbox.pop_front();
      s.sentOfFront = 0;
    }
  }
  return true;
}

void NotificationBus::stop() {
  std::lock_guard<std::mutex> stopHold(stopMu_);
  if (stopped_) return;
  stopped_ = true;
  stopIo_.store(true);
  wakeup_.signal();
  if (ioThread_.joinable()) ioThread_.join();
  {
    std::lock_guard<std::mutex> hold(mu_);
    subscribers_.clear();
    subscriberCount_.store(0);
    queuedBytesTotal_ = 0;
  }
  listening_.store(false);
  listener_.reset();
}

}  // namespace ulmora
