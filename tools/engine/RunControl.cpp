#include "RunControl.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <csignal>

namespace ulmora::kvt {
namespace {

volatile std::sig_atomic_t gStopRequested = 0;

void onStopSignal(int) { gStopRequested = 1; }

constexpr auto kPollInterval = std::chrono::milliseconds(100);

// The first bytes of a small control file, trimmed; "" when missing.
std::string readControlFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  char buffer[64];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  std::string text(buffer, n > 0 ? size_t(n) : 0);
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

RunControl::RunControl(std::optional<std::string> workDir,
                       std::optional<int64_t> capBytesPerSecond, OutputSink& out, Clock& clock)
    : workDir_(std::move(workDir)), cap_(capBytesPerSecond), out_(out), clock_(clock) {
  if (cap_ && *cap_ <= 0) cap_.reset();
}

void RunControl::installSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void RunControl::refresh(bool force) {
  auto now = clock_.monotonicNow();
  if (!force && everRead_ && now - lastRead_ < kPollInterval) return;
  everRead_ = true;
  lastRead_ = now;
  if (!workDir_) return;
  if (readControlFile(*workDir_ + "/intCancel") == "3") cancelSeen_ = true;
  std::string throttle = readControlFile(*workDir_ + "/QLThrottle");
  int64_t value = 0;
  auto [end, ec] = std::from_chars(throttle.data(), throttle.data() + throttle.size(), value);
  bool numeric = !throttle.empty() && ec == std::errc() && end == throttle.data() + throttle.size();
  hold_ = numeric && value == -1;
  throttle_ = numeric && value > 0 ? value : 0;
}

bool RunControl::cancelled() {
  if (gStopRequested || out_.readerGone()) return true;
  refresh(false);
  return cancelSeen_;
}

int64_t RunControl::effectiveRate() const {
  if (throttle_ > 0 && cap_) return std::min(throttle_, *cap_);
  if (throttle_ > 0) return throttle_;
  return cap_.value_or(0);
}

size_t RunControl::chunkSize() {
  refresh(false);
  constexpr int64_t kMaxChunk = 256 * 1024;
  int64_t rate = effectiveRate();
  if (rate <= 0) return kMaxChunk;
  return size_t(std::clamp<int64_t>(rate / 5, 1, kMaxChunk));
}

bool RunControl::pace(int64_t bytes) {
  if (cancelled()) return false;
  if (hold_) {
    out_.line("HOLD", {"1"});
    while (hold_) {
      clock_.sleepFor(kPollInterval);
      if (cancelled()) return false;
    }
    out_.line("HOLD", {"0"});
    nextFree_ = clock_.monotonicNow();
  }
  int64_t rate = effectiveRate();
  auto now = clock_.monotonicNow();
  if (rate <= 0) {
    lastRate_ = 0;
    return true;
  }
  if (rate != lastRate_ || nextFree_ < now) nextFree_ = now;
  lastRate_ = rate;
  nextFree_ += std::chrono::duration_cast<Clock::Duration>(
      std::chrono::duration<double>(double(bytes) / double(rate)));
  while ((now = clock_.monotonicNow()) < nextFree_) {
    clock_.sleepFor(std::min<Clock::Duration>(nextFree_ - now, kPollInterval));
    if (cancelled()) return false;
    if (hold_ || effectiveRate() != rate) return pace(0);
  }
  return true;
}

bool RunControl::holding() {
  refresh(false);
  return hold_;
}

bool RunControl::rateLimited() {
  refresh(false);
  return effectiveRate() > 0;
}

void RunControl::idleUntilCancelled() {
  while (!cancelled()) clock_.sleepFor(kPollInterval);
}

}  // namespace ulmora::kvt
