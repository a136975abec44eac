#include "service/KVTCreateDirController.h"

#include <utility>

#include "engine/EngineLineRecord.h"
#include "engine/QLSYNCParser.h"
#include "foundation/QLLocalizedString.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"
#include "service/ServiceTexts.h"

namespace ulmora {

KVTCreateDirController::KVTCreateDirController() : executorPath_(QLLocalizedString("ExecuterPathKVT")) {}

void KVTCreateDirController::initializeApplicationSupportPaths(const std::string& consoleUser,
                                                               const std::string& syncUser) {
  paths_.setConsoleUserName(consoleUser);
  paths_.setSyncUserName(syncUser);
}

void KVTCreateDirController::setCancel(bool) {
  MutexLock lock(mutex_);
  if (engine_) engine_->terminate();
  running_.store(false);
}

void KVTCreateDirController::startCraeteDir(const std::string& folder) {
  std::string path = serverpath::withLeadingSlash(folder);
  if (path.back() != '/') path.push_back('/');
  if (auto why = serverpath::whyUnsafe(path)) {
    traceLine("KVTCreateDirController: folder refused, " + *why + ": " + serverpath::forTrace(folder));
    if (delegate_ != nullptr) {
      delegate_->createDirDidFailWithError("umkvt error: invalid folder path (" + *why + ")", *this);
    }
    return;
  }
  auto engine = std::make_shared<ServiceEngineRun>(executorPath_, user_, proxy_);
  {
    MutexLock lock(mutex_);
    engine_ = engine;
    running_.store(true);
  }
  if (delegate_ != nullptr) delegate_->createDirDidStart(*this);

  std::string firstItemError;
  ServiceEngineRun::Outcome outcome =
      engine->run({"--mkdir", engine->remote(path)}, [&](std::string_view raw) {
        EngineLineRecord rec;
        if (QLSYNCParser::ParseLineStr(raw, rec, QLSYNCParser::kFileOperation) != QLSYNCParser::kOk) {
          traceLine("KVTCreateDirController: engine line not understood: " + serverpath::forTrace(raw));
          return;
        }
        if (firstItemError.empty() && (rec.kind() == "SFERROR" || rec.kind() == "IOERROR")) {
          firstItemError = rec.text(QLSYNCParser::kMessageKey);
        }
        if (delegate_ == nullptr) return;
        if (rec.kind() == "CREATED") {
          delegate_->createDirDidReceiveData(serverpath::withLeadingSlash(rec.text(QLSYNCParser::kPathKey)));
        } else if (rec.kind() == "SFERROR" || rec.kind() == "IOERROR") {
          delegate_->createDirDidReceiveErrors(rec.text(QLSYNCParser::kMessageKey) + " : " +
                                               rec.text(QLSYNCParser::kPathKey));
        }
      });
  {
    MutexLock lock(mutex_);
    engine_.reset();
    running_.store(false);
  }
  if (delegate_ == nullptr) return;
  if (outcome.cancelled) {
    delegate_->createDirDidCancel(*this);
  } else if (!outcome.succeeded()) {
    std::string error =
        outcome.fatal.empty() && !firstItemError.empty() ? firstItemError : outcome.errorText();
    std::string account = servicetexts::accountMessageFor(error);
    if (!account.empty()) delegate_->createDirDidFailWithError(account, *this);
    delegate_->createDirDidFailWithError(error, *this);
  } else {
    delegate_->createDirDidFinishSuccessfully(*this);
  }
}

}  // namespace ulmora
