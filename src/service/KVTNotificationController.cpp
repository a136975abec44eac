#include "service/KVTNotificationController.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "foundation/QLUtility.h"
#include "platform/Trace.h"
#include "service/FormBody.h"
#include "service/PushChunkSplitter.h"

namespace ulmora {
namespace {

// Topics are matched without regard to case by the service; sending them in
// lower case keeps every agent of an account on the same topic.
std::string lowerCased(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// File names are bytes; JSON needs UTF-8, so bytes that are not are replaced
// rather than failing the whole message.
std::string payloadText(std::string id, std::string uid, std::string path, std::string topic) {
  nlohmann::ordered_json payload;
  payload["Id"] = std::move(id);
  payload["UID"] = std::move(uid);
  payload["Path"] = std::move(path);
  payload["TOPIC"] = std::move(topic);
  return payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Clock& clockOf(const KVTNotificationController::Options& options) {
  return options.clock != nullptr ? *options.clock : Clock::systemClock();
}

}  // namespace

KVTNotificationController::KVTNotificationController()
    : KVTNotificationController(Options{}) {}

KVTNotificationController::KVTNotificationController(Options options)
    : options_(std::move(options)),
      tls_(options_.tls ? *options_.tls : HttpsSettings::forConsoleUser()),
      machineName_(options_.machineName.empty() ? QLUtility::machineName()
                                                : options_.machineName),
      loop_((options_.loop != nullptr ? *options_.loop : RunLoop::main()).handle()),
      worker_(clockOf(options_)) {}

KVTNotificationController::~KVTNotificationController() {
  guard_.invalidate();
  worker_.stopAndJoin();
}

void KVTNotificationController::setDelegate(KVTNotificationHandlerProtocol* delegate) {
  MutexLock lock(mu_);
  delegate_ = delegate;
}

KVTNotificationHandlerProtocol* KVTNotificationController::delegate() const {
  MutexLock lock(mu_);
  return delegate_;
}

void KVTNotificationController::setURLString(const std::string& url) {
  MutexLock lock(mu_);
  url_ = url;
}

std::string KVTNotificationController::URLString() const {
  MutexLock lock(mu_);
  return url_;
}

bool KVTNotificationController::isRunning() const { return worker_.isRunning(); }

void KVTNotificationController::stopRequest() { worker_.stop(); }

void KVTNotificationController::report(Report report) {
  loop_.post(guard_.wrap([this, report = std::move(report)] {
    // The delegate may destroy this client inside the call; nothing of the
    // client is touched afterwards.
    if (KVTNotificationHandlerProtocol* d = delegate()) report(*d);
  }));
}

std::optional<HttpsRequest> KVTNotificationController::makeRequest(const std::string& payloadJson,
                                                                   const char* action,
                                                                   Clock::Duration timeout) {
  HttpsRequest request;
  request.url = URLString();
  if (request.url.empty()) {
    traceLine(std::string("KVTNotificationController: no push service URL for ") + action);
    const std::string what = action;
    report([this, what](KVTNotificationHandlerProtocol& d) {
      d.connectionDidFailWithErrorsForAction(*this, "no push service URL", what);
    });
    return std::nullopt;
  }
  request.body = FormBody().add("payLoad", payloadJson).add("action", action).text();
  request.timeout = timeout;
  request.tls = tls_;
  return request;
}

bool KVTNotificationController::startListening(const std::string& userName) {
  const std::string payload =
      payloadText("not applicable", machineName_, "not applicable", userName);
  auto request = makeRequest(payload, kActionSubscribe, options_.subscribeTimeout);
  if (!request) return false;
  const bool started = worker_.start(
      [this, request = std::move(*request)](RequestWorker& w) { runSubscribe(w, request); });
  if (!started) traceLine("KVTNotificationController: a request is running; subscribe ignored");
  return started;
}

bool KVTNotificationController::pushNotification(const std::string& topic,
                                                 const std::string& messageID,
                                                 const std::string& filePath) {
  return startPost(payloadText(messageID, machineName_, filePath, lowerCased(topic)));
}

bool KVTNotificationController::PushDummyNotificationForUser(const std::string& userName) {
  return startPost(payloadText("1", machineName_ + "_Dummy", "Dummy_PNS", lowerCased(userName)));
}

bool KVTNotificationController::startPost(const std::string& payloadJson) {
  auto request = makeRequest(payloadJson, kActionPush, options_.pushTimeout);
  if (!request) return false;
  const bool started = worker_.start(
      [this, request = std::move(*request)](RequestWorker& w) { runPost(w, request); });
  if (!started) traceLine("KVTNotificationController: a request is running; push ignored");
  return started;
}

void KVTNotificationController::runSubscribe(RequestWorker& worker, const HttpsRequest& request) {
  const std::string action = kActionSubscribe;
  PushChunkSplitter splitter;
  bool accepted = false;
  auto deliver = [&](std::vector<PropertyList> items) {
    for (PropertyList& item : items) {
      report([this, item = std::move(item), action](KVTNotificationHandlerProtocol& d) {
        d.connectionDidReceiveDataForAction(*this, item, action);
      });
    }
  };
  HttpsTransfer transfer(request);
  transfer.setResponseStartHandler([&](long status) {
    accepted = status >= 200 && status < 300;
    // A refusal (maintenance, too many polls) is no open subscription: the
    // owner hears of it as a failure only.
    if (accepted) report([this](KVTNotificationHandlerProtocol& d) { d.connectionDidStart(*this); });
  });
  // A refusal's body is the service's explanation, not messages.
  transfer.setBodyHandler([&](std::string_view chunk) {
    if (accepted) deliver(splitter.feed(chunk));
  });
  const HttpsResponse response = worker.perform(transfer);
  if (accepted) deliver(splitter.finish());

  if (response.ok() || response.outcome == HttpsResponse::Outcome::kCancelled) {
    report([this, action](KVTNotificationHandlerProtocol& d) {
      d.connectionDidFinishSuccessfullyForAction(*this, action);
    });
    return;
  }
  const std::string error = response.failureText();
  traceLine("KVTNotificationController: subscribe failed: " + error);
  report([this, error, action](KVTNotificationHandlerProtocol& d) {
    d.connectionDidFailWithErrorsForAction(*this, error, action);
  });
}

void KVTNotificationController::runPost(RequestWorker& worker, const HttpsRequest& request) {
  const std::string action = kActionPush;
  std::string error;
  for (int attempt = 1;; ++attempt) {
    HttpsTransfer transfer(request);
    const HttpsResponse response = worker.perform(transfer);
    if (response.ok() || response.outcome == HttpsResponse::Outcome::kCancelled) {
      report([this, action](KVTNotificationHandlerProtocol& d) {
        d.connectionDidFinishSuccessfullyForAction(*this, action);
      });
      return;
    }
    error = response.failureText();
    // The other computers hear of a change only through this message, so it
    // is sent again for as long as the service cannot be reached or is
    // unavailable. A message the service answered and refused (4xx) would be
    // refused again.
    const bool refusedAsSuch = response.outcome == HttpsResponse::Outcome::kCompleted &&
                               response.status >= 400 && response.status < 500;
    const bool lastAttempt = options_.pushAttempts > 0 && attempt >= options_.pushAttempts;
    const bool ends = refusedAsSuch || lastAttempt;
    // A long outage is traced at its start and now and then, not every 30 s.
    if (ends || attempt <= 3 || attempt % 20 == 0) {
      traceLine("KVTNotificationController: push attempt " + std::to_string(attempt) + " failed: " + error +
                (ends ? "; not sent again" : "; sent again later"));
    }
    if (ends) break;
    if (!worker.sleepFor(options_.pushRetryDelay)) {
      report([this, action](KVTNotificationHandlerProtocol& d) {
        d.connectionDidFinishSuccessfullyForAction(*this, action);
      });
      return;
    }
  }
  report([this, error, action](KVTNotificationHandlerProtocol& d) {
    d.connectionDidFailWithErrorsForAction(*this, error, action);
  });
}

}  // namespace ulmora
