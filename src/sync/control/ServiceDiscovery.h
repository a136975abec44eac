#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/ThreadAnnotations.h"

#include "platform/Clock.h"

namespace ulmora {

// Looks up the account's storage server when the engine cannot reach it:
// at most once an hour, never on the engine's output reader (the request
// may take two minutes), and an empty or failed answer keeps the server.
//
// Thread-safety: every method may be called from any thread. The lookup
// runs on a thread of this object, joined by the destructor.
class ServiceDiscovery {
 public:
  static constexpr Clock::Duration kMinimumInterval = std::chrono::minutes(60);
  static constexpr const char* kPath = "/kvt/getServerAddress";

  struct Ports {
    // POSTs the form body to the discovery endpoint; the reply body, or
    // nullopt when no reply came.
    std::function<std::optional<std::string>(const std::string& formBody)> post;
    // The sync user name and password to ask with.
    std::function<std::pair<std::string, std::string>()> credentials;
    // The server the reply names.
    std::function<void(const std::string& server)> apply;
  };

  ServiceDiscovery(Clock& clock, Ports ports);
  ~ServiceDiscovery();
  ServiceDiscovery(const ServiceDiscovery&) = delete;
  ServiceDiscovery& operator=(const ServiceDiscovery&) = delete;

  // The engine could not connect: start a lookup unless one ran within the
  // hour or one is still under way. True when a lookup was started.
  bool makeScriptCallForObject();

  // Waits for a lookup under way; later calls start none.
  void stop();

  // Claims the hourly slot (records the time) when it is free.
  bool claimSlot();
  // One lookup on the calling thread; the server applied, if any.
  std::optional<std::string> lookUp();

  // The server named by a reply: "cmdUtilityServerIP" when it has 2 or more
  // characters, else "cmdUtilityServer"; nullopt unless the reply says
  // SUCCESS and names a non-empty server.
  static std::optional<std::string> serverFromReply(const std::string& reply);

 private:
  Clock& clock_;
  Ports ports_;
  Mutex mutex_;
  std::optional<Clock::TimePoint> lastCall_ ULMORA_GUARDED_BY(mutex_);  // m_getSverAddCalledTime
  bool busy_ ULMORA_GUARDED_BY(mutex_) = false;
  bool stopped_ ULMORA_GUARDED_BY(mutex_) = false;
  std::thread worker_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
