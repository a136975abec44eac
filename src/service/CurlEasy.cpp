#include "service/CurlEasy.h"

#include <chrono>

#include "platform/Trace.h"

namespace ulmora {
namespace {

bool configure(CURL* h, const HttpsSettings& tls) {
  const long connectMs = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(tls.connectTimeout).count());
  bool ok = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
            curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs > 0 ? connectMs : 1L) ==
                CURLE_OK;
  if (ok && !tls.caFile.empty()) {
    ok = curl_easy_setopt(h, CURLOPT_CAINFO, tls.caFile.c_str()) == CURLE_OK &&
         // Only the given authorities: the system's folder must not widen the trust.
         curl_easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK;
  }
  return ok;
}

}  // namespace

CurlEasy::CurlEasy(const HttpsSettings& tls) : handle_(curl_easy_init()) {
  if (handle_ == nullptr) {
    traceLine("CurlEasy: curl_easy_init failed");
    return;
  }
  if (!configure(handle_, tls)) {
    traceLine("CurlEasy: could not configure a TLS-verified handle");
    curl_easy_cleanup(handle_);
    handle_ = nullptr;
  }
}

CurlEasy::~CurlEasy() {
  if (handle_ != nullptr) curl_easy_cleanup(handle_);
}

}  // namespace ulmora
