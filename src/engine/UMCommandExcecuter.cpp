#include "engine/UMCommandExcecuter.h"

#include "platform/ProcessRunner.h"
#include "platform/Trace.h"

namespace ulmora {

std::optional<std::string> UMCommandExcecuter::excecute(std::string* stdErr, pid_t* pid) {
  ProcessOptions options;
  options.executable = executable_;
  options.arguments = arguments_;
  options.environment = env_;
  options.input = input_;
  options.timeout = timeout_;
  options.clock = clock_;
  ProcessResult result = ProcessRunner::run(std::move(options));
  exitStatus_ = result.exitStatus;
  if (result.timedOut) {
    traceLine("UMCommandExcecuter: engine timed out and was stopped");
    if (!result.err.empty() && result.err.back() != '\n') result.err += "\n";
    result.err += "umkvt error: timeout";
  }
  if (stdErr != nullptr) *stdErr = std::move(result.err);
  if (pid != nullptr) *pid = result.pid;
  if (result.out.empty()) return std::nullopt;
  return std::move(result.out);
}

}  // namespace ulmora
