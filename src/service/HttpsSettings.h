#pragma once

#include <chrono>
#include <string>

#include "platform/Clock.h"

namespace ulmora {

// How the agent reaches the service's web endpoints over TLS. The peer's
// certificate and host name are always verified; only the trust anchors vary.
//
// Thread-safety: a value type.
struct HttpsSettings {
  // PEM file of the certificate authorities to trust; empty means the
  // system's authorities.
  std::string caFile;
  // Allowed for the TCP connect and the TLS handshake together, so that a
  // host that never answers is reported as a failure instead of hanging a
  // long poll for its whole time-out.
  Clock::Duration connectTimeout = std::chrono::seconds(60);

  // The string-table key naming the CA file of the stand-in service.
  static constexpr const char* kCACertificateKey = "ServiceCACertificate";

  // Trusts the file named by kCACertificateKey (filled for `consoleUser`,
  // the running user when empty) when that file exists, else the system's
  // authorities: a deployment against a service with a public certificate
  // needs no file.
  static HttpsSettings forConsoleUser(const std::string& consoleUser = {});
};

}  // namespace ulmora
