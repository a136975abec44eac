#include "engine/UMCommandExcecuter.h"

#include <csignal>

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
  ChildProcess child(std::move(options));
  ProcessResult result;
  if (stop_.stop_requested()) {
    result.err = "stopped before it started";
  } else {
    child.start();
    std::stop_callback killOnStop(stop_, [&child] { child.kill(SIGKILL); });
    result = child.wait();
  }
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
