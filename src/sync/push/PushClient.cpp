#include "sync/push/PushClient.h"

#include <utility>

namespace ulmora {

KVTPushClient::KVTPushClient(PushClientEvents& events, const std::string& url,
                             KVTNotificationController::Options options)
    : events_(events), client_(std::make_unique<KVTNotificationController>(std::move(options))) {
  client_->setDelegate(this);
  client_->setURLString(url);
}

KVTPushClient::~KVTPushClient() {
  // No report reaches the owner once its client is being torn down.
  client_->setDelegate(nullptr);
  client_.reset();
}

bool KVTPushClient::startListening(const std::string& topic) { return client_->startListening(topic); }

bool KVTPushClient::pushNotification(const std::string& topic, const std::string& messageID,
                                     const std::string& filePath) {
  return client_->pushNotification(topic, messageID, filePath);
}

bool KVTPushClient::PushDummyNotificationForUser(const std::string& topic) {
  return client_->PushDummyNotificationForUser(topic);
}

void KVTPushClient::stopRequest() { client_->stopRequest(); }

void KVTPushClient::connectionDidStart(KVTNotificationController&) { events_.clientDidStart(*this); }

void KVTPushClient::connectionDidReceiveDataForAction(KVTNotificationController&, const PropertyList& data,
                                                      const std::string& action) {
  events_.clientDidReceiveData(*this, data, action);
}

void KVTPushClient::connectionDidFinishSuccessfullyForAction(KVTNotificationController&,
                                                             const std::string& action) {
  events_.clientDidFinish(*this, action);
}

void KVTPushClient::connectionDidFailWithErrorsForAction(KVTNotificationController&,
                                                         const std::string& error,
                                                         const std::string& action) {
  events_.clientDidFail(*this, error, action);
}

}  // namespace ulmora
