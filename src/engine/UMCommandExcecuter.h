#pragma once

#include <sys/types.h>

#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"

namespace ulmora {

// Runs one engine process synchronously: no shell, the arguments reach the
// engine byte for byte.
//
// Typical use (the quota query):
//   UMCommandExcecuter run;
//   run.setCommandString(enginePath);
//   run.setCommandArguments(args);
//   run.setEnvironment(credentials.environment());
//   std::string err; pid_t pid;
//   std::optional<std::string> out = run.excecute(&err, &pid);
//
// Thread-safety: one object per run, used by one thread.
class UMCommandExcecuter {
 public:
  // A hung engine must not hold its caller (the quota thread) for ever.
  static constexpr Clock::Duration kDefaultTimeout = std::chrono::minutes(15);

  UMCommandExcecuter() = default;

  void setCommandString(std::string executable) { executable_ = std::move(executable); }
  void setCommandArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  // Added to the inherited environment (credentials: EngineCredentials).
  void setEnvironment(std::vector<std::pair<std::string, std::string>> env) { env_ = std::move(env); }
  // Fed to the engine's standard input (else /dev/null).
  void setInput(std::string input) { input_ = std::move(input); }
  void setTimeout(Clock::Duration timeout) { timeout_ = timeout; }
  void setClock(Clock* clock) { clock_ = clock; }
  // A stop request kills the running engine (its whole group): excecute()
  // then returns at once, as after a time-out, without "umkvt error: timeout".
  void setStopToken(std::stop_token stop) { stop_ = std::move(stop); }

  // Runs the engine to its end. Returns its whole standard output, nullopt
  // when it wrote none. `stdErr` (may be null) receives its standard error,
  // or the reason it could not start; `pid` (may be null) its process id
  // (-1 when it did not start).
  std::optional<std::string> excecute(std::string* stdErr, pid_t* pid);

  // Of the last excecute(): the exit code (-1 when the engine did not start,
  // was killed or timed out).
  int exitStatus() const { return exitStatus_; }

 private:
  std::string executable_;
  std::vector<std::string> arguments_;
  std::vector<std::pair<std::string, std::string>> env_;
  std::optional<std::string> input_;
  Clock::Duration timeout_ = kDefaultTimeout;
  Clock* clock_ = nullptr;
  std::stop_token stop_;
  int exitStatus_ = -1;
};

}  // namespace ulmora
