#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/RunLoop.h"

namespace ulmora {

// Whether the network the agent needs can be reached. The desktop platform
// watched a general "internet" address; here the agent watches the service
// host it is configured for: reachable when a route to one of the host's
// addresses exists (a loopback host counts).
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

// Checks the host named by `host()` (a name or address, with an optional
// ":port"; or the absolute path of a local storage folder, reachable while it
// exists) every `interval` on a thread of its own; a name lookup may take a
// while and must not hold the main loop.
class ServiceHostReachability final : public NetworkReachability {
 public:
  static constexpr Clock::Duration kDefaultInterval = std::chrono::seconds(15);

  ServiceHostReachability(Clock& clock, std::function<std::string()> host,
                          Clock::Duration interval = kDefaultInterval);
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

 private:
  void watch(RunLoop::Handle loop, ChangeHandler handler);

  Clock& clock_;
  const std::function<std::string()> host_;
  const Clock::Duration interval_;
  std::mutex mu_;  // guards the members below
  std::condition_variable cv_;
  std::optional<bool> reachable_;
  bool stopping_ = false;
  bool recheck_ = false;
  std::thread thread_;
};

}  // namespace ulmora
