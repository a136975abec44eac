#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/IpcClient.h"
#include "ipc/IpcMessage.h"

namespace ulmora::testing {

inline constexpr auto kPatience = std::chrono::seconds(10);  // real-time bound for "soon"

// Collects trace lines from every thread while alive.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<std::string> lines() const;
  size_t count(std::string_view needle) const;
  void clear();
  // Waits until a line containing `needle` has been traced.
  bool waitFor(std::string_view needle, std::chrono::milliseconds timeout = kPatience);

 private:
  mutable std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// Waits for a state another thread produces that has no signal of its own.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = kPatience);

// The next frame from `client` as a message; nullopt on time-out, end of
// connection or a frame of another form.
std::optional<IpcMessage> receiveMessage(IpcClient& client,
                                         std::chrono::milliseconds timeout = kPatience);

// Whether the agent has ended the connection: the next read meets its end.
bool closedByAgent(IpcClient& client, std::chrono::milliseconds timeout = kPatience);

}  // namespace ulmora::testing
