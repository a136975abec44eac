#pragma once

#include <string>
#include <string_view>

namespace ulmora {

// The URL of `path` on a service host. `host` is what the login details
// carry: a bare "host[:port]" (HTTPS is implied) or a full "https://..." URL;
// trailing slashes are dropped. "" when `host` is empty or names another
// scheme, because the agent talks to the service over verified TLS only.
//
// Thread-safety: a pure function.
std::string serviceEndpointURL(std::string_view host, std::string_view path);

}  // namespace ulmora
