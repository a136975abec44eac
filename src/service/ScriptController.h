#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "service/HttpsSettings.h"
#include "service/RequestWorker.h"
#include "service/ScriptControllerDelegate.h"

namespace ulmora {

// The account web-service client: asks the account-details service for the
// account's server addresses on a thread of its own and reports the parsed
// reply once, on the given run loop.
//
// Thread-safety: the methods may be called from any thread. The delegate is
// not owned. Destroying the client cancels its request, waits for its thread
// and drops reports not yet delivered; it may be destroyed inside a report.
class ScriptController {
 public:
  static constexpr const char* kAccountDetailsPath = "/cgi-bin/get_umsync_kvt_details_xml_ip.cgi?";

  struct Options {
    RunLoop* loop = nullptr;  // RunLoop::main() when null
    std::optional<HttpsSettings> tls;  // HttpsSettings::forConsoleUser() when unset
    // The web-service host ("host[:port]" or an https:// URL).
    std::string serviceHost;
    Clock::Duration timeout = std::chrono::seconds(60);
  };

  ScriptController();
  explicit ScriptController(Options options);
  ~ScriptController();
  ScriptController(const ScriptController&) = delete;
  ScriptController& operator=(const ScriptController&) = delete;

  void setDelegate(ScriptControllerDelegate* delegate);
  void setServiceHost(const std::string& host);

  // POSTs "username=..&password=.." (escaped). False, with a trace line, while
  // a request runs; with no usable host a connectionError follows.
  bool getAccountDetails(const std::string& user, const std::string& pwd);
  bool isRunning() const { return worker_.isRunning(); }
  void cancel() { worker_.stop(); }

 private:
  using Report = std::function<void(ScriptControllerDelegate&)>;

  void run(RequestWorker& worker, const HttpsRequest& request);
  void report(Report report);
  ScriptControllerDelegate* delegate() const;

  const Options options_;
  const HttpsSettings tls_;
  const RunLoop::Handle loop_;

  mutable Mutex mu_;
  ScriptControllerDelegate* delegate_ ULMORA_GUARDED_BY(mu_) = nullptr;
  std::string host_ ULMORA_GUARDED_BY(mu_);

  RequestWorker worker_;
  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
