#pragma once

#include <string>

#include "ipc/NotificationBus.h"
#include "journal/NotificationPoster.h"

namespace ulmora {

// Lets the journal layer post on the user's notification bus without
// knowing about it.
//
// Thread-safety: post may be called from any thread; the bus outlives this.
class BusNotificationPoster final : public NotificationPoster {
 public:
  explicit BusNotificationPoster(NotificationBus& bus) : bus_(bus) {}
  void post(const std::string& name, const PropertyList& userInfo) override {
    bus_.post(name, userInfo);
  }
  bool wantsPosts() const override { return bus_.hasSubscribers(); }

 private:
  NotificationBus& bus_;
};

}  // namespace ulmora
