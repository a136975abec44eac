#include "service/ServiceEngineRun.h"

#include <signal.h>

#include <memory>
#include <utility>

#include "engine/EngineCommandLine.h"
#include "engine/EngineCredentials.h"
#include "engine/EngineLineRecord.h"
#include "engine/QLSYNCParser.h"

namespace ulmora {
namespace {

// The engine's exit status for a run it ended because it was told to stop.
constexpr int kExitCancelled = 20;

std::string lastLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  size_t nl = text.rfind('\n');
  return std::string(nl == std::string_view::npos ? text : text.substr(nl + 1));
}

}  // namespace

std::string ServiceEngineRun::Outcome::errorText() const {
  if (!fatal.empty()) return fatal;
  std::string err = lastLine(process.err);
  if (!err.empty()) return err;
  if (!process.started) return "umkvt error: the engine could not be started";
  if (process.timedOut) return "umkvt error: timeout";
  if (process.termSignal != 0) {
    return "umkvt error: the engine was killed by signal " + std::to_string(process.termSignal);
  }
  return "umkvt error: the engine failed with status " + std::to_string(process.exitStatus);
}

ServiceEngineRun::ServiceEngineRun(std::string executable, User user, ProxyController proxy)
    : executable_(std::move(executable)), user_(std::move(user)), proxy_(std::move(proxy)) {}

std::string ServiceEngineRun::remote(std::string_view path) const {
  return EngineCommandLine::remoteAddress(user_, path);
}

ServiceEngineRun::Outcome ServiceEngineRun::run(const std::vector<std::string>& operation,
                                                const std::function<void(std::string_view line)>& onLine) {
  Outcome outcome;
  std::unique_ptr<EngineCredentials> credentials = EngineCredentials::writePrivate(user_);
  if (!credentials) {
    outcome.startFailed = true;
    outcome.fatal = "umkvt error: cannot write the credential files";
    return outcome;
  }
  ProcessOptions o;
  o.executable = executable_;
  o.argv0 = executable_;
  o.arguments = EngineCommandLine::commonOptions(user_, proxy_, *credentials, "");
  o.arguments.insert(o.arguments.end(), operation.begin(), operation.end());
  o.environment = credentials->environment(proxy_.proxyPassword());
  o.timeout = timeout_;
  o.clock = clock_;

  ChildProcess child(std::move(o));
  child.setStdoutLineHandler([&](std::string_view line) {
    // FATAL has the same form in every record type; only its text matters here.
    if (line.substr(0, 6) == "FATAL\t") {
      EngineLineRecord r;
      if (QLSYNCParser::ParseLineStr(line, r, QLSYNCParser::kListing) == QLSYNCParser::kOk) {
        outcome.fatal = r.text(QLSYNCParser::kErrorKey);
      }
    }
    if (onLine) onLine(line);
  });
  {
    MutexLock lock(mutex_);
    if (terminated_) {
      outcome.cancelled = true;
      return outcome;
    }
    if (!child.start()) outcome.startFailed = true;
    child_ = &child;
  }
  outcome.process = child.wait();
  {
    MutexLock lock(mutex_);
    child_ = nullptr;
    outcome.cancelled = terminated_ || outcome.process.exitStatus == kExitCancelled;
  }
  return outcome;
}

void ServiceEngineRun::terminate() {
  MutexLock lock(mutex_);
  terminated_ = true;
  if (child_ != nullptr) child_->kill(SIGTERM);
}

}  // namespace ulmora
