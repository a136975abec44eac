#pragma once

#include <chrono>
#include <string>

#include "platform/Clock.h"
#include "service/HttpsSettings.h"
#include "service/HttpsTransfer.h"

namespace ulmora {

// A form POST that blocks the calling thread until the reply has arrived or
// the time-out has passed (the service-discovery request). The reply body is
// capped at HttpsTransfer::kDefaultMaxCollectedBody.
//
// Thread-safety: any thread; calls are independent.
class SynchronousFormPost {
 public:
  static HttpsResponse post(const std::string& url, const std::string& formBody,
                            Clock::Duration timeout, const HttpsSettings& tls);
};

}  // namespace ulmora
