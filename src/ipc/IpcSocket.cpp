#include "ipc/IpcSocket.h"

#include <errno.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/Clock.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora::ipcsocket {

namespace {

constexpr int kBacklog = 8;
// One call reads at most this much, so a peer that floods one socket cannot
// keep the I/O thread from its other work.
constexpr size_t kReadBudget = 256 * 1024;

std::string errnoText(int e) { return std::strerror(e); }

std::optional<sockaddr_un> addressFor(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() > maxPathLength() || path.find('\0') != std::string::npos) {
    traceLine("IPC: socket path '" + path + "' is empty or too long for a Unix socket");
    return std::nullopt;
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

UniqueFd newSocket() {
  return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

int connectRaw(int fd, const sockaddr_un& addr) {
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

// Whether a listener still answers at `addr`; EAGAIN (a full backlog) means
// it does.
bool somebodyListens(const sockaddr_un& addr) {
  UniqueFd probe = newSocket();
  if (!probe) return true;  // cannot tell: leave the file alone
  const int e = connectRaw(probe.get(), addr);
  return e == 0 || e == EAGAIN || e == EINPROGRESS;
}

bool bindAndListen(int fd, const sockaddr_un& addr, int* error) {
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    *error = errno;
    return false;
  }
  if (::listen(fd, kBacklog) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

}  // namespace

int raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 30)) return 1 << 30;
  return static_cast<int>(limit.rlim_cur);
}

bool leavesHandleReserve(int fd) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  return static_cast<rlim_t>(fd) + kHandleReserve < limit.rlim_cur;
}

size_t maxPathLength() { return sizeof(sockaddr_un{}.sun_path) - 1; }

std::optional<UniqueFd> listenOn(const std::string& path) {
  std::optional<sockaddr_un> addr = addressFor(path);
  if (!addr) return std::nullopt;
  UniqueFd fd = newSocket();
  if (!fd) {
    traceLine("IPC: socket() failed: " + errnoText(errno));
    return std::nullopt;
  }
  int error = 0;
  if (!bindAndListen(fd.get(), *addr, &error) && error == EADDRINUSE) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
      traceLine("IPC: '" + path + "' exists and is not a socket; not replaced");
      return std::nullopt;
    }
    if (somebodyListens(*addr)) {
      traceLine("IPC: another process already listens on '" + path + "'");
      return std::nullopt;
    }
    ::unlink(path.c_str());  // left behind by an endpoint that is gone
    error = 0;
    bindAndListen(fd.get(), *addr, &error);
  }
  if (error != 0) {
    traceLine("IPC: cannot listen on '" + path + "': " + errnoText(error));
    return std::nullopt;
  }
  // The folder is owner-only already; an owner-only socket stays private
  // should the folder's mode ever be loosened.
  if (::chmod(path.c_str(), fileutil::kOwnerOnlyFile) != 0) {
    traceLine("IPC: cannot set the mode of '" + path + "': " + errnoText(errno));
  }
  return fd;
}

std::optional<UniqueFd> acceptOne(int listenFd) {
  int fd;
  do {
    fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
      traceLine("IPC: accept failed: " + errnoText(errno));
    }
    return std::nullopt;
  }
  return UniqueFd(fd);
}

std::optional<UniqueFd> connectTo(const std::string& path) {
  std::optional<sockaddr_un> addr = addressFor(path);
  if (!addr) return std::nullopt;
  UniqueFd fd = newSocket();
  if (!fd) {
    traceLine("IPC: socket() failed: " + errnoText(errno));
    return std::nullopt;
  }
  const int e = connectRaw(fd.get(), *addr);
  // A Unix stream connect completes at once or not at all; EAGAIN means the
  // listener's backlog is full, which a retry later settles.
  if (e != 0) return std::nullopt;
  if (!isSameUser(fd.get(), path)) return std::nullopt;
  return fd;
}

std::optional<uid_t> peerUid(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    return std::nullopt;
  }
  return cred.uid;
}

bool isSameUser(int fd, std::string_view what) {
  std::optional<uid_t> uid = peerUid(fd);
  if (uid && *uid == ::geteuid()) return true;
  traceLine("IPC: refused a connection on '" + std::string(what) + "' from uid " +
            (uid ? std::to_string(*uid) : std::string("unknown")) + " (not the running user)");
  return false;
}

SendResult sendAll(int fd, std::string_view bytes, std::chrono::milliseconds timeout) {
  Clock& clock = Clock::realClock();
  const Clock::TimePoint deadline = clock.monotonicNow() + timeout;
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return SendResult::kFailed;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.monotonicNow());
    if (left.count() <= 0) return SendResult::kTimedOut;
    pollfd p{fd, POLLOUT, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
    if (rc < 0 && errno != EINTR) return SendResult::kFailed;
    if (rc > 0 && (p.revents & (POLLERR | POLLNVAL))) return SendResult::kFailed;
    if (rc > 0 && (p.revents & POLLHUP) && !(p.revents & POLLOUT)) return SendResult::kFailed;
  }
  return SendResult::kSent;
}

ReceiveResult receiveAvailable(int fd, IpcFrame::Reader& reader) {
  char chunk[64 * 1024];
  size_t total = 0;
  while (total < kReadBudget) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      reader.append(std::string_view(chunk, static_cast<size_t>(n)));
      total += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return ReceiveResult::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    return ReceiveResult::kClosed;
  }
  return total > 0 ? ReceiveResult::kReceived : ReceiveResult::kNothing;
}

}  // namespace ulmora::ipcsocket
