#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/ThreadAnnotations.h"
#include "engine/ProxyController.h"
#include "engine/User.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "service/ServiceEngineRun.h"
#include "service/UMVersionControllerDelegateProtocol.h"
#include "service/VersionRestoreHost.h"

namespace ulmora {

// The version history of one synced file: lists the server's versions of it
// and restores one of them, each through the engine on a thread of its own.
// Reports reach the delegate on the run loop of the thread that asked.
// A restore is bracketed by the host's VersionRestoreStarted/Ended.
//
// A path outside the sync root (or that could leave it) is refused with a
// failure report and no engine run.
//
// Thread-safety: configure, ask and destroy on one thread, which runs its
// RunLoop for the reports. One operation at a time: a request while one runs
// is refused with a failure report. The destructor stops a running engine
// (no report follows) and joins the worker.
class UMVersionController {
 public:
  UMVersionController();
  ~UMVersionController();
  UMVersionController(const UMVersionController&) = delete;
  UMVersionController& operator=(const UMVersionController&) = delete;

  void setUserInfo(User user) { user_ = std::move(user); }
  void setProxyDetails(ProxyController proxy) { proxy_ = std::move(proxy); }
  void setExecutorPath(std::string path) { executorPath_ = std::move(path); }
  void setDelegate(UMVersionControllerDelegateProtocol* delegate) { delegate_ = delegate; }
  void setHost(VersionRestoreHost* host) { host_ = host; }

  bool isRunning() const { return running_.load(); }

  // `localPath`: the full path of a synced file.
  void showVersionHistory(const std::string& localPath);
  // Makes `version` the current one on the server and downloads it over the
  // local file.
  void restoreVersion(const std::string& localPath, int64_t version);

 private:
  // A report to deliver on the asking thread's loop; empty for none.
  using Report = std::function<void()>;

  std::optional<std::string> relativePathOf(const std::string& localPath, std::string* why) const;
  bool begin(const std::string& localPath, bool restore);
  void launch(std::function<Report()> body);
  Report listVersions(std::string localPath, std::string relative);
  Report restore(std::string localPath, std::string relative, int64_t version);
  Report failure(std::string localPath, std::string error, bool restore);

  std::string executorPath_;
  User user_;
  ProxyController proxy_;
  UMVersionControllerDelegateProtocol* delegate_ = nullptr;
  VersionRestoreHost* host_ = nullptr;
  std::atomic<bool> running_{false};
  std::thread worker_;

  Mutex mutex_;
  std::shared_ptr<ServiceEngineRun> engine_ ULMORA_GUARDED_BY(mutex_);
  bool stopped_ ULMORA_GUARDED_BY(mutex_) = false;

  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
