#pragma once

#include <memory>
#include <string>

#include "platform/PropertyList.h"
#include "service/KVTNotificationController.h"
#include "service/KVTNotificationHandlerProtocol.h"

namespace ulmora {

class PushClient;

// What a push client reports to its owner, on the main loop; `action` is
// "subscribe" or "push". The client is identified by reference only: the
// owner must not destroy it from inside one of these calls.
class PushClientEvents {
 public:
  virtual ~PushClientEvents() = default;
  virtual void clientDidStart(PushClient& client) = 0;
  virtual void clientDidReceiveData(PushClient& client, const PropertyList& data,
                                    const std::string& action) = 0;
  virtual void clientDidFinish(PushClient& client, const std::string& action) = 0;
  virtual void clientDidFail(PushClient& client, const std::string& error,
                             const std::string& action) = 0;
};

// One push client as the push handler uses it: one request at a time.
// Destroying it stops its request and drops reports not yet delivered.
class PushClient {
 public:
  virtual ~PushClient() = default;
  virtual bool startListening(const std::string& topic) = 0;
  virtual bool pushNotification(const std::string& topic, const std::string& messageID,
                                const std::string& filePath) = 0;
  virtual bool PushDummyNotificationForUser(const std::string& topic) = 0;
  virtual void stopRequest() = 0;
};

// The real client: KVTNotificationController. The push concern is the
// controller's delegate here, and nowhere else: its reports go on to
// `events` (the push handler), which does the handling.
class KVTPushClient final : public PushClient, private KVTNotificationHandlerProtocol {
 public:
  KVTPushClient(PushClientEvents& events, const std::string& url,
                KVTNotificationController::Options options = {});
  ~KVTPushClient() override;

  bool startListening(const std::string& topic) override;
  bool pushNotification(const std::string& topic, const std::string& messageID,
                        const std::string& filePath) override;
  bool PushDummyNotificationForUser(const std::string& topic) override;
  void stopRequest() override;

 private:
  void connectionDidStart(KVTNotificationController& client) override;
  void connectionDidReceiveDataForAction(KVTNotificationController& client, const PropertyList& data,
                                         const std::string& action) override;
  void connectionDidFinishSuccessfullyForAction(KVTNotificationController& client,
                                                const std::string& action) override;
  void connectionDidFailWithErrorsForAction(KVTNotificationController& client,
                                            const std::string& error,
                                            const std::string& action) override;

  PushClientEvents& events_;
  std::unique_ptr<KVTNotificationController> client_;
};

}  // namespace ulmora
