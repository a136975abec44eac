#include "IpcTestSupport.h"

#include "WaitUntil.h"
#include "platform/Trace.h"

namespace ulmora::testing {

TraceCapture::TraceCapture() {
  setTraceSink([this](std::string_view line) {
    std::lock_guard<std::mutex> hold(mu_);
    lines_.emplace_back(line);
    changed_.notify_all();
  });
}

TraceCapture::~TraceCapture() { setTraceSink({}); }

std::vector<std::string> TraceCapture::lines() const {
  std::lock_guard<std::mutex> hold(mu_);
  return lines_;
}

size_t TraceCapture::count(std::string_view needle) const {
  std::lock_guard<std::mutex> hold(mu_);
  size_t n = 0;
  for (const std::string& line : lines_) n += line.find(needle) != std::string::npos;
  return n;
}

void TraceCapture::clear() {
  std::lock_guard<std::mutex> hold(mu_);
  lines_.clear();
}

bool TraceCapture::waitFor(std::string_view needle, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, timeout, [&] {
    for (const std::string& line : lines_) {
      if (line.find(needle) != std::string::npos) return true;
    }
    return false;
  });
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  return waitUntil(condition, timeout, std::chrono::milliseconds(1));
}

std::optional<IpcMessage> receiveMessage(IpcClient& client, std::chrono::milliseconds timeout) {
  std::optional<PropertyList> frame = client.receive(timeout);
  if (!frame) return std::nullopt;
  return IpcMessage::fromPropertyList(*frame);
}

bool closedByAgent(IpcClient& client, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (client.isOpen() && std::chrono::steady_clock::now() < deadline) {
    client.receive(std::chrono::milliseconds(100));
  }
  return !client.isOpen();
}

}  // namespace ulmora::testing
