#include "service/ScriptController.h"

#include <utility>

#include "platform/Trace.h"
#include "service/FormBody.h"
#include "service/QLXMLParserController.h"
#include "service/ServiceEndpoint.h"

namespace ulmora {

ScriptController::ScriptController() : ScriptController(Options{}) {}

ScriptController::ScriptController(Options options)
    : options_(std::move(options)),
      tls_(options_.tls ? *options_.tls : HttpsSettings::forConsoleUser()),
      loop_((options_.loop != nullptr ? *options_.loop : RunLoop::main()).handle()),
      host_(options_.serviceHost),
      worker_(Clock::systemClock()) {}

ScriptController::~ScriptController() {
  guard_.invalidate();
  worker_.stopAndJoin();
}

void ScriptController::setDelegate(ScriptControllerDelegate* delegate) {
  MutexLock lock(mu_);
  delegate_ = delegate;
}

ScriptControllerDelegate* ScriptController::delegate() const {
  MutexLock lock(mu_);
  return delegate_;
}

void ScriptController::setServiceHost(const std::string& host) {
  MutexLock lock(mu_);
  host_ = host;
}

void ScriptController::report(Report report) {
  loop_.post(guard_.wrap([this, report = std::move(report)] {
    if (ScriptControllerDelegate* d = delegate()) report(*d);
  }));
}

bool ScriptController::getAccountDetails(const std::string& user, const std::string& pwd) {
  HttpsRequest request;
  {
    MutexLock lock(mu_);
    request.url = serviceEndpointURL(host_, kAccountDetailsPath);
  }
  if (request.url.empty()) {
    traceLine("ScriptController: no account web-service host");
    report([this](ScriptControllerDelegate& d) { d.connectionError("no service host", *this); });
    return false;
  }
  request.body = FormBody().add("username", user).add("password", pwd).text();
  request.timeout = options_.timeout;
  request.tls = tls_;
  const bool started = worker_.start(
      [this, request = std::move(request)](RequestWorker& w) { run(w, request); });
  if (!started) traceLine("ScriptController: a request is running; this one is dropped");
  return started;
}

void ScriptController::run(RequestWorker& worker, const HttpsRequest& request) {
  HttpsTransfer transfer(request);
  HttpsResponse response = worker.perform(transfer);
  if (response.outcome == HttpsResponse::Outcome::kCancelled) return;
  if (!response.ok()) {
    const std::string error = response.failureText();
    traceLine("ScriptController: account details request failed: " + error);
    report([this, error](ScriptControllerDelegate& d) { d.connectionError(error, *this); });
    return;
  }
  QLXMLParserController parser(std::move(response.body));
  if (!parser.parseXML()) {
    report([this](ScriptControllerDelegate& d) {
      d.parsingFailedWithError("the reply is not XML", *this);
    });
    return;
  }
  PropertyList reply = parser.mergedItems();
  report([this, reply = std::move(reply)](ScriptControllerDelegate& d) {
    d.didScriptControllerFinishedSuccessfully(reply, *this);
  });
}

}  // namespace ulmora
