#pragma once

#include <functional>
#include <memory>

#include "platform/Clock.h"
#include "platform/NetworkReachability.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "sync/control/AccountSettings.h"
#include "sync/control/AccountState.h"

namespace ulmora {

// What a change of the network's state changes elsewhere (main loop).
class AccountReachabilityHost {
 public:
  virtual ~AccountReachabilityHost() = default;
  // The status shows the service host lost, or no longer shows it.
  virtual void networkChanged(bool reachable) = 0;
};

// Whether the account's service can be reached: the storage server and the
// web service of the settings (looked up at each check, so a later reading
// counts), watched on a thread of the watcher's own. The state is known from
// construction on; changes reach the account on the main loop. A loss also
// marks the selective-sync list to be applied again.
//
// Thread-safety: isNWAvailable() from any thread; recheck() and the change
// reports on the main loop (checked); stop() from the thread that stops the
// account.
class AccountReachability {
 public:
  using Make = std::function<std::unique_ptr<NetworkReachability>()>;

  struct Parts {
    Clock& clock;
    RunLoop& mainLoop;
    AccountState& state;
    AccountSettings& settings;
    // Empty: the service hosts of the settings are checked.
    Make make;
    AccountReachabilityHost& host;
  };

  // Asks the watcher's first answer (unknown counts as unreachable) and
  // starts watching.
  explicit AccountReachability(Parts parts);
  // stop().
  ~AccountReachability();
  AccountReachability(const AccountReachability&) = delete;
  AccountReachability& operator=(const AccountReachability&) = delete;

  bool isNWAvailable() const;
  // The service host may have changed (new settings): checks again soon.
  void recheck();
  // No change is reported from here on; the watcher's thread ends.
  // Idempotent.
  void stop();

 private:
  void MyNetworkReachabilityCallBack(bool reachable);
  void setNWAvailablityStat(bool available);

  RunLoop& mainLoop_;
  AccountState& state_;
  AccountReachabilityHost& host_;
  std::unique_ptr<NetworkReachability> watcher_;
  // Last: a report posted before stop() does nothing after it.
  WeakGuard guard_;
};

}  // namespace ulmora
