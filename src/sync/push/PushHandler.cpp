#include "sync/push/PushHandler.h"

#include <algorithm>
#include <utility>

#include "foundation/QLBackupProgressLogger.h"
#include "sync/status/SyncTraceTexts.h"

namespace ulmora {
namespace {

constexpr const char* kSubscribe = KVTNotificationController::kActionSubscribe;
constexpr const char* kPush = KVTNotificationController::kActionPush;

// A short, bounded description of a message for the trace.
std::string describe(const PropertyList& message) {
  std::string text = "{";
  if (const PropertyList::Dict* dict = message.asDict()) {
    for (const auto& [key, value] : *dict) {
      if (text.size() > 1) text += ", ";
      text += key + " = " + value.textValue().value_or("...");
      if (text.size() > 512) {
        text.resize(512);
        text += "...";
        break;
      }
    }
  }
  return text + "}";
}

}  // namespace

PushHandler::PushHandler(PushHost& host, RunLoop& loop, ClientFactory factory)
    : host_(host), loop_(loop), factory_(std::move(factory)) {
  if (!factory_) {
    factory_ = [&loop](PushClientEvents& events, const std::string& url) -> std::unique_ptr<PushClient> {
      KVTNotificationController::Options options;
      options.loop = &loop;
      options.clock = &loop.clock();
      return std::make_unique<KVTPushClient>(events, url, std::move(options));
    };
  }
}

PushHandler::~PushHandler() {
  guard_.invalidate();
  if (retryTimer_) retryTimer_->invalidate();
  subscriber_.reset();
  posters_.clear();
  retired_.clear();
}

std::string PushHandler::normalisedTopic(const std::string& user) {
  std::string topic = user;
  for (char& c : topic) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return topic;
}

std::unique_ptr<PushClient> PushHandler::makeClient() { return factory_(*this, url_); }

void PushHandler::retire(std::unique_ptr<PushClient> client) {
  if (!client) return;
  retired_.push_back(std::move(client));
  loop_.post(guard_.wrap([this] { retired_.clear(); }));
}

void PushHandler::release(PushClient& client) {
  if (subscriber_.get() == &client) {
    retire(std::move(subscriber_));
    return;
  }
  auto it = std::find_if(posters_.begin(), posters_.end(), [&](const auto& p) { return p.get() == &client; });
  if (it == posters_.end()) return;
  std::unique_ptr<PushClient> owned = std::move(*it);
  posters_.erase(it);
  retire(std::move(owned));
}

void PushHandler::setEnableListeningNotifications(bool enable) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  // Stored first, so the end report of the cancelled poll starts no new one.
  enabled_ = enable;
  if (enable) {
    startListeningNotifications();
  } else {
    stopListeningNotifications();
  }
}

void PushHandler::startListeningNotifications() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (!enabled_) return;
  const Clock::TimePoint now = loop_.clock().monotonicNow();
  if (lastSubscribeStart_ && now - *lastSubscribeStart_ < kMinSubscribeSpacing) {
    if (!subscribeDeferred_) {
      subscribeDeferred_ = true;
      daemonTrace("push subscription renewed too soon; deferred");
      loop_.postDelayed(guard_.wrap([this] {
                          subscribeDeferred_ = false;
                          startListeningNotifications();
                        }),
                        *lastSubscribeStart_ + kMinSubscribeSpacing - now);
    }
    return;
  }
  subscribeNow();
}

void PushHandler::subscribeNow() {
  if (subscriber_) {
    subscriber_->stopRequest();
    retire(std::move(subscriber_));
  }
  subscriber_ = makeClient();
  lastSubscribeStart_ = loop_.clock().monotonicNow();
  if (subscriber_) subscriber_->startListening(normalisedTopic(userName_));
}

void PushHandler::stopListeningNotifications() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (subscriber_) subscriber_->stopRequest();
}

PushClient* PushHandler::makePoster() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (posters_.size() >= kMaxPostsInFlight) {
    // The posts still waiting are sent until the service takes them, and the
    // listing each one starts elsewhere sees this change as well.
    daemonTrace("push service slow: " + std::to_string(posters_.size()) + " posts in flight, this one dropped");
    return nullptr;
  }
  std::unique_ptr<PushClient> client = makeClient();
  if (!client) return nullptr;
  posters_.push_back(std::move(client));
  return posters_.back().get();
}

void PushHandler::startPushing(const std::string& topic, const std::string& messageID,
                               const std::string& filePath) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  PushClient* client = makePoster();
  if (client != nullptr && !client->pushNotification(normalisedTopic(topic), messageID, filePath)) {
    release(*client);
  }
}

void PushHandler::SendPushNotificationOnMainThread(const std::vector<std::string>& idAndPath) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (idAndPath.size() < 2) return;
  startPushing(userName_, idAndPath[0], idAndPath[1]);
}

void PushHandler::PushDummyNotification() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  daemonTrace("PushDummyNotification called.");
  PushClient* client = makePoster();
  if (client != nullptr && !client->PushDummyNotificationForUser(normalisedTopic(userName_))) release(*client);
  if (host_.isSyncTimerValid()) {
    daemonTrace(synctexts::kSyncTimerValid);
  } else {
    daemonTrace(synctexts::syncTimerNotValid(host_.syncTimerDescription()));
  }
}

void PushHandler::periodicListening() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  daemonTrace("periodicListening 10 mins pns timer called");
  loop_.postDelayed(guard_.wrap([this] { startListeningNotifications(); }), kPeriodicResubscribeDelay);
  host_.setIsTenMinutesListing(true);
  if (!host_.isListingRunning()) host_.addNotificationFilesInfo();
}

void PushHandler::retryListening() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  ++retryCount_;
  if (enabled_) startListeningNotifications();
}

bool PushHandler::isRetryTimerValid() const { return retryTimer_ && retryTimer_->isValid(); }

void PushHandler::clientDidStart(PushClient& client) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  // The service answered the poll: from now on every change of the account
  // reaches this computer as a message.
  if (subscriber_.get() != &client) return;
  daemonTrace("push subscription open");
  if (channelLost_) {
    // Messages posted while no poll was open reached no one here; the
    // service keeps none for later, so a listing stands in for them.
    channelLost_ = false;
    daemonTrace("push subscription open again after a failure; listing for what it may have missed");
    host_.addNotificationFilesInfo();
  }
}

void PushHandler::clientDidReceiveData(PushClient&, const PropertyList& data, const std::string& action) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (action != kSubscribe) return;
  if (retryTimer_) {
    retryTimer_->invalidate();
    retryTimer_.reset();
  }
  retryCount_ = 0;
  const PropertyList::Dict* dict = data.asDict();
  if (dict != nullptr && !dict->empty()) {
    parseNotificationMessageData(data);
  } else {
    host_.addNotificationFilesInfo();
  }
}

void PushHandler::clientDidFinish(PushClient& client, const std::string& action) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (subscriber_.get() == &client && action == kSubscribe && enabled_) {
    startListeningNotifications();
    return;
  }
  // A replaced or stopped subscription, or a finished post.
  release(client);
}

void PushHandler::clientDidFail(PushClient& client, const std::string& error, const std::string& action) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (action == kPush || subscriber_.get() != &client) {
    release(client);
    return;
  }
  daemonTrace("push subscription failed: " + error);
  channelLost_ = true;
  if (retryCount_ == 0 && !retryTimer_) {
    retryTimer_ = loop_.scheduleTimer(kRetryInterval, true,
                                      guard_.wrap([this](RunLoopTimer&) { retryListening(); }));
    retryListening();
  }
}

void PushHandler::parseNotificationMessageData(const PropertyList& message) {
  ULMORA_DCHECK_ON_LOOP(loop_);
  daemonTrace("parseNotificationMessageData:" + describe(message));
  PushContext context;
  context.gate = host_.shouldSync();
  context.reinitializing = host_.isReinitialize();
  const PushMessage parsed = PushMessage::fromPropertyList(message);
  if (parsed.id == pushids::kUnlinked) context.machineID = host_.machineID();
  const PushReaction r = decidePushMessage(parsed, context);
  for (const std::string& line : r.traces) daemonTrace(line);
  if (r.ignored) return;

  if (r.dummy) {
    if (host_.isPeriodicTimerValid()) {
      daemonTrace("Dummy PNS message Received So Resetting 15 mins PNS periodic timer");
      host_.resetPeriodicTimer();
    }
    return;
  }
  if (r.unlinkThisComputer) {
    host_.setMonitorToolTip("T1019");
    host_.showDesktopPushNotification("N1022");
    host_.sendToMonitor("This computer is no longer linked to Sync", 501);
    host_.sendToMonitor("Device is in Unlinked State", 507);
  }
  switch (r.accountEvent) {
    case PushAccountEvent::kQuotaUpgraded:
      host_.calculateQuota(false);
      if (!host_.isBackupRunning()) {
        daemonTrace("Backup not running currently so calling query main db for backup files");
        host_.queryMainDB(true);
      } else {
        daemonTrace("Backup is running currently so not calling query main db for backup files");
      }
      break;
    case PushAccountEvent::kPasswordChanged:
      host_.passwordChangedFromWeb();
      break;
    case PushAccountEvent::kAccountCancelled:
      accountCancelledFromWeb();
      break;
    case PushAccountEvent::kNone:
      break;
  }
  if (r.queueListing) {
    if (host_.isPeriodicTimerValid()) {
      daemonTrace("Valid Pns Got so am resetting 15 mins periodic listing to next 15 mins.");
      host_.resetPeriodicTimer();
    }
    if (host_.isDummyTimerValid()) {
      daemonTrace("Valid Pns Got so am resetting 10 mins pns Dummy timer to next 10 mins.");
      host_.resetDummyTimer();
    }
    host_.addNotificationFilesInfo();
    if (!r.statusText.empty()) host_.setMonitorToolTip(r.statusText);
  }
  if (r.duringPause) host_.setDuringPauseGotPns(true);
}

void PushHandler::accountCancelledFromWeb() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  host_.setMonitorToolTip("T1018");
  host_.showDesktopPushNotification("N1023");
  host_.sendToMonitor("The account has been cancelled", 507);
  host_.removeLoginDetailsFile();
  daemonTrace("The account has been cancelld from accountCancelledFromWeb so sending unlink message to monitor1");
}

void PushHandler::delayedListingForNotification() {
  ULMORA_DCHECK_ON_LOOP(loop_);
  if (host_.isListingRunning()) host_.cancelListing();
  host_.startSyncListingAllFiles(1);
  daemonTrace("listing called from delayedListingForNotification");
}

}  // namespace ulmora
