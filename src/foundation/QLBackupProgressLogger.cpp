#include "foundation/QLBackupProgressLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <optional>
#include <vector>
#include <utility>

#include "platform/Clock.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {

constexpr std::string_view kMask = "****";

enum class Stream { kDaemonTrace = 0, kInteractiveTrace = 1, kInteractiveSession = 2 };

struct StreamInfo {
  const char* fileName;
  size_t threshold;
  bool truncates;
};

constexpr StreamInfo kStreams[] = {
    {"SyncDaemonTrace.log", QLBackupProgressLogger::kDaemonTraceThreshold, true},
    {"SyncInteractiveTrace.log", QLBackupProgressLogger::kInteractiveTraceThreshold, false},
    {"InteractiveSessionLog.log", QLBackupProgressLogger::kSessionThreshold, true},
};

const StreamInfo& infoOf(Stream s) { return kStreams[static_cast<int>(s)]; }

// Lines that cannot reach their file still reach the journal of the unit
// that runs the agent.
void writeToStandardError(std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// The file operations below run with a logger's lock held. They report
// failures to their caller instead of tracing: a trace line would come back
// into the process logger through the platform trace sink, whose own lock is
// held around the sink, and the two locks would be taken in both orders.

class QuietFd {
 public:
  explicit QuietFd(int fd) : fd_(fd) {}
  ~QuietFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  QuietFd(const QuietFd&) = delete;
  QuietFd& operator=(const QuietFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool closeChecked(QuietFd& fd) { return ::close(fd.release()) == 0 || errno == EINTR; }

// errno of the failure, 0 on success.
int makeFolders(const std::string& path) {
  if (path.empty()) return 0;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  std::string parent = fileutil::parentPath(path);
  if (parent != path) {
    if (int err = makeFolders(parent)) return err;
  }
  if (::mkdir(path.c_str(), fileutil::kOwnerOnlyFolder) != 0 && errno != EEXIST) return errno;
  return 0;
}

// One descriptor held back for the moment the process has used up its
// handles (a flood of companions, say): giving it up lets the log line that
// tells why reach its file instead of only standard error.
class SpareHandle {
 public:
  int openUsingSpare(const char* path, int flags, mode_t mode) {
    int fd = ::open(path, flags, mode);
    if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
    std::lock_guard<std::mutex> hold(mu_);
    if (spare_ < 0) return -1;
    ::close(spare_);
    spare_ = -1;
    fd = ::open(path, flags, mode);
    return fd;
  }
  // After the file opened with the spare's room is closed again.
  void keep() {
    std::lock_guard<std::mutex> hold(mu_);
    if (spare_ < 0) spare_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }

 private:
  std::mutex mu_;
  int spare_ = -1;
};

SpareHandle& spareHandle() {
  static SpareHandle* const spare = [] {
    auto* made = new SpareHandle();  // never closed: any thread may log at exit
    made->keep();
    return made;
  }();
  return *spare;
}

int appendQuietly(const std::string& path, std::string_view lines) {
  if (int err = makeFolders(fileutil::parentPath(path))) return err;
  SpareHandle& spare = spareHandle();
  int err = 0;
  {
    QuietFd fd(spare.openUsingSpare(path.c_str(),
                                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY,
                                    fileutil::kOwnerOnlyFile));
    if (!fd.valid()) {
      err = errno;
    } else if (!writeAll(fd.get(), lines) || !closeChecked(fd)) {
      err = errno;
    }
  }
  spare.keep();
  return err;
}

// Readers of the log see the old or the new contents, never a part.
int replaceQuietly(const std::string& path, std::string_view contents) {
  std::string temp = path + ".progress";
  QuietFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY,
                    fileutil::kOwnerOnlyFile));
  if (!fd.valid()) return errno;
  int err = 0;
  if (!writeAll(fd.get(), contents) || ::fchmod(fd.get(), fileutil::kOwnerOnlyFile) != 0 ||
      ::fsync(fd.get()) != 0 || !closeChecked(fd) || ::rename(temp.c_str(), path.c_str()) != 0) {
    err = errno;
    ::unlink(temp.c_str());
  }
  return err;
}

// The bytes from `start` to the end of the file, read without loading what
// comes before.
std::optional<std::string> readFrom(int fd, int64_t start, int64_t size) {
  std::string data(static_cast<size_t>(size - start), '\0');
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pread(fd, data.data() + done, data.size() - done,
                        static_cast<off_t>(start) + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  return data;
}

// Keeps at most the last kTruncatedSize bytes, starting at a line start, so
// the kept part never begins with half a line.
int truncateToTail(const std::string& path) {
  QuietFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) return errno;
  if (st.st_size <= QLBackupProgressLogger::kTruncateAbove) return 0;
  // Starting one byte early keeps the first line whole when the cut already
  // falls on a line start.
  int64_t from = st.st_size - QLBackupProgressLogger::kTruncatedSize - 1;
  std::optional<std::string> data = readFrom(fd.get(), from, st.st_size);
  if (!data) return errno;
  std::string_view tail(*data);
  if (tail.empty()) return 0;
  size_t newline = tail.find('\n');
  // A single line longer than the kept size: keep its end rather than losing
  // the latest text altogether.
  tail.remove_prefix(newline == std::string_view::npos ? 1 : newline + 1);
  return replaceQuietly(path, tail);
}

void reportWriteFailure(const std::string& path, int err, std::string_view lines) {
  std::string note = "cannot write log " + path + ": " + std::strerror(err) + "\n";
  writeToStandardError(note);
  writeToStandardError(lines);
}

// Secret values of the running accounts, longest first so that a secret
// that contains another is masked whole.
class SecretValues {
 public:
  void add(std::string value) {
    std::lock_guard<std::mutex> hold(mu_);
    for (const std::string& known : values_) {
      if (known == value) return;
    }
    values_.push_back(std::move(value));
    std::stable_sort(values_.begin(), values_.end(),
                     [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  }

  std::string mask(std::string_view text) const {
    std::lock_guard<std::mutex> hold(mu_);
    std::string out(text);
    for (const std::string& value : values_) {
      for (size_t at = out.find(value); at != std::string::npos; at = out.find(value, at)) {
        out.replace(at, value.size(), kMask);
        at += kMask.size();
      }
    }
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> values_;
};

SecretValues& secretValues() {
  static SecretValues* const values = new SecretValues();  // outlives every logger
  return *values;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool containsNoCase(std::string_view text, std::string_view lowerWord) {
  if (lowerWord.size() > text.size()) return false;
  for (size_t at = 0; at + lowerWord.size() <= text.size(); ++at) {
    size_t i = 0;
    while (i < lowerWord.size() && lowerAscii(text[at + i]) == lowerWord[i]) ++i;
    if (i == lowerWord.size()) return true;
  }
  return false;
}

// A property-list key or option name that holds a secret: "Password",
// "EncPvtPassword", "privateKey", "--password-file" ("--pvt-key" names a file
// of the key, and the file's name is no secret, but the value of an option
// may be the key itself in other callers).
bool namesSecret(std::string_view name) {
  for (std::string_view word : {"password", "passwd", "passphrase", "secret", "privatekey",
                                "pvtkey", "pvt-key", "private-key", "token"}) {
    if (containsNoCase(name, word)) return true;
  }
  return false;
}

// `keepLineBreaks` for the session logs' undated blocks (header and footer),
// which the agent lays out over several lines itself.
void escapeControlCharacters(std::string_view text, std::string& out, bool keepLineBreaks) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 0x20 && c != 0x7f) || (keepLineBreaks && (c == '\n' || c == '\t'))) {
      out.push_back(ch);
      continue;
    }
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\x";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xf]);
    }
  }
}

}  // namespace

void registerSecretValue(std::string_view value) {
  // Shorter values would mask ordinary letters all over the log.
  if (value.size() < kMinSecretLength) return;
  secretValues().add(std::string(value));
}

std::string redactSecrets(std::string_view text) { return secretValues().mask(text); }

std::string escapedForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  escapeControlCharacters(text, out, false);
  return out;
}

PropertyList withSecretFieldsMasked(const PropertyList& value) {
  if (const PropertyList::Dict* dict = value.asDict()) {
    PropertyList::Dict masked;
    for (const auto& [key, item] : *dict) {
      masked.emplace(key, namesSecret(key) && !item.isDict() && !item.isArray()
                              ? PropertyList(std::string(kMask))
                              : withSecretFieldsMasked(item));
    }
    return PropertyList(std::move(masked));
  }
  if (const PropertyList::Array* array = value.asArray()) {
    PropertyList::Array masked;
    masked.reserve(array->size());
    for (const PropertyList& item : *array) masked.push_back(withSecretFieldsMasked(item));
    return PropertyList(std::move(masked));
  }
  return value;
}

std::vector<std::string> withSecretOptionsMasked(const std::vector<std::string>& arguments) {
  std::vector<std::string> masked;
  masked.reserve(arguments.size());
  bool nextIsSecret = false;
  for (const std::string& argument : arguments) {
    if (nextIsSecret) {
      masked.emplace_back(kMask);
      nextIsSecret = false;
      continue;
    }
    const bool isOption = argument.rfind("-", 0) == 0;
    const size_t equals = argument.find('=');
    const std::string_view name = std::string_view(argument).substr(0, equals);
    if (isOption && namesSecret(name)) {
      if (equals == std::string::npos) {
        nextIsSecret = true;  // "--password secret"
        masked.push_back(argument);
      } else {
        masked.push_back(argument.substr(0, equals + 1) + std::string(kMask));
      }
      continue;
    }
    masked.push_back(argument);
  }
  return masked;
}

struct QLBackupProgressLogger::Impl {
  using Lock = std::lock_guard<std::mutex>;

  // One message is one line: a newline in a file name must not start what
  // looks like a line of the agent's own.
  static std::string forLog(std::string_view message, bool keepLineBreaks = false) {
    std::string masked = redactSecrets(message);
    std::string out;
    out.reserve(masked.size());
    escapeControlCharacters(masked, out, keepLineBreaks);
    return out;
  }

  explicit Impl(Clock& c) : clock(c) {}

  std::string stamp() const {
    std::time_t t = std::chrono::system_clock::to_time_t(clock.wallNow());
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    size_t n = std::strftime(text, sizeof text, "%m-%d-%Y %H:%M:%S", &local);
    return std::string(text, n);
  }

  std::string datedLine(std::string_view text) const {
    std::string line = stamp();
    line.append(" : ").append(text).append(" \n");
    return line;
  }

  // mu held.
  std::string pathOf(Stream s) const {
    return folder.empty() ? std::string() : fileutil::joinPath(folder, infoOf(s).fileName);
  }

  void log(Stream s, std::string_view message, bool flush) {
    if (message.empty()) return;
    std::string text = forLog(message);
    Lock lock(mu);
    // Stamped under the lock so that the lines of a file are in time order.
    std::string& buffer = buffers[static_cast<int>(s)];
    buffer += datedLine(text);
    if (flush || buffer.size() >= infoOf(s).threshold) writeOut(s);
  }

  // mu held; the lock stays held while writing so that lines reach the file
  // in the order they were logged.
  void writeOut(Stream s) {
    std::string pending = std::exchange(buffers[static_cast<int>(s)], std::string());
    if (pending.empty()) return;
    std::string path = pathOf(s);
    if (path.empty()) {
      writeToStandardError(pending);
      return;
    }
    if (int err = appendQuietly(path, pending)) {
      reportWriteFailure(path, err, pending);
      return;
    }
    if (infoOf(s).truncates) {
      if (int err = truncateToTail(path)) reportWriteFailure(path, err, {});
    }
  }

  void writeSession(std::string_view message, const std::string& file, bool flush, bool dated) {
    if (message.empty()) return;
    std::string text = forLog(message, /*keepLineBreaks=*/!dated);
    Lock lock(mu);
    if (file != sessionFile) writeSessionOut();
    sessionFile = file;
    if (dated) {
      session += datedLine(text);
    } else {
      session.append(text).push_back('\n');
    }
    if (flush || session.size() >= kSessionThreshold) writeSessionOut();
  }

  // mu held.
  void writeSessionOut() {
    std::string pending = std::exchange(session, std::string());
    if (pending.empty()) return;
    if (sessionFile.empty()) {
      writeToStandardError(pending);
    } else if (int err = appendQuietly(sessionFile, pending)) {
      reportWriteFailure(sessionFile, err, pending);
    }
  }

  void flushAll() {
    Lock lock(mu);
    writeOut(Stream::kDaemonTrace);
    writeOut(Stream::kInteractiveTrace);
    writeOut(Stream::kInteractiveSession);
    writeSessionOut();
  }

  Clock& clock;
  std::mutex mu;
  // Guarded by mu:
  std::string folder;
  std::string buffers[3];
  std::string session;
  std::string sessionFile;
  bool ownsTraceSink = false;
};

QLBackupProgressLogger::QLBackupProgressLogger(Clock* clock)
    : impl_(std::make_unique<Impl>(clock ? *clock : Clock::systemClock())) {}

QLBackupProgressLogger::~QLBackupProgressLogger() {
  bool ownsSink;
  {
    Impl::Lock lock(impl_->mu);
    ownsSink = impl_->ownsTraceSink;
  }
  if (ownsSink) setTraceSink({});
  impl_->flushAll();
}

QLBackupProgressLogger& QLBackupProgressLogger::progressLogger() {
  // Never destroyed: other threads and the platform trace sink may still log
  // while static objects are torn down. Its lines are flushed at exit.
  static QLBackupProgressLogger* const logger = [] {
    auto* created = new QLBackupProgressLogger();
    std::atexit([] { progressLogger().flushAll(); });
    return created;
  }();
  return *logger;
}

void QLBackupProgressLogger::setLogFolder(const std::string& folder) {
  spareHandle();  // held from now on, before the handles can run out
  {
    Impl::Lock lock(impl_->mu);
    impl_->folder = folder;
    impl_->ownsTraceSink = !folder.empty();
  }
  if (folder.empty()) {
    setTraceSink({});
    return;
  }
  // Outside the lock: a failure here traces, and the trace reaches this logger.
  fileutil::makeDirectories(folder, fileutil::kOwnerOnlyFolder);
  setTraceSink([this](std::string_view line) { logDaemonTrace(line, true); });
}

std::string QLBackupProgressLogger::daemonTracePath() const {
  Impl::Lock lock(impl_->mu);
  return impl_->pathOf(Stream::kDaemonTrace);
}

std::string QLBackupProgressLogger::interactiveTracePath() const {
  Impl::Lock lock(impl_->mu);
  return impl_->pathOf(Stream::kInteractiveTrace);
}

std::string QLBackupProgressLogger::interactiveSessionLogPath() const {
  Impl::Lock lock(impl_->mu);
  return impl_->pathOf(Stream::kInteractiveSession);
}

void QLBackupProgressLogger::logDaemonTrace(std::string_view message, bool flush) {
  impl_->log(Stream::kDaemonTrace, message, flush);
}

void QLBackupProgressLogger::logInteractiveTrace(std::string_view message, bool flush) {
  impl_->log(Stream::kInteractiveTrace, message, flush);
}

void QLBackupProgressLogger::logSyncInteractiveSession(std::string_view message, bool flush) {
  impl_->log(Stream::kInteractiveSession, message, flush);
}

void QLBackupProgressLogger::writeSessionLog(std::string_view message, const std::string& file,
                                             bool flush) {
  impl_->writeSession(message, file, flush, /*dated=*/true);
}

void QLBackupProgressLogger::writeSessionLogWithoutTimeStamp(std::string_view message,
                                                             const std::string& file, bool flush) {
  impl_->writeSession(message, file, flush, /*dated=*/false);
}

void QLBackupProgressLogger::flushAll() { impl_->flushAll(); }

std::string QLBackupProgressLogger::timeStamp() const { return impl_->stamp(); }

void daemonTrace(std::string_view message) {
  QLBackupProgressLogger::progressLogger().logDaemonTrace(message, true);
}

void interactiveTrace(std::string_view message) {
  QLBackupProgressLogger::progressLogger().logInteractiveTrace(message, true);
}

}  // namespace ulmora
