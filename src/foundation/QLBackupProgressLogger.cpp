#include "foundation/QLBackupProgressLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
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

int appendQuietly(const std::string& path, std::string_view lines) {
  if (int err = makeFolders(fileutil::parentPath(path))) return err;
  QuietFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY,
                    fileutil::kOwnerOnlyFile));
  if (!fd.valid()) return errno;
  if (!writeAll(fd.get(), lines)) return errno;
  if (!closeChecked(fd)) return errno;
  return 0;
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

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithNoCase(std::string_view text, size_t at, std::string_view word) {
  if (text.size() - at < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (lowerAscii(text[at + i]) != word[i]) return false;
  }
  return true;
}

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}
bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isQuote(char c) { return c == '"' || c == '\''; }
bool endsPlainValue(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || isQuote(c) || c == '&';
}

struct SecretWord {
  std::string_view word;  // lower case
  bool equalsOnly;        // "key" alone is too common a word to mask after ":"
};

constexpr SecretWord kSecretWords[] = {
    {"password", false}, {"passwd", false}, {"passphrase", false}, {"pwd", false},
    {"secret", false},   {"privatekey", false}, {"token", false},  {"key", true},
};

struct Span {
  size_t begin;
  size_t end;
};

size_t skipBlanks(std::string_view text, size_t at) {
  while (at < text.size() && isBlank(text[at])) ++at;
  return at;
}

// Where the value after a secret's name starts, or nullopt when the name is
// not followed by a value (e.g. "password." or "wrong password").
std::optional<size_t> valueStart(std::string_view text, size_t wordAt, size_t nameEnd,
                                 bool equalsOnly, bool* xmlValue) {
  *xmlValue = false;
  if (equalsOnly) {
    if (nameEnd < text.size() && text[nameEnd] == '=') return nameEnd + 1;
    return std::nullopt;
  }
  size_t at = nameEnd;
  if (at < text.size() && isQuote(text[at])) ++at;  // the closing quote of a JSON key
  at = skipBlanks(text, at);
  if (at < text.size() && (text[at] == '=' || text[at] == ':')) return skipBlanks(text, at + 1);
  // A property list written into a line: <key>..password</key><string>value
  constexpr std::string_view kKeyEnd = "</key>";
  constexpr std::string_view kString = "<string>";
  if (text.substr(nameEnd, kKeyEnd.size()) == kKeyEnd) {
    size_t s = nameEnd + kKeyEnd.size();
    while (s < text.size() && (isBlank(text[s]) || text[s] == '\n' || text[s] == '\r')) ++s;
    if (text.substr(s, kString.size()) == kString) {
      *xmlValue = true;
      return s + kString.size();
    }
    return std::nullopt;
  }
  // A command-line option takes the next argument: "--password-file /path".
  bool isOption = wordAt >= 2 && text.substr(wordAt - 2, 2) == "--";
  if (isOption && nameEnd < text.size() && isBlank(text[nameEnd])) {
    return skipBlanks(text, nameEnd);
  }
  return std::nullopt;
}

std::optional<Span> secretValueAt(std::string_view text, size_t at) {
  for (const SecretWord& w : kSecretWords) {
    if (!startsWithNoCase(text, at, w.word)) continue;
    size_t nameEnd = at + w.word.size();
    while (nameEnd < text.size() && isNameChar(text[nameEnd])) ++nameEnd;
    bool xml = false;
    std::optional<size_t> start = valueStart(text, at, nameEnd, w.equalsOnly, &xml);
    if (!start || *start >= text.size()) continue;
    size_t begin = *start;
    size_t end;
    if (xml) {
      end = text.find('<', begin);
    } else if (isQuote(text[begin])) {
      // A quoted value may hold blanks; mask up to its own closing quote.
      ++begin;
      end = text.find(text[begin - 1], begin);
    } else {
      end = begin;
      while (end < text.size() && !endsPlainValue(text[end])) ++end;
    }
    if (end == std::string_view::npos) end = text.size();
    if (end == begin) continue;
    return Span{begin, end};
  }
  return std::nullopt;
}

}  // namespace

std::string redactSecrets(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    std::optional<Span> value = secretValueAt(text, i);
    if (!value) {
      out.push_back(text[i++]);
      continue;
    }
    out.append(text.substr(i, value->begin - i));
    out.append(kMask);
    i = value->end;
  }
  return out;
}

struct QLBackupProgressLogger::Impl {
  using Lock = std::lock_guard<std::mutex>;

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
    std::string text = redactSecrets(message);
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
    std::string text = redactSecrets(message);
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
