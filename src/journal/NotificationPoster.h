#pragma once

#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

// Posts a notification to every process of the user (the notification bus).
//
// Thread-safety: post may be called from any thread.
class NotificationPoster {
 public:
  virtual ~NotificationPoster() = default;
  virtual void post(const std::string& name, const PropertyList& userInfo) = 0;
};

}  // namespace ulmora
