#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "service/HttpsSettings.h"

namespace ulmora {

// One POST to a service endpoint.
struct HttpsRequest {
  std::string url;  // must be https://
  std::string body;
  std::string contentType = "application/x-www-form-urlencoded";
  // The whole exchange, connect to last byte.
  Clock::Duration timeout = std::chrono::seconds(120);
  HttpsSettings tls;
};

struct HttpsResponse {
  enum class Outcome { kCompleted, kFailed, kCancelled };

  Outcome outcome = Outcome::kFailed;
  long status = 0;    // the HTTP status when a reply arrived
  std::string body;   // collected only when no body handler was set
  std::string error;  // why the exchange failed (kFailed)

  // A reply arrived in full with a 2xx status.
  bool ok() const { return outcome == Outcome::kCompleted && status >= 200 && status < 300; }
  // For a report: the transport error, "HTTP status N" or "cancelled".
  std::string failureText() const;
};

// Performs one HTTPS POST on the calling thread and lets another thread cancel
// it at once (the wait inside libcurl is woken, not polled).
//
// The reply body is either handed to a body handler as it arrives (long
// polls) or collected up to a cap; a longer body fails the exchange rather
// than growing without bound.
//
// Thread-safety: perform() and the setters belong to one thread; cancel()
// may be called from any thread while the object exists, before, during or
// after perform(). Handlers run on the thread inside perform(); an exception
// they throw is traced and fails the exchange.
class HttpsTransfer {
 public:
  using ResponseStartHandler = std::function<void(long status)>;
  using BodyHandler = std::function<void(std::string_view chunk)>;

  static constexpr std::size_t kDefaultMaxCollectedBody = 4u << 20;

  explicit HttpsTransfer(HttpsRequest request);
  ~HttpsTransfer();
  HttpsTransfer(const HttpsTransfer&) = delete;
  HttpsTransfer& operator=(const HttpsTransfer&) = delete;

  // Called once, when the headers of the final reply have arrived.
  void setResponseStartHandler(ResponseStartHandler handler);
  void setBodyHandler(BodyHandler handler);
  void setMaxCollectedBody(std::size_t bytes);

  // Runs the exchange to its end. Call once.
  HttpsResponse perform();
  void cancel();

 private:
  static size_t onHeader(char* data, size_t size, size_t count, void* self);
  static size_t onBody(char* data, size_t size, size_t count, void* self);
  size_t handleHeader(std::string_view line);
  size_t handleBody(std::string_view chunk);
  HttpsResponse finish(CURLcode result, const char* errorBuffer);

  HttpsRequest request_;
  ResponseStartHandler startHandler_;
  BodyHandler bodyHandler_;
  std::size_t maxBody_ = kDefaultMaxCollectedBody;

  std::atomic<bool> cancelled_{false};
  CURLM* multi_ = nullptr;

  // State of perform(), touched only by its thread and the callbacks.
  CURL* easy_ = nullptr;
  bool performed_ = false;
  bool started_ = false;
  bool bodyTooLarge_ = false;
  bool handlerFailed_ = false;
  std::string collected_;
};

}  // namespace ulmora
