#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "engine/ProxyController.h"
#include "engine/User.h"
#include "platform/Clock.h"
#include "platform/ProcessRunner.h"

namespace ulmora {

// One engine process of a service operation (listing, rename, delete, folder
// creation, versions, thumbnail upload), run to its end on the calling thread.
// The credentials reach the engine the one way docs/engine.md allows (owner-
// only files and the child's environment), never on its command line.
//
// Thread-safety: run() on one thread, once; terminate() from any thread, at
// any time (before run() it makes run() start nothing).
class ServiceEngineRun {
 public:
  // A hung engine must not hold its worker for ever.
  static constexpr Clock::Duration kDefaultTimeout = std::chrono::minutes(30);

  struct Outcome {
    ProcessResult process;
    std::string fatal;       // the FATAL line's text, "" when none came
    bool cancelled = false;  // terminate() was called, or the engine exited as cancelled
    bool startFailed = false;

    bool succeeded() const { return !cancelled && process.succeeded(); }
    // The best text for a failure: the FATAL text, else the last line of
    // standard error, else one naming the exit.
    std::string errorText() const;
  };

  ServiceEngineRun(std::string executable, User user, ProxyController proxy);
  ServiceEngineRun(const ServiceEngineRun&) = delete;
  ServiceEngineRun& operator=(const ServiceEngineRun&) = delete;

  void setTimeout(Clock::Duration timeout) { timeout_ = timeout; }
  void setClock(Clock* clock) { clock_ = clock; }

  // Runs the engine with the common options, then `operation` (the
  // operation's options and its positional arguments; the remote address is
  // made with remote()). Every stdout line goes to `onLine` as it arrives; a
  // FATAL line is also kept for the outcome.
  Outcome run(const std::vector<std::string>& operation,
              const std::function<void(std::string_view line)>& onLine);

  // "user@server::quellar/path" for this run's account.
  std::string remote(std::string_view path) const;

  // Stops the engine (SIGTERM: it ends as cancelled) or, before it started,
  // keeps it from starting.
  void terminate();

 private:
  const std::string executable_;
  const User user_;
  const ProxyController proxy_;
  Clock::Duration timeout_ = kDefaultTimeout;
  Clock* clock_ = nullptr;

  Mutex mutex_;
  ChildProcess* child_ ULMORA_GUARDED_BY(mutex_) = nullptr;
  bool terminated_ ULMORA_GUARDED_BY(mutex_) = false;
};

}  // namespace ulmora
