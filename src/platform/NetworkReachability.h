#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"

namespace ulmora {

// Whether the network the agent needs can be reached. The desktop platform
// watched a general "internet" address; here the agent watches the service
// hosts it is configured for: reachable when a route to an address of any of
// them exists (a loopback host counts).
//
// Thread-safety: every method may be called from any thread. The change
// handler runs on the run loop given to start().
class NetworkReachability {
 public:
  using ChangeHandler = std::function<void(bool reachable)>;

  virtual ~NetworkReachability() = default;

  // The last known state; nullopt when it could not be determined.
  virtual std::optional<bool> isReachable() = 0;
  // Starts watching; `handler` gets every change of the state, on `loop`.
  virtual void start(RunLoop& loop, ChangeHandler handler) = 0;
  virtual void stop() = 0;
  // Checks again soon (the configuration may have changed).
  virtual void recheck() {}
};

// Checks the hosts named by `hosts()` (each a name or address, with an
// optional ":port" and "https://" before it; or the absolute path of a local
// storage folder, reachable while it exists) every `interval` on a thread of
// its own; a name lookup may take a while and must not hold the main loop.
// Any one reachable host is enough: a storage server whose name no longer
// resolves must not read as "no network" while the web service that would
// name its successor can be reached.
class ServiceHostReachability final : public NetworkReachability {
 public:
  static constexpr Clock::Duration kDefaultInterval = std::chrono::seconds(15);

  using Hosts = std::function<std::vector<std::string>()>;

  ServiceHostReachability(Clock& clock, Hosts hosts, Clock::Duration interval = kDefaultInterval);
  ~ServiceHostReachability() override;
  ServiceHostReachability(const ServiceHostReachability&) = delete;
  ServiceHostReachability& operator=(const ServiceHostReachability&) = delete;

  std::optional<bool> isReachable() override;
  void start(RunLoop& loop, ChangeHandler handler) override;
  void stop() override;
  void recheck() override;

  // One check, on the calling thread: a route exists to some address of
  // `host`. An empty host is not reachable.
  static bool canReach(const std::string& host);
  static bool canReachAny(const std::vector<std::string>& hosts);

 private:
  void watch(RunLoop::Handle loop, ChangeHandler handler);

  Clock& clock_;
  const Hosts hosts_;
  const Clock::Duration interval_;
  Mutex mu_;
  std::condition_variable cv_;
  std::optional<bool> reachable_ ULMORA_GUARDED_BY(mu_);
  bool stopping_ ULMORA_GUARDED_BY(mu_) = false;
  bool recheck_ ULMORA_GUARDED_BY(mu_) = false;
  std::thread thread_ ULMORA_GUARDED_BY(mu_);
};

}  // namespace ulmora
