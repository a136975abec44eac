#pragma once

#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "PushBroker.h"
#include "ServiceFaults.h"

namespace ulmora::service {

struct ListenerConfig {
  std::string host;  // a numeric loopback address
  int port = 0;      // 0: any free port
  std::string certFile;
  std::string keyFile;
};

// Keeps the HTTPS server on its port, and takes it off while the control
// file says "refuse": the server is stopped (its polls ended) and the port
// stays bound without listening, so connections are refused and no other
// program can take the port meanwhile.
//
// Thread-safety: bind(), run() and stop() from one thread.
class ListenerSupervisor {
 public:
  using Installer = std::function<void(httplib::Server&)>;

  ListenerSupervisor(ListenerConfig config, Installer installer, PushBroker& broker,
                     const ServiceFaults& faults);
  ~ListenerSupervisor();
  ListenerSupervisor(const ListenerSupervisor&) = delete;
  ListenerSupervisor& operator=(const ListenerSupervisor&) = delete;

  // Binds the port and listens; the port, or nullopt with `error` set.
  std::optional<int> bind(std::string& error);
  // Starts accepting connections and watching the control file.
  void run();
  void stop();

 private:
  bool makeServer(std::string& error);
  void startServing();
  void stopServing();
  bool reservePort();
  void releasePort();
  void watch(bool serving);

  const ListenerConfig config_;
  const Installer installer_;
  PushBroker& broker_;
  const ServiceFaults& faults_;
  int port_ = 0;

  // The watcher thread's own, once run() has started it.
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread serving_;
  int reservedFd_ = -1;

  std::thread watcher_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace ulmora::service
