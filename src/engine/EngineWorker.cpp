#include "engine/EngineWorker.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <utility>

#include "engine/EngineProcessRecord.h"
#include "engine/KVTProgressRecord.h"
#include "engine/QLSYNCParser.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {

constexpr size_t kErrorTailLimit = 4096;
constexpr size_t kRawLineTraceLimit = 200;

}  // namespace

EngineWorker::EngineWorker(int slot, ProcessOptions options, std::string restoreStatusPath,
                           std::string localRoot, Sink sink)
    : slot_(slot),
      options_(std::move(options)),
      restoreStatusPath_(std::move(restoreStatusPath)),
      localRoot_(std::move(localRoot)),
      sink_(std::move(sink)) {}

EngineWorker::~EngineWorker() {
  kill();
  if (thread_.joinable()) thread_.join();
}

void EngineWorker::start() {
  thread_ = std::thread([this] { body(); });
}

void EngineWorker::terminate() { signal(SIGTERM); }
void EngineWorker::kill() { signal(SIGKILL); }

void EngineWorker::signal(int sig) {
  MutexLock lock(mutex_);
  if (reaped_) return;
  // SIGKILL wins over a SIGTERM still pending.
  if (pendingSignal_ != SIGKILL) pendingSignal_ = sig;
  if (child_ != nullptr) child_->kill(sig);
}

void EngineWorker::body() {
  Event exited;
  exited.type = Event::Type::kExited;
  exited.slot = slot_;
  try {
    ChildProcess child(options_);
    child.setStdoutLineHandler([this](std::string_view line) { handleLine(line); });
    child.setStderrLineHandler([this](std::string_view line) { handleError(line); });
    child.start();
    if (!recordPath_.empty() && child.pid() > 0) EngineProcessRecord::write(recordPath_, child.pid());
    {
      MutexLock lock(mutex_);
      child_ = &child;
      // A stop asked for before the process existed still applies.
      if (pendingSignal_ != 0) child.kill(pendingSignal_);
    }
    exited.result = child.wait();
    closeRestoreStatus();
    if (!recordPath_.empty()) EngineProcessRecord::remove(recordPath_);
    MutexLock lock(mutex_);
    child_ = nullptr;
    reaped_ = true;
  } catch (const std::exception& e) {
    traceLine(std::string("EngineWorker: ") + e.what());
    closeRestoreStatus();
    MutexLock lock(mutex_);
    child_ = nullptr;
    reaped_ = true;
  }
  exited.errorText = std::move(errorTail_);
  sink_(std::move(exited));
}

void EngineWorker::handleError(std::string_view line) {
  if (line.empty()) return;
  if (!errorTail_.empty()) errorTail_ += '\n';
  errorTail_.append(line.substr(0, kErrorTailLimit));
  if (errorTail_.size() > kErrorTailLimit) errorTail_.erase(0, errorTail_.size() - kErrorTailLimit);
}

void EngineWorker::handleLine(std::string_view line) {
  Event e;
  e.slot = slot_;
  if (QLSYNCParser::ParseLineStr(line, parsed_, QLSYNCParser::kTransfer) != QLSYNCParser::kOk) {
    e.type = Event::Type::kUnparsed;
    e.line = std::string(line.substr(0, kRawLineTraceLimit));
    sink_(std::move(e));
    return;
  }
  if (!restoreStatusPath_.empty()) {
    const std::string& kind = parsed_.kind();
    if (kind == "RECV") {
      writeRestoreStatus(parsed_.text(QLSYNCParser::kPathKey));
    } else if (kind == "PROGRESS") {
      clearRestoreStatus(parsed_.text(KVTProgressRecord::kFileNameKey));
    } else if (kind == "IOERROR" || kind == "SFERROR") {
      clearRestoreStatus(parsed_.text(QLSYNCParser::kPathKey));
    }
  }
  e.line = std::string(line);
  sink_(std::move(e));
}

// The status file is scratch state read only after the engine has gone, so
// plain writes are enough. It is opened once and overwritten in place: a file
// made and removed per received file costs more than the file itself (ext4
// searches past every recently freed inode for each new one), and an fsync
// even more.
void EngineWorker::writeRestoreStatus(const std::string& relativePath) {
  receiving_ = relativePath;
  std::string full = localRoot_;
  if (!full.empty() && full.back() == '/') full.pop_back();
  if (relativePath.empty() || relativePath.front() != '/') full += '/';
  full += relativePath;
  if (statusFd_ < 0) {
    statusFd_ = ::open(restoreStatusPath_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                       fileutil::kOwnerOnlyFile);
    statusSize_ = -1;  // whatever an earlier run left is cut below
  }
  if (statusFd_ < 0) {
    traceLine("EngineWorker: cannot write " + restoreStatusPath_);
    return;
  }
  size_t done = 0;
  while (done < full.size()) {
    ssize_t n = ::pwrite(statusFd_, full.data() + done, full.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const off_t size = static_cast<off_t>(done);
  if ((statusSize_ < 0 || statusSize_ > size) && ::ftruncate(statusFd_, size) != 0)
    traceLine("EngineWorker: cannot cut " + restoreStatusPath_);
  statusSize_ = size;
}

// A finished file is whole (the engine renames it into place), so the status
// must stop naming it: a later clean-up would otherwise remove a good file.
// Emptied, not removed, while the engine runs (an empty status names nothing).
void EngineWorker::clearRestoreStatus(const std::string& relativePath) {
  if (receiving_.empty() || relativePath != receiving_) return;
  receiving_.clear();
  if (statusFd_ >= 0 && ::ftruncate(statusFd_, 0) == 0) {
    statusSize_ = 0;
  } else {
    ::unlink(restoreStatusPath_.c_str());
  }
}

// Once the engine is reaped the file names what it was receiving, or is gone.
void EngineWorker::closeRestoreStatus() {
  if (statusFd_ < 0) return;
  ::close(statusFd_);
  statusFd_ = -1;
  if (receiving_.empty()) ::unlink(restoreStatusPath_.c_str());
}

}  // namespace ulmora
