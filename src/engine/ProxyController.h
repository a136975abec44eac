#pragma once

#include <string>

namespace ulmora {

// The proxy settings of the engine runs, read once from the proxy settings
// property list (application file 84).
//
// The list is a dictionary:
//   "ProxyEnabled"  flag ("1"/"YES"/true)       no proxy when absent or false
//   "ProxyServer"   host name or address         no proxy when empty
//   "ProxyPort"     port (text or integer)       optional
//   "ProxyUser"     user name                    optional
//   "ProxyPassword" password                     optional; never on a command line
//
// A file that is missing or does not parse means "no proxy".
//
// Thread-safety: immutable after construction; safe to share between threads.
class ProxyController {
 public:
  static constexpr const char* kEnabledKey = "ProxyEnabled";
  static constexpr const char* kServerKey = "ProxyServer";
  static constexpr const char* kPortKey = "ProxyPort";
  static constexpr const char* kUserKey = "ProxyUser";
  static constexpr const char* kPasswordKey = "ProxyPassword";

  ProxyController() = default;  // no proxy
  explicit ProxyController(const std::string& proxyDetailsFilePath);

  // The ready engine option: "--proxy=" when no proxy is set, else
  // "--proxy=[user@]host[:port]". The proxy password is not part of it; runs
  // hand it to the engine through the environment (EngineInvocation).
  std::string proxyArgument() const;

  bool hasProxy() const { return !server_.empty(); }
  const std::string& proxyPassword() const { return password_; }

 private:
  std::string server_;
  std::string port_;
  std::string user_;
  std::string password_;
};

}  // namespace ulmora
