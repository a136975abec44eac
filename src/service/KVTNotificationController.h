#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "service/HttpsSettings.h"
#include "service/HttpsTransfer.h"
#include "service/KVTNotificationHandlerProtocol.h"
#include "service/RequestWorker.h"

namespace ulmora {

// The push client: one request at a time against the push service URL (a
// form POST to ".../pns/broadcast"), run on a thread of its own.
//
// - startListening(user) opens the subscribe long poll for the user's topic;
//   each message in the reply stream is reported as it arrives (see
//   PushChunkSplitter), then the end of the poll.
// - pushNotification / PushDummyNotificationForUser post one message. A post
//   that fails is sent again every pushRetryDelay until the service takes it
//   (or pushAttempts, when above 0, were made); a message the service
//   answers and refuses (4xx) is not sent again. Its end is reported with the
//   action "push", so the owner can release a posting client once it is done.
//
// connectionDidStart is reported only for a subscription the service
// accepted. Every report reaches the delegate on the run loop given at
// construction.
// The client only reports: when to subscribe again is the owner's decision.
//
// Thread-safety: the methods may be called from any thread. The delegate is
// not owned and must outlive the client or be reset first. Destroying the
// client stops its request, waits for its thread, and drops reports not yet
// delivered; it may be destroyed from inside one of its own reports.
class KVTNotificationController {
 public:
  struct Options {
    // Where reports are delivered; RunLoop::main() when null.
    RunLoop* loop = nullptr;
    // Measures the wait between re-sends; Clock::systemClock() when null.
    Clock* clock = nullptr;
    // HttpsSettings::forConsoleUser() when unset.
    std::optional<HttpsSettings> tls;
    // The "UID" of every payload; QLUtility::machineName() when empty.
    std::string machineName;
    Clock::Duration subscribeTimeout = std::chrono::seconds(999999);
    Clock::Duration pushTimeout = std::chrono::seconds(60);
    Clock::Duration pushRetryDelay = std::chrono::seconds(30);
    // 0: until the service takes the message or the client is stopped.
    int pushAttempts = 0;
  };

  static constexpr const char* kActionSubscribe = "subscribe";
  static constexpr const char* kActionPush = "push";

  KVTNotificationController();
  explicit KVTNotificationController(Options options);
  ~KVTNotificationController();
  KVTNotificationController(const KVTNotificationController&) = delete;
  KVTNotificationController& operator=(const KVTNotificationController&) = delete;

  void setDelegate(KVTNotificationHandlerProtocol* delegate);
  void setURLString(const std::string& url);
  std::string URLString() const;

  // Each returns false, with a trace line, when a request of this client is
  // still running or no URL was set; a failure report follows for the
  // latter, so the owner's retry logic sees it.
  bool startListening(const std::string& userName);
  bool pushNotification(const std::string& topic, const std::string& messageID,
                        const std::string& filePath);
  bool PushDummyNotificationForUser(const std::string& userName);

  // Ends the running request; it is reported as finished.
  void stopRequest();
  bool isRunning() const;

 private:
  using Report = std::function<void(KVTNotificationHandlerProtocol&)>;

  bool startPost(const std::string& payloadJson);
  void runSubscribe(RequestWorker& worker, const HttpsRequest& request);
  void runPost(RequestWorker& worker, const HttpsRequest& request);
  std::optional<HttpsRequest> makeRequest(const std::string& payloadJson, const char* action,
                                          Clock::Duration timeout);
  void report(Report report);
  KVTNotificationHandlerProtocol* delegate() const;

  const Options options_;
  const HttpsSettings tls_;
  const std::string machineName_;
  const RunLoop::Handle loop_;

  mutable Mutex mu_;
  KVTNotificationHandlerProtocol* delegate_ ULMORA_GUARDED_BY(mu_) = nullptr;
  std::string url_ ULMORA_GUARDED_BY(mu_);

  RequestWorker worker_;
  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
