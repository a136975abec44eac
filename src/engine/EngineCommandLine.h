#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ulmora {

class EngineCredentials;
class ProxyController;
class User;

// Pieces of an engine command line that every caller builds the same way
// (docs/engine.md, "Command line").
class EngineCommandLine {
 public:
  // "user@server::quellar/path"; `path` gets a leading "/" when it lacks one.
  static std::string remoteAddress(const User& user, std::string_view path);

  // Options every run passes: the work folder (when not empty, so the engine
  // polls its cancel and throttle files), the credential files, the port
  // option of the account and the proxy option.
  static std::vector<std::string> commonOptions(const User& user, const ProxyController& proxy,
                                                const EngineCredentials& credentials,
                                                const std::string& workFolder);
};

}  // namespace ulmora
