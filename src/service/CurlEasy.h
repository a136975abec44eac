#pragma once

#include <curl/curl.h>

#include "service/HttpsSettings.h"

namespace ulmora {

// Owns one libcurl easy handle, set up the way every request of the agent
// needs it: no signals (the handle is used on worker threads), HTTPS only,
// peer and host verified, no redirects followed.
//
// curl_global_init must have run (main() does it before any thread starts).
//
// Thread-safety: one thread at a time, like the handle itself.
class CurlEasy {
 public:
  explicit CurlEasy(const HttpsSettings& tls);
  ~CurlEasy();
  CurlEasy(const CurlEasy&) = delete;
  CurlEasy& operator=(const CurlEasy&) = delete;

  // Null when libcurl could not allocate or configure a handle.
  CURL* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  CURL* handle_ = nullptr;
};

}  // namespace ulmora
