#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PropertyList.h"

namespace ulmora {

class Clock;

// Buffered trace and session logging.
//
// The process-wide logger (`progressLogger()`) owns three files: the daemon
// trace, the interactive trace and the interactive session log. Per-operation
// loggers (made with the constructor) write session logs to a file named on
// each call. A line is "<MM-dd-yyyy HH:mm:ss> : <message> \n" (local time).
// Empty messages are ignored. Every registered secret value
// (registerSecretValue) is masked wherever it appears, and control
// characters are escaped ("\n", "\x1b"), before a message is buffered: no
// log file holds an account's secret, and every dated message is exactly one
// line. Undated session-log text (the header and footer blocks) keeps its
// line breaks and tabs; its other control characters are escaped.
// Free text is otherwise left as it is (a file named "token=abc.txt" stays).
//
// Thread-safety: every method may be called from any thread; each logger has
// its own lock, held while its lines are written so that they reach the file
// in the order they were logged. Lock order: the platform trace lock (held
// around the trace sink), then a logger's lock. A logger therefore never
// traces while holding its lock: a write that fails sends a note and its
// lines to standard error rather than dropping them.
class QLBackupProgressLogger {
 public:
  // Buffer sizes (characters) at which buffered lines are written out.
  static constexpr size_t kDaemonTraceThreshold = 512000;
  static constexpr size_t kSessionThreshold = 51200;
  static constexpr size_t kInteractiveTraceThreshold = 51200;
  // The daemon trace and the interactive session log are cut to their last
  // kTruncatedSize bytes once they exceed kTruncateAbove bytes.
  static constexpr int64_t kTruncateAbove = 1048576;
  static constexpr int64_t kTruncatedSize = 204800;

  explicit QLBackupProgressLogger(Clock* clock = nullptr);  // nullptr: the system clock
  ~QLBackupProgressLogger();  // flushes
  QLBackupProgressLogger(const QLBackupProgressLogger&) = delete;
  QLBackupProgressLogger& operator=(const QLBackupProgressLogger&) = delete;

  // The process-wide logger. Until setLogFolder is called its lines stay
  // buffered (and go to standard error when flushed).
  static QLBackupProgressLogger& progressLogger();

  // Folder of the process-wide files: "SyncDaemonTrace.log",
  // "SyncInteractiveTrace.log", "InteractiveSessionLog.log". Created (0700)
  // when missing. Also installs this logger as the platform trace sink.
  // An empty folder sends flushed lines to standard error again and gives the
  // platform trace back to standard error.
  void setLogFolder(const std::string& folder);
  // Paths of the three files; "" while no folder is set.
  std::string daemonTracePath() const;
  std::string interactiveTracePath() const;
  std::string interactiveSessionLogPath() const;

  void logDaemonTrace(std::string_view message, bool flush);
  void logInteractiveTrace(std::string_view message, bool flush);
  void logSyncInteractiveSession(std::string_view message, bool flush);

  // Per-operation session logs: the line goes to this logger's session
  // buffer, which is written to `file` on flush or when it passes
  // kSessionThreshold. Lines still buffered for another file are written to
  // that file first, so a line never lands in the wrong log. Missing parent
  // folders of `file` are created (0700).
  void writeSessionLog(std::string_view message, const std::string& file, bool flush);
  void writeSessionLogWithoutTimeStamp(std::string_view message, const std::string& file, bool flush);

  // Writes every buffer out.
  void flushAll();

  // "MM-dd-yyyy HH:mm:ss" of the clock's local time.
  std::string timeStamp() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One line to the process logger's daemon (interactive) trace, written at once.
void daemonTrace(std::string_view message);
void interactiveTrace(std::string_view message);

// Secret values shorter than this are not masked: they would mask ordinary
// letters everywhere.
inline constexpr size_t kMinSecretLength = 4;
// Makes `value` (an account's password, key or their encoded forms, a proxy
// password) be masked in every log line from now on, for the process's life.
void registerSecretValue(std::string_view value);

// `text` with every registered secret value masked.
std::string redactSecrets(std::string_view text);
// `text` with control characters escaped, so it stays on one line.
std::string escapedForLog(std::string_view text);
// A copy whose dictionary fields named like secrets ("Password",
// "EncPvtPassword", "privateKey", ...) hold a mask instead, at any depth.
PropertyList withSecretFieldsMasked(const PropertyList& value);
// Command-line options named like secrets with their values masked:
// "--password=x" and "--password x" both.
std::vector<std::string> withSecretOptionsMasked(const std::vector<std::string>& arguments);

}  // namespace ulmora
