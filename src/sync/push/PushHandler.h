#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "platform/ThreadCheck.h"
#include "platform/WeakGuard.h"
#include "sync/push/PushClient.h"
#include "sync/push/PushMessageDecision.h"

namespace ulmora {

// What the push handler needs of the rest of the account's sync controller.
// Called on the main loop.
class PushHost {
 public:
  virtual ~PushHost() = default;
  // The sync gate: 1 unlinked, 2 not ready, 3 paused, 4 running.
  virtual int shouldSync() = 0;
  virtual bool isReinitialize() = 0;
  virtual std::optional<std::string> machineID() = 0;
  virtual void setMonitorToolTip(const std::string& status) = 0;
  virtual void showDesktopPushNotification(const std::string& code) = 0;
  virtual void sendToMonitor(const std::string& text, int type) = 0;
  // Queues a server-change marker on the sync input queue.
  virtual void addNotificationFilesInfo() = 0;
  // Quota on the quota thread, not waited for; `byDelete` as the quota
  // worker's argument ("YES"/"NO").
  virtual void calculateQuota(bool byDelete) = 0;
  virtual bool isBackupRunning() = 0;
  virtual void queryMainDB(bool option) = 0;
  virtual void passwordChangedFromWeb() = 0;
  // Removes the last-login-details file (application file 26).
  virtual void removeLoginDetailsFile() = 0;
  virtual bool isListingRunning() = 0;
  virtual void cancelListing() = 0;
  virtual void startSyncListingAllFiles(int mode) = 0;
  virtual bool isSyncTimerValid() = 0;
  // What the 5 s sync timer is now: its interval and when it fires next.
  virtual std::string syncTimerDescription() = 0;
  // The 900 s periodic and the 600 s keep-alive timers belong to the
  // controller's timer set; a message starts them again from now.
  virtual bool isPeriodicTimerValid() = 0;
  virtual void resetPeriodicTimer() = 0;
  virtual bool isDummyTimerValid() = 0;
  virtual void resetDummyTimer() = 0;
  virtual void setIsTenMinutesListing(bool value) = 0;
  virtual void setDuringPauseGotPns(bool value) = 0;
};

// The push channel of one account: keeps the subscribe long poll open for the
// sync user's topic, reacts to each message, posts the account's own change
// messages, and keeps the 150 s retry timer. The periodic (900 s) and
// keep-alive (600 s) timers call periodicListening and PushDummyNotification.
//
// Topics go out lower-cased on every road (subscribe, post, keep-alive), so
// an account whose name differs in case between computers still meets on one
// topic.
//
// A poll that ends at once is renewed at once, as a long poll should be; but
// two subscribes are never started closer than kMinSubscribeSpacing apart, so
// a service that accepts and closes (or fails) at once again and again cannot
// spin the agent.
//
// While no poll is open, messages posted for the topic reach no one here: the
// first poll the service accepts after a failed one queues a listing.
//
// Clients are destroyed on a later turn of the main loop, never from inside
// one of their own reports, and a client being torn down reports nothing.
//
// Thread-safety: everything on the main loop (checked in debug and test
// builds).
class PushHandler final : private PushClientEvents {
 public:
  using ClientFactory = std::function<std::unique_ptr<PushClient>(PushClientEvents&, const std::string& url)>;

  static constexpr Clock::Duration kRetryInterval = std::chrono::seconds(150);
  static constexpr Clock::Duration kPeriodicResubscribeDelay = std::chrono::seconds(1);
  static constexpr Clock::Duration kMinSubscribeSpacing = std::chrono::seconds(2);
  // Posts in flight at most (each holds a client and its thread); a slow
  // service beyond this loses notices, never the agent's threads.
  static constexpr std::size_t kMaxPostsInFlight = 16;

  static constexpr const char* kPushUpload = "1001";
  static constexpr const char* kPushDelete = "1003";
  static constexpr const char* kPushRename = "1005";
  static constexpr const char* kPushCreateFolder = "1008";

  // `loop` is the main loop; `factory` makes each client (default: KVTPushClient).
  PushHandler(PushHost& host, RunLoop& loop, ClientFactory factory = {});
  ~PushHandler() override;
  PushHandler(const PushHandler&) = delete;
  PushHandler& operator=(const PushHandler&) = delete;

  // The sync user name (the topic) and the push service URL.
  void setUserName(const std::string& user) {
    ULMORA_DCHECK_ON_LOOP(loop_);
    userName_ = user;
  }
  void setServerURL(const std::string& url) {
    ULMORA_DCHECK_ON_LOOP(loop_);
    url_ = url;
  }
  static std::string normalisedTopic(const std::string& user);

  bool enableListeningNotifications() const { return enabled_; }
  void setEnableListeningNotifications(bool enable);
  void startListeningNotifications();
  void stopListeningNotifications();

  void startPushing(const std::string& topic, const std::string& messageID, const std::string& filePath);
  // Posts for the sync user when `idAndPath` has at least two elements.
  void SendPushNotificationOnMainThread(const std::vector<std::string>& idAndPath);
  void PushDummyNotification();
  void periodicListening();
  void retryListening();
  void parseNotificationMessageData(const PropertyList& message);
  void accountCancelledFromWeb();
  void delayedListingForNotification();

  bool isRetryTimerValid() const;
  int64_t notificationRetryCount() const { return retryCount_; }

 private:
  // PushClientEvents
  void clientDidStart(PushClient& client) override;
  void clientDidReceiveData(PushClient& client, const PropertyList& data, const std::string& action) override;
  void clientDidFinish(PushClient& client, const std::string& action) override;
  void clientDidFail(PushClient& client, const std::string& error, const std::string& action) override;

  std::unique_ptr<PushClient> makeClient();
  // A client for one post, kept until it reports; nullptr when too many are out.
  PushClient* makePoster();
  void subscribeNow();
  // Takes `client` out of the live lists and destroys it on a later turn.
  void release(PushClient& client);
  void retire(std::unique_ptr<PushClient> client);

  PushHost& host_;
  RunLoop& loop_;
  ClientFactory factory_;
  std::string userName_;
  std::string url_;

  bool enabled_ = false;
  int64_t retryCount_ = 0;
  std::unique_ptr<PushClient> subscriber_;
  std::vector<std::unique_ptr<PushClient>> posters_;
  std::vector<std::unique_ptr<PushClient>> retired_;
  std::optional<Clock::TimePoint> lastSubscribeStart_;
  bool subscribeDeferred_ = false;
  // A subscription failed since the last one the service accepted.
  bool channelLost_ = false;

  std::shared_ptr<RunLoopTimer> retryTimer_;

  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
