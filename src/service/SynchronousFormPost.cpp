#include "service/SynchronousFormPost.h"

namespace ulmora {

HttpsResponse SynchronousFormPost::post(const std::string& url, const std::string& formBody,
                                        Clock::Duration timeout, const HttpsSettings& tls) {
  HttpsRequest request;
  request.url = url;
  request.body = formBody;
  request.timeout = timeout;
  request.tls = tls;
  HttpsTransfer transfer(std::move(request));
  return transfer.perform();
}

}  // namespace ulmora
