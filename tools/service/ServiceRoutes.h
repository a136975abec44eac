#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "AccountDirectory.h"
#include "PushBroker.h"
#include "ServiceFaults.h"

namespace ulmora::service {

struct RouteSettings {
  // A subscribe poll that saw no end before this is answered in full; the
  // agent subscribes again at once.
  std::chrono::seconds pollLimit{300};
  // Silence after which an idle poll writes a blank line, so a client that
  // went away is noticed and its poll released.
  std::chrono::seconds keepAlive{15};
  // A long poll holds a server thread for as long as it is open: beyond
  // this many at once, a subscribe is refused at once (503) with a text
  // saying so, and the other threads stay free for every other request.
  std::size_t maxOpenPolls = 64;
  // Where accepted video-conversion requests are recorded, one JSON line each.
  std::string videoLog;
};

// The endpoints of the stand-in (docs/service.md). Every endpoint takes a
// form POST of at most 1 MiB.
//
// Thread-safety: handlers run on the server's pool threads; shared state is
// the broker (locked), the faults (read per request) and the video log
// (locked).
class ServiceRoutes {
 public:
  ServiceRoutes(RouteSettings settings, PushBroker& broker, const ServiceFaults& faults,
                const AccountDirectory& accounts);

  void install(httplib::Server& server);
  // Ends slow waits early: the service is going down.
  void shutDown() { stopping_.store(true); }

 private:
  using Handler = void (ServiceRoutes::*)(const std::string& body, httplib::Response& res);

  void route(httplib::Server& server, const std::string& path, Handler handler);
  void broadcast(const std::string& body, httplib::Response& res);
  void serverAddress(const std::string& body, httplib::Response& res);
  void accountDetails(const std::string& body, httplib::Response& res);
  void videoConversion(const std::string& body, httplib::Response& res);

  void subscribe(const std::string& topic, httplib::Response& res);
  void detailsReply(const std::string& user, const std::string& password,
                    httplib::Response& res);
  bool record(const std::string& line);
  void pause(int seconds);

  const RouteSettings settings_;
  PushBroker& broker_;
  const ServiceFaults& faults_;
  const AccountDirectory& accounts_;
  std::atomic<std::size_t> openPolls_{0};
  std::atomic<bool> stopping_{false};
  std::mutex logMu_;
};

}  // namespace ulmora::service
