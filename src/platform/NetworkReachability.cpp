#include "platform/NetworkReachability.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "platform/FileUtil.h"

namespace ulmora {
namespace {

// "host", "host:port" or "[v6]:port" -> host and port ("443" by default).
std::pair<std::string, std::string> splitHostPort(const std::string& text) {
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return {text, "443"};
    std::string port = close + 2 <= text.size() && text[close + 1] == ':' ? text.substr(close + 2) : "";
    return {text.substr(1, close - 1), port.empty() ? "443" : port};
  }
  const size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
    return {text, "443"};
  }
  std::string port = text.substr(colon + 1);
  return {text.substr(0, colon), port.empty() ? "443" : port};
}

// The web service's address may be given as a URL's start.
constexpr std::string_view kScheme = "https://";

}  // namespace

ServiceHostReachability::ServiceHostReachability(Clock& clock, Hosts hosts, Clock::Duration interval)
    : clock_(clock), hosts_(std::move(hosts)), interval_(interval) {}

ServiceHostReachability::~ServiceHostReachability() { stop(); }

bool ServiceHostReachability::canReachAny(const std::vector<std::string>& hosts) {
  for (const std::string& host : hosts) {
    if (canReach(host)) return true;
  }
  return false;
}

bool ServiceHostReachability::canReach(const std::string& given) {
  std::string_view trimmed = given;
  if (trimmed.starts_with(kScheme)) trimmed.remove_prefix(kScheme.size());
  while (!trimmed.empty() && trimmed.back() == '/' && trimmed.size() > 1) trimmed.remove_suffix(1);
  const std::string text(trimmed);
  // A server that is a local folder (the stand-in engine's storage) is as
  // near as loopback: reachable while it is there.
  if (!text.empty() && text.front() == '/') return fileutil::isDirectory(text);
  const auto [host, port] = splitHostPort(text);
  if (host.empty()) return false;
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool reachable = false;
  for (addrinfo* a = found; a != nullptr && !reachable; a = a->ai_next) {
    // Connecting a datagram socket sends nothing; it succeeds when the
    // kernel has a route to the address.
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    reachable = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    close(fd);
  }
  freeaddrinfo(found);
  return reachable;
}

std::optional<bool> ServiceHostReachability::isReachable() {
  {
    MutexLock hold(mu_);
    if (reachable_) return reachable_;
  }
  const bool now = canReachAny(hosts_ ? hosts_() : std::vector<std::string>());
  MutexLock hold(mu_);
  if (!reachable_) reachable_ = now;
  return reachable_;
}

void ServiceHostReachability::start(RunLoop& loop, ChangeHandler handler) {
  MutexLock hold(mu_);
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this, h = loop.handle(), handler = std::move(handler)] {
    watch(h, handler);
  });
}

void ServiceHostReachability::stop() {
  std::thread t;
  {
    MutexLock hold(mu_);
    stopping_ = true;
    t = std::move(thread_);
  }
  cv_.notify_all();
  if (t.joinable()) t.join();
}

void ServiceHostReachability::recheck() {
  {
    MutexLock hold(mu_);
    recheck_ = true;
  }
  cv_.notify_all();
}

void ServiceHostReachability::watch(RunLoop::Handle loop, ChangeHandler handler) {
  for (;;) {
    const bool now = canReachAny(hosts_ ? hosts_() : std::vector<std::string>());
    UniqueMutexLock lock(mu_);
    if (stopping_) return;
    const bool changed = !reachable_ || *reachable_ != now;
    reachable_ = now;
    if (changed && handler) {
      lock.unlock();
      loop.post([handler, now] { handler(now); });
      lock.lock();
    }
    clock_.waitUntil(lock.native(), cv_, clock_.monotonicNow() + interval_,
                     [this]() ULMORA_REQUIRES(mu_) { return stopping_ || recheck_; });
    if (stopping_) return;
    recheck_ = false;
  }
}

}  // namespace ulmora
