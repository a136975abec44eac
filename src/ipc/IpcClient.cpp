#include "ipc/IpcClient.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

#include "ipc/IpcSocket.h"
#include "platform/Clock.h"
#include "platform/Trace.h"

namespace ulmora {

std::unique_ptr<IpcClient> IpcClient::connect(const std::string& path) {
  std::optional<UniqueFd> fd = ipcsocket::connectTo(path);
  if (!fd) return nullptr;
  return std::unique_ptr<IpcClient>(new IpcClient(std::move(*fd)));
}

bool IpcClient::send(const PropertyList& body, std::chrono::milliseconds timeout) {
  if (!open_) return false;
  std::optional<std::string> frame = IpcFrame::encode(body);
  if (!frame) return false;
  if (ipcsocket::sendAll(fd_.get(), *frame, timeout) == ipcsocket::SendResult::kSent) return true;
  // A partly written frame would desynchronise the stream.
  open_ = false;
  ::shutdown(fd_.get(), SHUT_RDWR);
  return false;
}

void IpcClient::readAvailable() {
  if (!open_) return;
  const ipcsocket::ReceiveResult received = ipcsocket::receiveAvailable(fd_.get(), reader_);
  for (;;) {
    PropertyList body;
    const IpcFrame::Reader::Status status = reader_.next(&body);
    if (status == IpcFrame::Reader::Status::kFrame) {
      ready_.push_back(std::move(body));
      continue;
    }
    if (status == IpcFrame::Reader::Status::kTooLarge) {
      traceLine("IPC: the agent sent a frame over 16 MiB; connection closed");
      open_ = false;
    } else if (status == IpcFrame::Reader::Status::kMalformed) {
      traceLine("IPC: the agent sent a frame that does not parse; connection closed");
      open_ = false;
    } else if (received == ipcsocket::ReceiveResult::kClosed) {
      open_ = false;
    }
    break;
  }
  if (!open_) ::shutdown(fd_.get(), SHUT_RDWR);
}

std::optional<PropertyList> IpcClient::receiveNow() {
  if (ready_.empty()) readAvailable();
  if (ready_.empty()) return std::nullopt;
  PropertyList next = std::move(ready_.front());
  ready_.pop_front();
  return next;
}

std::optional<PropertyList> IpcClient::receive(std::chrono::milliseconds timeout) {
  Clock& clock = Clock::realClock();
  const Clock::TimePoint deadline = clock.monotonicNow() + timeout;
  for (;;) {
    if (std::optional<PropertyList> frame = receiveNow()) return frame;
    if (!open_) return std::nullopt;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.monotonicNow());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_.get(), POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
  }
}

}  // namespace ulmora
