#include "engine/KVTSearchController.h"

#include <signal.h>

#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "engine/EngineCommandLine.h"
#include "engine/EngineCredentials.h"
#include "engine/EngineLineRecord.h"
#include "engine/QLSYNCParser.h"
#include "foundation/QLLocalizedString.h"
#include "platform/Trace.h"

namespace ulmora {

KVTSearchController::KVTSearchController() : executorPath_(QLLocalizedString("ExecuterPathKVT")) {}

KVTSearchController::~KVTSearchController() {
  {
    MutexLock lock(mutex_);
    stopped_ = true;
    if (child_ != nullptr) child_->kill(SIGKILL);
  }
  if (worker_.joinable()) worker_.join();
  guard_.invalidate();
}

void KVTSearchController::setPathRoot(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  rootPath_ = std::move(path);
}

void KVTSearchController::startSearch() {
  if (worker_.joinable()) return;
  if (delegate_ != nullptr) delegate_->searchDidStart(*this);
  RunLoop::Handle loop = RunLoop::current().handle();
  worker_ = std::thread([this, loop] { search(loop); });
}

void KVTSearchController::search(RunLoop::Handle loop) {
  Result result;
  try {
    std::unique_ptr<EngineCredentials> credentials = EngineCredentials::writePrivate(user_);
    if (!credentials) {
      result.failed = true;
      result.error = "umkvt error: cannot write the credential files";
    } else {
      ProcessOptions o;
      o.executable = executorPath_;
      o.argv0 = executorPath_;
      o.arguments = EngineCommandLine::commonOptions(user_, proxy_, *credentials, "");
      o.arguments.emplace_back("--search");
      if (!searchKey_.empty()) o.arguments.push_back("--search-key=" + searchKey_);
      o.arguments.push_back(EngineCommandLine::remoteAddress(user_, rootPath_));
      o.environment = credentials->environment(proxy_.proxyPassword());
      std::string fatal;
      ChildProcess child(std::move(o));
      child.setStdoutLineHandler([&](std::string_view line) {
        EngineLineRecord r;
        if (QLSYNCParser::ParseLineStr(line, r, QLSYNCParser::kSearch) != QLSYNCParser::kOk) {
          traceLine("KVTSearchController: engine line not understood");
          return;
        }
        if (r.kind() == "FOUND") {
          result.entries.append(r.toDictionary());
        } else if (r.kind() == "FATAL") {
          fatal = r.text(QLSYNCParser::kErrorKey);
        }
      });
      {
        MutexLock lock(mutex_);
        if (stopped_) return;
        child.start();
        child_ = &child;
      }
      ProcessResult pr = child.wait();
      {
        MutexLock lock(mutex_);
        child_ = nullptr;
      }
      if (!pr.succeeded() || pr.err.find("umkvt error:") != std::string::npos) {
        result.failed = true;
        result.error = !fatal.empty() ? fatal : pr.err;
        while (!result.error.empty() && result.error.back() == '\n') result.error.pop_back();
        if (result.error.empty()) {
          result.error = "umkvt error: the search failed with status " + std::to_string(pr.exitStatus);
        }
      }
    }
  } catch (const std::exception& e) {
    traceLine(std::string("KVTSearchController: ") + e.what());
    result.failed = true;
    result.error = std::string("umkvt error: ") + e.what();
  }
  loop.post(guard_.wrap([this, result = std::move(result)] { deliver(result); }));
}

void KVTSearchController::deliver(const Result& result) {
  if (delegate_ == nullptr) return;
  if (result.failed) {
    delegate_->searchDidFailWithError(result.error, *this);
    return;
  }
  // The data report may destroy this controller; the finish report then
  // comes as a task of its own, which the guard drops.
  RunLoop::current().post(guard_.wrap([this] {
    if (delegate_ != nullptr) delegate_->searchDidFinishSuccessfully(*this);
  }));
  delegate_->searchDidReceiveData(result.entries, *this);
}

}  // namespace ulmora
