#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ThreadAnnotations.h"
#include "engine/ProxyController.h"
#include "engine/User.h"
#include "foundation/SupportFilePaths.h"
#include "service/KVTCreateDirHandlerProtocol.h"
#include "service/ServiceEngineRun.h"

namespace ulmora {

// Creates one folder (and its missing parents) on the server in one
// synchronous engine run (KVTCreateDirHandlerProtocol gives the reports).
// A path that could leave the sync root is refused without an engine run and
// reported as a failure.
//
// Thread-safety: set-up on one thread before use; startCraeteDir on one
// thread at a time; isRunning and setCancel from any thread.
class KVTCreateDirController {
 public:
  KVTCreateDirController();
  KVTCreateDirController(const KVTCreateDirController&) = delete;
  KVTCreateDirController& operator=(const KVTCreateDirController&) = delete;

  void setExecutorPath(std::string path) { executorPath_ = std::move(path); }
  void setDelegate(KVTCreateDirHandlerProtocol* delegate) { delegate_ = delegate; }
  void initializeApplicationSupportPaths(const std::string& consoleUser, const std::string& syncUser);
  void setUser(User user) { user_ = std::move(user); }
  void setProxyDetails(ProxyController proxy) { proxy_ = std::move(proxy); }

  bool isRunning() const { return running_.load(); }
  // Stops a run's engine (the run ends as cancelled) and marks the controller
  // not running; the argument is not looked at.
  void setCancel(bool ignored);

  // `folder`: relative to the sync root ("/A/B", a final "/" optional).
  void startCraeteDir(const std::string& folder);

 private:
  std::string executorPath_;
  KVTCreateDirHandlerProtocol* delegate_ = nullptr;
  SupportFilePaths paths_;
  User user_;
  ProxyController proxy_;
  std::atomic<bool> running_{false};

  Mutex mutex_;
  std::shared_ptr<ServiceEngineRun> engine_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
