#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/ThreadAnnotations.h"
#include "engine/EngineLineRecord.h"
#include "platform/ProcessRunner.h"

namespace ulmora {

// One engine process of a transfer run, read on a thread of its own. Each
// stdout line is parsed (QLSYNCParser, transfer lines) and handed to the sink
// as an event; the process's end is the last event.
//
// For a download slot it also keeps the slot's RestoreStatus file: the full
// local path of the file the engine announced with RECV, emptied again when
// that file ends. It does so on its own thread, before the line's event is
// handed on, so once the process has been reaped the status file is exactly
// what the engine left behind: the path of the file it was receiving, or no
// file at all.
//
// Thread-safety: start() and the destructor belong to the owner; terminate()
// and kill() may be called from any thread; the sink runs on the worker's
// thread.
class EngineWorker {
 public:
  struct Event {
    enum class Type { kLine, kUnparsed, kExited };
    Type type = Type::kLine;
    int slot = 0;
    // kLine: the line as the engine wrote it, parsed again where it is
    // handled (a run's lines wait in a queue while their handling lags the
    // engine, and a parsed record is several times the size of its line);
    // kUnparsed: the line, cut for tracing.
    std::string line;
    ProcessResult result;     // kExited
    std::string errorText;    // kExited: the last lines of standard error
  };
  using Sink = std::function<void(Event&&)>;

  // `restoreStatusPath` empty: no status file (uploads).
  EngineWorker(int slot, ProcessOptions options, std::string restoreStatusPath,
               std::string localRoot, Sink sink);
  // Kills the process if it still runs and joins the thread.
  ~EngineWorker();
  EngineWorker(const EngineWorker&) = delete;
  EngineWorker& operator=(const EngineWorker&) = delete;

  // Where to note the engine's process id while it runs (EngineProcessRecord);
  // "" for no note. Before start().
  void setProcessRecordPath(std::string path) { recordPath_ = std::move(path); }
  void start();
  // SIGTERM: the engine removes its partial file and exits as cancelled.
  void terminate();
  // SIGKILL.
  void kill();

 private:
  void body();
  void handleLine(std::string_view line);
  void handleError(std::string_view line);
  void signal(int sig);
  void writeRestoreStatus(const std::string& relativePath);
  void clearRestoreStatus(const std::string& relativePath);
  void closeRestoreStatus();

  const int slot_;
  ProcessOptions options_;
  const std::string restoreStatusPath_;
  const std::string localRoot_;
  std::string recordPath_;
  Sink sink_;
  std::thread thread_;
  std::string receiving_;  // worker thread only
  EngineLineRecord parsed_;  // worker thread only: each line, to look at it here
  int statusFd_ = -1;      // worker thread only: the open status file
  off_t statusSize_ = -1;  // worker thread only: its length, -1 unknown
  std::string errorTail_;  // worker thread only

  Mutex mutex_;  // guards child_ and pendingSignal_
  ChildProcess* child_ ULMORA_GUARDED_BY(mutex_) = nullptr;
  int pendingSignal_ ULMORA_GUARDED_BY(mutex_) = 0;
  bool reaped_ ULMORA_GUARDED_BY(mutex_) = false;
};

}  // namespace ulmora
