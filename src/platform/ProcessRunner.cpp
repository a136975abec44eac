#include "platform/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include "platform/Trace.h"

extern char** environ;

namespace ulmora {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxLine = 1024 * 1024;
// Without a pidfd, the child's exit can only be noticed by looking again.
constexpr int kExitCheckMs = 20;
// poll(2) sleeps on the real clock; a time-out measured on another clock is
// looked at this often so that advancing that clock takes effect promptly.
constexpr int kDeadlineCheckMs = 50;

std::string errnoText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);
}

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct PipePair {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

bool makePipe(PipePair& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pipe.readEnd.reset(fds[0]);
  pipe.writeEnd.reset(fds[1]);
  return true;
}

void setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// An argument with a NUL would reach the child cut short; refuse it instead.
std::optional<std::string> invalidOption(const ProcessOptions& options) {
  if (options.executable.empty()) return "no executable given";
  if (holdsNul(options.executable)) return "the executable path holds a NUL byte";
  if (options.argv0 && holdsNul(*options.argv0)) return "argv[0] holds a NUL byte";
  for (const auto& argument : options.arguments) {
    if (holdsNul(argument)) return "an argument holds a NUL byte";
  }
  for (const auto& [name, value] : options.environment) {
    if (name.empty() || name.find('=') != std::string::npos || holdsNul(name) || holdsNul(value)) {
      return "invalid environment variable name or value";
    }
  }
  if (options.workingDirectory && holdsNul(*options.workingDirectory)) {
    return "the working folder holds a NUL byte";
  }
  return std::nullopt;
}

std::vector<std::string> buildEnvironment(const ProcessOptions& options) {
  // The last value given for a name wins.
  std::map<std::string, std::string, std::less<>> given;
  for (const auto& [name, value] : options.environment) given[name] = value;

  std::vector<std::string> entries;
  // environ is read without a lock: the agent does not change its own
  // environment once threads run.
  if (options.inheritEnvironment && environ != nullptr) {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      std::string_view text(*entry);
      if (given.find(text.substr(0, text.find('='))) == given.end()) entries.emplace_back(text);
    }
  }
  for (const auto& [name, value] : given) entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Writes to a pipe whose reader may be gone must not kill the agent with
// SIGPIPE, whatever disposition the process has; EPIPE is enough.
ssize_t writeWithoutSigpipe(int fd, const char* data, size_t size) {
  sigset_t pipeSet;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
  ssize_t written = ::write(fd, data, size);
  const int writeErrno = errno;
  if (written < 0 && writeErrno == EPIPE && !alreadyPending) {
    const timespec noWait{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &noWait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = writeErrno;
  return written;
}

// One output pipe of the child: reads it and delivers lines or collects.
class OutputStream {
 public:
  OutputStream(UniqueFd fd, const ChildProcess::LineHandler& handler, std::string& sink)
      : fd_(std::move(fd)), handler_(handler), sink_(sink) {}

  bool open() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  // One read; closes the pipe at its end.
  void readOnce() { readChunk(); }

  // Reads what is in the pipe now, at most its capacity: everything an exited
  // child wrote, without chasing a descendant that keeps writing.
  void drainAndClose() {
    if (!open()) return;
    int capacity = ::fcntl(fd_.get(), F_GETPIPE_SZ);
    size_t budget = capacity > 0 ? static_cast<size_t>(capacity) : kMaxLine;
    while (open() && budget > 0) {
      ssize_t n = readChunk();
      if (n <= 0) break;
      budget -= std::min(budget, static_cast<size_t>(n));
    }
    fd_.reset();
  }

  void finish() {
    if (handler_ && !partial_.empty()) handler_(partial_);
    partial_.clear();
  }

 private:
  // >0 bytes read, 0 at the end (pipe closed), -1 when nothing is there now.
  ssize_t readChunk() {
    char buffer[kReadChunk];
    ssize_t n;
    do {
      n = ::read(fd_.get(), buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      consume(std::string_view(buffer, static_cast<size_t>(n)));
      return n;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
    fd_.reset();
    return 0;
  }

  void consume(std::string_view data) {
    if (!handler_) {
      sink_.append(data);
      return;
    }
    partial_.append(data);
    size_t lineStart = 0;
    for (size_t newline; (newline = partial_.find('\n', lineStart)) != std::string::npos;) {
      handler_(std::string_view(partial_).substr(lineStart, newline - lineStart));
      lineStart = newline + 1;
    }
    while (partial_.size() - lineStart >= kMaxLine) {
      handler_(std::string_view(partial_).substr(lineStart, kMaxLine));
      lineStart += kMaxLine;
    }
    partial_.erase(0, lineStart);
  }

  UniqueFd fd_;
  const ChildProcess::LineHandler& handler_;
  std::string& sink_;
  std::string partial_;
};

class InputFeeder {
 public:
  InputFeeder(UniqueFd fd, std::string_view data) : fd_(std::move(fd)), data_(data) {
    if (data_.empty()) fd_.reset();
  }

  bool open() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void close() { fd_.reset(); }

  void writeSome() {
    size_t size = std::min(kReadChunk, data_.size() - offset_);
    ssize_t n = writeWithoutSigpipe(fd_.get(), data_.data() + offset_, size);
    if (n > 0) offset_ += static_cast<size_t>(n);
    bool blocked = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    // Done, or the child stopped reading (EPIPE): either way no more input.
    if (offset_ == data_.size() || (n < 0 && !blocked)) fd_.reset();
  }

 private:
  UniqueFd fd_;
  std::string_view data_;
  size_t offset_ = 0;
};

// Called through syscall(2): glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
// -1 on kernels without pidfds; the exit is then noticed by looking again.
int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

int millisecondsUntil(Clock::Duration remaining) {
  if (remaining <= Clock::Duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

}  // namespace

struct ChildProcess::Pipes {
  UniqueFd out;
  UniqueFd err;
  UniqueFd in;
  // Readable once the child has exited; invalid where the kernel lacks it.
  UniqueFd pidfd;
};

ChildProcess::ChildProcess(ProcessOptions options) : options_(std::move(options)) {}

ChildProcess::~ChildProcess() {
  bool mustReap;
  {
    MutexLock lock(mutex_);
    mustReap = !reaped_;
    if (mustReap) killGroupLocked(SIGKILL);
  }
  pipes_.reset();
  if (mustReap) reap();
}

void ChildProcess::setStdoutLineHandler(LineHandler handler) { stdoutHandler_ = std::move(handler); }

void ChildProcess::setStderrLineHandler(LineHandler handler) { stderrHandler_ = std::move(handler); }

pid_t ChildProcess::pid() const {
  MutexLock lock(mutex_);
  return pid_;
}

bool ChildProcess::isRunning() const {
  MutexLock lock(mutex_);
  return !reaped_;
}

bool ChildProcess::kill(int signal) {
  MutexLock lock(mutex_);
  if (reaped_) return false;
  killGroupLocked(signal);
  return true;
}

void ChildProcess::killGroupLocked(int signal) {
  // The child may have left its group (setsid); then signal it alone.
  if (::kill(-pid_, signal) != 0 && errno == ESRCH) ::kill(pid_, signal);
}

void ChildProcess::failStart(int error, std::string_view what) {
  result_.started = false;
  result_.startErrno = error;
  result_.err = std::string(what);
  // Only the program's path: arguments may carry credentials.
  traceLine("ProcessRunner: cannot start " + options_.executable + ": " + result_.err);
}

bool ChildProcess::start() {
  if (startCalled_) return result_.started;
  startCalled_ = true;
  if (auto problem = invalidOption(options_)) {
    failStart(EINVAL, *problem);
    return false;
  }

  std::string executable = options_.executable;
  // The child changes folder before exec, which would move a relative path.
  if (options_.workingDirectory && executable.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) executable = std::string(cwd) + "/" + executable;
  }

  PipePair outPipe, errPipe, inPipe;
  if (!makePipe(outPipe) || !makePipe(errPipe) || (options_.input && !makePipe(inPipe))) {
    int error = errno;
    failStart(error, errnoText(error));
    return false;
  }

  std::vector<std::string> argvStrings;
  argvStrings.push_back(options_.argv0.value_or(options_.executable));
  argvStrings.insert(argvStrings.end(), options_.arguments.begin(), options_.arguments.end());
  std::vector<char*> argv = pointersTo(argvStrings);
  std::vector<std::string> envStrings = buildEnvironment(options_);
  std::vector<char*> envp = pointersTo(envStrings);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options_.input) {
    posix_spawn_file_actions_adddup2(&actions, inPipe.readEnd.get(), STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe.writeEnd.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe.writeEnd.get(), STDERR_FILENO);
  // Descriptors opened elsewhere in the agent without O_CLOEXEC stay out too.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  if (options_.workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&actions, options_.workingDirectory->c_str());
  }

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  // The agent ignores SIGPIPE; a child must not inherit that.
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);

  pid_t pid = -1;
  int error = posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  outPipe.writeEnd.reset();
  errPipe.writeEnd.reset();
  inPipe.readEnd.reset();
  if (error != 0) {
    std::string what = errnoText(error);
    if (options_.workingDirectory) what += " (working folder " + *options_.workingDirectory + ")";
    failStart(error, what);
    return false;
  }

  pipes_ = std::make_unique<Pipes>();
  pipes_->out = std::move(outPipe.readEnd);
  pipes_->err = std::move(errPipe.readEnd);
  pipes_->in = std::move(inPipe.writeEnd);
  pipes_->pidfd.reset(openPidfd(pid));
  setNonBlocking(pipes_->out.get());
  setNonBlocking(pipes_->err.get());
  if (pipes_->in.valid()) setNonBlocking(pipes_->in.get());

  Clock& clock = options_.clock != nullptr ? *options_.clock : Clock::systemClock();
  startTime_ = clock.monotonicNow();
  {
    MutexLock lock(mutex_);
    pid_ = pid;
    reaped_ = false;
  }
  result_.started = true;
  result_.pid = pid;
  return true;
}

// The loop of wait(): moves bytes until the child has exited.
class ChildProcess::Pump {
 public:
  explicit Pump(ChildProcess& child)
      : child_(child),
        clock_(child.options_.clock != nullptr ? *child.options_.clock : Clock::systemClock()),
        out_(std::move(child.pipes_->out), child.stdoutHandler_, child.result_.out),
        err_(std::move(child.pipes_->err), child.stderrHandler_, child.result_.err),
        in_(std::move(child.pipes_->in),
            child.options_.input ? std::string_view(*child.options_.input) : std::string_view()),
        pidfd_(child.pipes_->pidfd.get()) {
    if (child.options_.timeout) deadline_ = child.startTime_ + *child.options_.timeout;
  }

  void run() {
    while (true) {
      if (!exited_ && pidfd_ < 0) exited_ = childHasExited();
      if (exited_) break;
      checkDeadline();
      pollOnce();
    }
    out_.drainAndClose();
    err_.drainAndClose();
    in_.close();
    out_.finish();
    err_.finish();
  }

 private:
  bool childHasExited() const {
    siginfo_t info{};
    int rc = ::waitid(P_PID, static_cast<id_t>(child_.result_.pid), &info,
                      WEXITED | WNOHANG | WNOWAIT);
    // ECHILD: someone else reaped it; there is nothing left to wait for.
    return (rc == 0 && info.si_pid != 0) || (rc < 0 && errno == ECHILD);
  }

  void checkDeadline() {
    if (!deadline_ || child_.result_.timedOut) return;
    if (clock_.monotonicNow() < *deadline_) return;
    child_.result_.timedOut = true;
    traceLine("ProcessRunner: " + child_.options_.executable + " (pid " +
              std::to_string(child_.result_.pid) + ") timed out; killing it");
    child_.kill(SIGKILL);
  }

  int pollTimeoutMs() const {
    int timeout = pidfd_ < 0 ? kExitCheckMs : -1;
    if (deadline_ && !child_.result_.timedOut) {
      int untilDeadline = std::min(millisecondsUntil(*deadline_ - clock_.monotonicNow()),
                                   kDeadlineCheckMs);
      timeout = timeout < 0 ? untilDeadline : std::min(timeout, untilDeadline);
    }
    return timeout;
  }

  void pollOnce() {
    pollfd fds[4];
    nfds_t count = 0;
    int outIndex = -1, errIndex = -1, inIndex = -1, pidIndex = -1;
    if (out_.open()) {
      outIndex = static_cast<int>(count);
      fds[count++] = {out_.fd(), POLLIN, 0};
    }
    if (err_.open()) {
      errIndex = static_cast<int>(count);
      fds[count++] = {err_.fd(), POLLIN, 0};
    }
    if (in_.open()) {
      inIndex = static_cast<int>(count);
      fds[count++] = {in_.fd(), POLLOUT, 0};
    }
    if (pidfd_ >= 0) {
      pidIndex = static_cast<int>(count);
      fds[count++] = {pidfd_, POLLIN, 0};
    }
    if (::poll(fds, count, pollTimeoutMs()) <= 0) return;  // time to look again, or EINTR
    if (outIndex >= 0 && fds[outIndex].revents != 0) out_.readOnce();
    if (errIndex >= 0 && fds[errIndex].revents != 0) err_.readOnce();
    if (inIndex >= 0 && fds[inIndex].revents != 0) {
      if (fds[inIndex].revents & POLLOUT) {
        in_.writeSome();
      } else {
        in_.close();  // the child closed its end
      }
    }
    if (pidIndex >= 0 && fds[pidIndex].revents != 0) exited_ = true;
  }

  ChildProcess& child_;
  Clock& clock_;
  OutputStream out_;
  OutputStream err_;
  InputFeeder in_;
  int pidfd_;
  std::optional<Clock::TimePoint> deadline_;
  bool exited_ = false;
};

ProcessResult ChildProcess::wait() {
  if (waited_ || !result_.started) return result_;
  waited_ = true;
  Pump(*this).run();
  reap();
  return result_;
}

void ChildProcess::reap() {
  pid_t pid = result_.pid;
  // Wait for the exit without reaping, so that the pid cannot be reused while
  // kill() may still signal it; then reap under the lock.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  MutexLock lock(mutex_);
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  reaped_ = true;
  if (reaped != pid) return;  // reaped elsewhere (SIGCHLD ignored): outcome unknown
  if (WIFEXITED(status)) {
    result_.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result_.termSignal = WTERMSIG(status);
  }
}

ProcessResult ProcessRunner::run(ProcessOptions options) {
  ChildProcess child(std::move(options));
  child.start();
  return child.wait();
}

}  // namespace ulmora
