#include "ipc/NotificationBus.h"

#include <errno.h>
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
  std::optional<std::string> frame =
      IpcFrame::encode(BusNotification{name, userInfo}.toPropertyList());
  if (!frame) return;
  size_t dropped = 0;
  {
    std::lock_guard<std::mutex> hold(mu_);
    for (auto& subscriber : subscribers_) {
      std::deque<std::string>& outbox = subscriber->outbox;
      if (outbox.size() >= std::max<size_t>(options_.maxQueuedPerSubscriber, 1)) {
        // Never the frame being written: the stream would be cut mid-frame.
        const size_t oldest = subscriber->sentOfFront > 0 ? 1 : 0;
        if (oldest < outbox.size()) {
          outbox.erase(outbox.begin() + static_cast<std::ptrdiff_t>(oldest));
          ++dropped;
        }
      }
      outbox.push_back(*frame);
    }
  }
  if (dropped > 0) {
    traceLine("IPC: " + std::to_string(dropped) +
              " bus subscriber(s) fell behind; their oldest unsent notification was dropped");
  }
  wakeup_.signal();
}

size_t NotificationBus::subscriberCount() const {
  std::lock_guard<std::mutex> hold(mu_);
  return subscribers_.size();
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
    {
      std::lock_guard<std::mutex> hold(mu_);
      serve(revents);
    }
    if (fds[1].revents & POLLIN) {
      for (UniqueFd& fd : listener_->acceptPending()) {
        std::lock_guard<std::mutex> hold(mu_);
        subscribers_.push_back(std::make_unique<Subscriber>(std::move(fd)));
      }
    }
  }
}

void NotificationBus::serve(const std::vector<short>& revents) {
  // subscribers_ has not changed since the poll set was built: only this
  // thread adds or removes, so revents[i] belongs to subscribers_[i].
  std::vector<std::unique_ptr<Subscriber>> kept;
  kept.reserve(subscribers_.size());
  for (size_t i = 0; i < subscribers_.size(); ++i) {
    Subscriber& s = *subscribers_[i];
    const short events = i < revents.size() ? revents[i] : 0;
    bool alive = true;
    if (events & (POLLIN | POLLHUP | POLLERR)) alive = drainInput(s);
    // Posts since the poll set was built may have filled an outbox.
    if (alive && !s.outbox.empty()) alive = flush(s);
    if (alive) kept.push_back(std::move(subscribers_[i]));
  }
  subscribers_.swap(kept);
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
    std::string_view rest = std::string_view(s.outbox.front()).substr(s.sentOfFront);
    const ssize_t n = ::send(s.fd.get(), rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;  // the subscriber is gone
    s.sentOfFront += static_cast<size_t>(n);
    if (s.sentOfFront == s.outbox.front().size()) {
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
  }
  listening_.store(false);
  listener_.reset();
}

}  // namespace ulmora
