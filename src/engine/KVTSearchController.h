#pragma once

#include <mutex>
#include <string>
#include <thread>

#include "platform/ThreadAnnotations.h"
#include "engine/KVTSearchControllerDelegateProtocol.h"
#include "engine/ProxyController.h"
#include "engine/User.h"
#include "platform/ProcessRunner.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"

namespace ulmora {

// Searches a server folder (recursively) with the engine, off the caller's
// thread. See KVTSearchControllerDelegateProtocol for the reports.
//
// An engine failure ("umkvt error: ..." or any failing exit) becomes
// searchDidFailWithError with the engine's error text.
//
// Thread-safety: configure, start and destroy on one thread, which must run
// its RunLoop for the reports to arrive. One search per object.
class KVTSearchController {
 public:
  KVTSearchController();
  // Stops an engine still searching; no report follows.
  ~KVTSearchController();
  KVTSearchController(const KVTSearchController&) = delete;
  KVTSearchController& operator=(const KVTSearchController&) = delete;

  void setDelegate(KVTSearchControllerDelegateProtocol* delegate) { delegate_ = delegate; }
  void setExecutorPath(std::string path) { executorPath_ = std::move(path); }
  void setUser(User user) { user_ = std::move(user); }
  void setProxyDetails(ProxyController proxy) { proxy_ = std::move(proxy); }
  // A remote folder relative to the sync root; a missing final "/" is added.
  void setPathRoot(std::string path);
  void setSearchKey(std::string key) { searchKey_ = std::move(key); }
  const std::string& rootPath() const { return rootPath_; }

  // Calls searchDidStart at once, then runs the engine on a thread of its own.
  // A second call while a search runs does nothing.
  void startSearch();

 private:
  struct Result {
    PropertyList entries{PropertyList::Array{}};
    bool failed = false;
    std::string error;
  };
  void search(RunLoop::Handle loop);
  void deliver(const Result& result);

  KVTSearchControllerDelegateProtocol* delegate_ = nullptr;
  std::string executorPath_;
  User user_;
  ProxyController proxy_;
  std::string rootPath_ = "/";
  std::string searchKey_;
  std::thread worker_;

  Mutex mutex_;
  ChildProcess* child_ ULMORA_GUARDED_BY(mutex_) = nullptr;
  bool stopped_ ULMORA_GUARDED_BY(mutex_) = false;

  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
