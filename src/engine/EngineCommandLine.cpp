#include "engine/EngineCommandLine.h"

#include "engine/EngineCredentials.h"
#include "engine/ProxyController.h"
#include "engine/User.h"

namespace ulmora {

std::string EngineCommandLine::remoteAddress(const User& user, std::string_view path) {
  std::string r = user.userName() + "@" + user.kvtServerIP() + "::quellar";
  if (path.empty() || path.front() != '/') r += '/';
  r += path;
  return r;
}

std::vector<std::string> EngineCommandLine::commonOptions(const User& user,
                                                          const ProxyController& proxy,
                                                          const EngineCredentials& credentials,
                                                          const std::string& workFolder) {
  std::vector<std::string> args;
  if (!workFolder.empty()) args.push_back("--work-dir=" + workFolder);
  for (std::string& a : credentials.arguments()) args.push_back(std::move(a));
  // The port comes ready-made; anything else in that field is not passed on,
  // so a bad setting cannot add an option of its own.
  if (user.port().rfind("--port=", 0) == 0) args.push_back(user.port());
  args.push_back(proxy.proxyArgument());
  return args;
}

}  // namespace ulmora
