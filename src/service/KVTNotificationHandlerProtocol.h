#pragma once

#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

class KVTNotificationController;

// What the push client reports, on the run loop it was given (the main loop).
// `action` is "subscribe" or "push". A delegate may destroy the reporting
// client from inside any of these calls.
class KVTNotificationHandlerProtocol {
 public:
  virtual ~KVTNotificationHandlerProtocol() = default;

  // The service has answered the subscription (its reply headers arrived).
  virtual void connectionDidStart(KVTNotificationController& client) = 0;
  // One message: a dictionary for a JSON object, else the string "Ack::".
  virtual void connectionDidReceiveDataForAction(KVTNotificationController& client,
                                                 const PropertyList& data,
                                                 const std::string& action) = 0;
  // The poll ended or was stopped; a post was accepted or stopped.
  virtual void connectionDidFinishSuccessfullyForAction(KVTNotificationController& client,
                                                        const std::string& action) = 0;
  // The exchange failed; for a post, after its last re-send.
  virtual void connectionDidFailWithErrorsForAction(KVTNotificationController& client,
                                                    const std::string& error,
                                                    const std::string& action) = 0;
};

}  // namespace ulmora
