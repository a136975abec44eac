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

// The status file is scratch state read only after the engine has gone, so a
// plain write is enough; an fsync per received file would cost more than the
// file itself.
void writeSmallFile(const std::string& path, std::string_view text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                  fileutil::kOwnerOnlyFile);
  if (fd < 0) {
    traceLine("EngineWorker: cannot write " + path);
    return;
  }
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.remove_prefix(static_cast<size_t>(n));
  }
  ::close(fd);
}

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
  std::lock_guard<std::mutex> lock(mutex_);
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
      std::lock_guard<std::mutex> lock(mutex_);
      child_ = &child;
      // A stop asked for before the process existed still applies.
      if (pendingSignal_ != 0) child.kill(pendingSignal_);
    }
    exited.result = child.wait();
    if (!recordPath_.empty()) EngineProcessRecord::remove(recordPath_);
    std::lock_guard<std::mutex> lock(mutex_);
    child_ = nullptr;
    reaped_ = true;
  } catch (const std::exception& e) {
    traceLine(std::string("EngineWorker: ") + e.what());
    std::lock_guard<std::mutex> lock(mutex_);
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
  if (QLSYNCParser::ParseLineStr(line, e.record, QLSYNCParser::kTransfer) != QLSYNCParser::kOk) {
    e.type = Event::Type::kUnparsed;
    e.raw = std::string(line.substr(0, kRawLineTraceLimit));
    sink_(std::move(e));
    return;
  }
  if (!restoreStatusPath_.empty()) {
    const std::string& kind = e.record.kind();
    if (kind == "RECV") {
      writeRestoreStatus(e.record.text(QLSYNCParser::kPathKey));
    } else if (kind == "PROGRESS") {
      clearRestoreStatus(e.record.text(KVTProgressRecord::kFileNameKey));
    } else if (kind == "IOERROR" || kind == "SFERROR") {
      clearRestoreStatus(e.record.text(QLSYNCParser::kPathKey));
    }
  }
  sink_(std::move(e));
}

void EngineWorker::writeRestoreStatus(const std::string& relativePath) {
  receiving_ = relativePath;
  std::string full = localRoot_;
  if (!full.empty() && full.back() == '/') full.pop_back();
  if (relativePath.empty() || relativePath.front() != '/') full += '/';
  full += relativePath;
  writeSmallFile(restoreStatusPath_, full);
}

// A finished file is whole (the engine renames it into place), so the status
// must stop naming it: a later clean-up would otherwise remove a good file.
void EngineWorker::clearRestoreStatus(const std::string& relativePath) {
  if (receiving_.empty() || relativePath != receiving_) return;
  receiving_.clear();
  ::unlink(restoreStatusPath_.c_str());
}

}  // namespace ulmora
