#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string_view>

#include "ipc/IpcFrame.h"
#include "ipc/IpcSocket.h"
#include "platform/UniqueFd.h"

namespace ulmora {

// One accepted connection, shared (std::shared_ptr) by the thread that reads
// it and the threads that write to it.
//
// shutdown() ends it for everyone at once, but the descriptor stays open
// until the last owner lets go, so a thread still polling or writing it never
// meets a reused descriptor number.
//
// Thread-safety: sendFrame, shutdown and isOpen from any thread; reader() only
// from the one reading thread.
class IpcConnection {
 public:
  explicit IpcConnection(UniqueFd fd) : fd_(std::move(fd)) {}
  IpcConnection(const IpcConnection&) = delete;
  IpcConnection& operator=(const IpcConnection&) = delete;

  int fd() const { return fd_.get(); }

  // Writes one whole frame, after any frame another thread is writing; a
  // frame that cannot be written completely within `timeout` shuts the
  // connection down, since the stream would be left mid-frame.
  ipcsocket::SendResult sendFrame(std::string_view frame, std::chrono::milliseconds timeout);

  void shutdown();
  bool isOpen() const { return open_.load(); }

  IpcFrame::Reader& reader() { return reader_; }

 private:
  UniqueFd fd_;
  std::mutex writeMu_;  // one frame at a time on the stream
  std::atomic<bool> open_{true};
  IpcFrame::Reader reader_;
};

}  // namespace ulmora
