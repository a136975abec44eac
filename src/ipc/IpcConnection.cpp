#include "ipc/IpcConnection.h"

#include <sys/socket.h>

namespace ulmora {

ipcsocket::SendResult IpcConnection::sendFrame(std::string_view frame,
                                               std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> hold(writeMu_);
  if (!open_.load()) return ipcsocket::SendResult::kFailed;
  const ipcsocket::SendResult result = ipcsocket::sendAll(fd_.get(), frame, timeout);
  if (result != ipcsocket::SendResult::kSent) shutdown();
  return result;
}

void IpcConnection::shutdown() {
  if (open_.exchange(false)) ::shutdown(fd_.get(), SHUT_RDWR);
}

}  // namespace ulmora
