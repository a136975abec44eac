#include "service/UMVersionController.h"

#include <exception>
#include <utility>

#include "engine/EngineLineRecord.h"
#include "engine/QLSYNCParser.h"
#include "foundation/QLLocalizedString.h"
#include "journal/SyncRootPath.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"

namespace ulmora {

UMVersionController::UMVersionController() : executorPath_(QLLocalizedString("ExecuterPathKVT")) {}

UMVersionController::~UMVersionController() {
  {
    MutexLock lock(mutex_);
    stopped_ = true;
    if (engine_) engine_->terminate();
  }
  if (worker_.joinable()) worker_.join();
  guard_.invalidate();
}

std::optional<std::string> UMVersionController::relativePathOf(const std::string& localPath,
                                                               std::string* why) const {
  SyncRootPath root(host_ != nullptr ? host_->syncRootPath() : std::string());
  if (!root.isFullPath(localPath) || root.isRoot(localPath)) {
    *why = "not a file under the sync root";
    return std::nullopt;
  }
  std::string relative = root.relative(localPath);
  if (auto unsafe = serverpath::whyUnsafe(relative)) {
    *why = *unsafe;
    return std::nullopt;
  }
  return relative;
}

void UMVersionController::showVersionHistory(const std::string& localPath) {
  if (!begin(localPath, false)) return;
  std::string why;
  auto relative = relativePathOf(localPath, &why);
  if (!relative) {
    running_.store(false);
    RunLoop::current().post(guard_.wrap(failure(localPath, "umkvt error: " + why, false)));
    return;
  }
  launch([this, localPath, rel = *relative] { return listVersions(localPath, rel); });
}

void UMVersionController::restoreVersion(const std::string& localPath, int64_t version) {
  if (!begin(localPath, true)) return;
  std::string why;
  auto relative = relativePathOf(localPath, &why);
  if (!relative || version <= 0) {
    running_.store(false);
    RunLoop::current().post(guard_.wrap(
        failure(localPath, "umkvt error: " + (relative ? std::string("no such version") : why), true)));
    return;
  }
  launch([this, localPath, rel = *relative, version] { return restore(localPath, rel, version); });
}

bool UMVersionController::begin(const std::string& localPath, bool restore) {
  if (running_.exchange(true)) {
    RunLoop::current().post(
        guard_.wrap(failure(localPath, "umkvt error: a version operation is already running", restore)));
    return false;
  }
  if (worker_.joinable()) worker_.join();  // the previous one has ended
  return true;
}

void UMVersionController::launch(std::function<Report()> body) {
  RunLoop::Handle loop = RunLoop::current().handle();
  worker_ = std::thread([this, loop, body = std::move(body)] {
    Report report;
    try {
      report = body();
    } catch (const std::exception& e) {
      traceLine(std::string("UMVersionController: ") + e.what());
    }
    // Not running any more before the report arrives, so the delegate may
    // ask for the next operation from inside it.
    running_.store(false);
    if (report) loop.post(guard_.wrap(std::move(report)));
  });
}

UMVersionController::Report UMVersionController::failure(std::string localPath, std::string error,
                                                         bool restore) {
  return [this, localPath = std::move(localPath), error = std::move(error), restore] {
    if (delegate_ == nullptr) return;
    if (restore) {
      delegate_->versionRestoreDidFailWithError(localPath, error, *this);
    } else {
      delegate_->versionHistoryDidFailWithError(localPath, error, *this);
    }
  };
}

UMVersionController::Report UMVersionController::listVersions(std::string localPath, std::string relative) {
  auto engine = std::make_shared<ServiceEngineRun>(executorPath_, user_, proxy_);
  {
    MutexLock lock(mutex_);
    if (stopped_) return {};
    engine_ = engine;
  }
  PropertyList versions{PropertyList::Array{}};
  std::string itemError;
  ServiceEngineRun::Outcome outcome =
      engine->run({"--list-versions", engine->remote(relative)}, [&](std::string_view raw) {
        EngineLineRecord rec;
        if (QLSYNCParser::ParseLineStr(raw, rec, QLSYNCParser::kVersions) != QLSYNCParser::kOk) {
          traceLine("UMVersionController: engine line not understood: " + serverpath::forTrace(raw));
          return;
        }
        if (rec.kind() == "VERSION") {
          versions.append(rec.toDictionary());
        } else if (itemError.empty() && (rec.kind() == "SFERROR" || rec.kind() == "IOERROR")) {
          // A file the server lacks is refused per item.
          itemError = rec.text(QLSYNCParser::kMessageKey);
        }
      });
  {
    MutexLock lock(mutex_);
    engine_.reset();
    if (stopped_) return {};
  }
  if (!outcome.succeeded()) {
    return failure(localPath, outcome.fatal.empty() && !itemError.empty() ? itemError : outcome.errorText(),
                   false);
  }
  return [this, localPath, versions = std::move(versions)] {
    if (delegate_ != nullptr) delegate_->versionHistoryDidReceiveData(localPath, versions, *this);
  };
}

UMVersionController::Report UMVersionController::restore(std::string localPath, std::string relative,
                                                         int64_t version) {
  auto engine = std::make_shared<ServiceEngineRun>(executorPath_, user_, proxy_);
  {
    MutexLock lock(mutex_);
    if (stopped_) return {};
    engine_ = engine;
  }
  const std::string root = host_->syncRootPath();
  host_->VersionRestoreStarted();
  std::string itemError;
  ServiceEngineRun::Outcome outcome =
      engine->run({"--restore-version=" + std::to_string(version), engine->remote(relative), root},
                  [&](std::string_view raw) {
                    EngineLineRecord rec;
                    if (QLSYNCParser::ParseLineStr(raw, rec, QLSYNCParser::kTransfer) != QLSYNCParser::kOk)
                      return;
                    if (itemError.empty() && (rec.kind() == "SFERROR" || rec.kind() == "IOERROR")) {
                      itemError = rec.text(QLSYNCParser::kMessageKey);
                    }
                  });
  host_->VersionRestoreEnded();
  {
    MutexLock lock(mutex_);
    engine_.reset();
    if (stopped_) return {};
  }
  if (!outcome.succeeded()) {
    return failure(localPath, outcome.fatal.empty() && !itemError.empty() ? itemError : outcome.errorText(),
                   true);
  }
  return [this, localPath, version] {
    if (delegate_ != nullptr) delegate_->versionRestoreDidFinish(localPath, version, *this);
  };
}

}  // namespace ulmora
