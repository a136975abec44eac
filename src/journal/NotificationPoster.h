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
  // False while nobody would receive a post: a caller may then skip building
  // a large user info.
  virtual bool wantsPosts() const { return true; }
};

}  // namespace ulmora
