#include "sync/control/AccountReachability.h"

#include <string>
#include <utility>
#include <vector>

#include "platform/ThreadCheck.h"

namespace ulmora {

AccountReachability::AccountReachability(Parts p) : mainLoop_(p.mainLoop), state_(p.state), host_(p.host) {
  if (p.make) {
    watcher_ = p.make();
  } else {
    // The web service counts because it names a new storage server when the
    // stored one is gone.
    watcher_ = std::make_unique<ServiceHostReachability>(p.clock, [settings = &p.settings] {
      const auto values = settings->values();
      return std::vector<std::string>{values.gServerName, values.gQuotaServerName.value_or("")};
    });
  }
  if (!watcher_) return;
  const bool reachable = watcher_->isReachable().value_or(false);
  {
    MutexLock hold(state_.cycle.shared.mutex);
    state_.cycle.shared.doesNWAvailable = reachable;
  }
  watcher_->start(mainLoop_, guard_.wrap([this](bool reachable) { MyNetworkReachabilityCallBack(reachable); }));
}

AccountReachability::~AccountReachability() { stop(); }

bool AccountReachability::isNWAvailable() const {
  MutexLock hold(state_.cycle.shared.mutex);
  return state_.cycle.shared.doesNWAvailable;
}

void AccountReachability::recheck() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (watcher_) watcher_->recheck();
}

void AccountReachability::stop() {
  guard_.invalidate();
  if (watcher_) watcher_->stop();
}

void AccountReachability::MyNetworkReachabilityCallBack(bool reachable) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  setNWAvailablityStat(reachable);
  host_.networkChanged(reachable);
}

void AccountReachability::setNWAvailablityStat(bool available) {
  if (!available) {
    MutexLock hold(state_.control.shared.mutex);
    state_.control.shared.refreshSS = true;
  }
  MutexLock hold(state_.cycle.shared.mutex);
  state_.cycle.shared.doesNWAvailable = available;
}

}  // namespace ulmora
