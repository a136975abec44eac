#include "sync/control/ServiceDiscovery.h"

#include <algorithm>
#include <cctype>

#include "foundation/QLBackupProgressLogger.h"
#include "foundation/StringExtensions.h"
#include "service/QLXMLParserController.h"

namespace ulmora {

ServiceDiscovery::ServiceDiscovery(Clock& clock, Ports ports) : clock_(clock), ports_(std::move(ports)) {}

ServiceDiscovery::~ServiceDiscovery() { stop(); }

void ServiceDiscovery::stop() {
  std::thread worker;
  {
    MutexLock lock(mutex_);
    stopped_ = true;
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
}

bool ServiceDiscovery::claimSlot() {
  MutexLock lock(mutex_);
  const auto now = clock_.monotonicNow();
  if (lastCall_ && now - *lastCall_ < kMinimumInterval) return false;
  lastCall_ = now;
  return true;
}

bool ServiceDiscovery::makeScriptCallForObject() {
  {
    MutexLock lock(mutex_);
    if (busy_ || stopped_) return false;
  }
  if (!claimSlot()) return false;
  std::thread previous;
  MutexLock lock(mutex_);
  busy_ = true;
  previous = std::move(worker_);
  if (previous.joinable()) previous.join();  // it has finished: busy_ was clear
  worker_ = std::thread([this] {
    try {
      lookUp();
    } catch (const std::exception& e) {
      daemonTrace(std::string("service discovery failed: ") + e.what());
    } catch (...) {
      daemonTrace("service discovery failed");
    }
    MutexLock done(mutex_);
    busy_ = false;
  });
  return true;
}

std::optional<std::string> ServiceDiscovery::lookUp() {
  if (!ports_.post || !ports_.credentials) return std::nullopt;
  auto [user, password] = ports_.credentials();
  std::string body = "uid=" + stringByAddingRFC3875PercentEscapes(user) +
                     "&pwd=" + stringByAddingRFC3875PercentEscapes(password);
  auto reply = ports_.post(body);
  if (!reply) return std::nullopt;
  auto server = serverFromReply(*reply);
  if (server && ports_.apply) ports_.apply(*server);
  return server;
}

std::optional<std::string> ServiceDiscovery::serverFromReply(const std::string& reply) {
  QLXMLParserController parser(reply);
  if (!parser.parseXML() || parser.iTemArray().empty()) return std::nullopt;
  const PropertyList& first = parser.iTemArray().front();
  std::string message = first.stringFor("message").value_or("");
  std::transform(message.begin(), message.end(), message.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (message != "SUCCESS") return std::nullopt;
  std::string ip = first.stringFor("cmdUtilityServerIP").value_or("");
  std::string server = ip.size() >= 2 ? ip : first.stringFor("cmdUtilityServer").value_or("");
  if (server.empty()) return std::nullopt;
  return server;
}

}  // namespace ulmora
