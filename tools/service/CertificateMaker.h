#pragma once

#include <string>

namespace ulmora::service {

// Writes a fresh certificate authority and a server certificate it signed,
// for the stand-in service on loopback:
//   DIR/ca.pem          the authority's certificate (what the agent trusts)
//   DIR/server.pem      the server's certificate, for localhost, 127.0.0.1, ::1
//   DIR/server-key.pem  the server's private key (mode 0600)
// The authority's own key is never written: nothing can sign with it later.
// Keys are P-256; certificates last 825 days.
//
// Returns "" on success, else what went wrong.
std::string makeCertificates(const std::string& folder);

}  // namespace ulmora::service
