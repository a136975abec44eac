#include "service/ServiceEndpoint.h"

namespace ulmora {

std::string serviceEndpointURL(std::string_view host, std::string_view path) {
  constexpr std::string_view kScheme = "https://";
  while (!host.empty() && host.back() == '/') host.remove_suffix(1);
  if (host.starts_with(kScheme)) host.remove_prefix(kScheme.size());
  if (host.empty() || host.find("://") != std::string_view::npos) return {};
  std::string url(kScheme);
  url += host;
  if (!path.empty() && path.front() != '/') url += '/';
  url += path;
  return url;
}

}  // namespace ulmora
