#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "ipc/IpcFrame.h"
#include "platform/UniqueFd.h"
#include "platform/PropertyList.h"

namespace ulmora {

// The companion's end of a channel or of the bus: connects to a socket of
// the agent and exchanges frames with it. Used by the peer program and by
// tests.
//
// Thread-safety: one object is used by one thread at a time.
class IpcClient {
 public:
  // nullptr when nothing listens at `path` or the listener runs as another
  // user (traced).
  static std::unique_ptr<IpcClient> connect(const std::string& path);
  IpcClient(const IpcClient&) = delete;
  IpcClient& operator=(const IpcClient&) = delete;

  // For poll(2) in a caller's own loop.
  int fd() const { return fd_.get(); }
  bool isOpen() const { return open_; }

  // Writes one frame, waiting at most `timeout` for room. False when the
  // frame is too large or the connection is over.
  bool send(const PropertyList& body,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

  // Reads what has arrived without waiting and returns the next complete
  // frame, if any. Once the agent closes the connection or sends a frame that
  // is too large or does not parse (traced), isOpen() turns false; frames that
  // arrived before that are still returned first.
  std::optional<PropertyList> receiveNow();
  // Like receiveNow() but waits up to `timeout` for a frame.
  std::optional<PropertyList> receive(std::chrono::milliseconds timeout);

 private:
  explicit IpcClient(UniqueFd fd) : fd_(std::move(fd)) {}
  void readAvailable();

  UniqueFd fd_;
  bool open_ = true;
  IpcFrame::Reader reader_;
  std::deque<PropertyList> ready_;
};

}  // namespace ulmora
