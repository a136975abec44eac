#include "service/HttpsTransfer.h"

#include <exception>
#include <memory>
#include <utility>

#include "platform/Trace.h"
#include "service/CurlEasy.h"

namespace ulmora {
namespace {

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

long milliseconds(Clock::Duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return ms > 0 ? static_cast<long>(ms) : 1L;
}

// Adds the easy handle to the multi handle for the scope of one exchange.
class MultiMembership {
 public:
  MultiMembership(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
    added_ = curl_multi_add_handle(multi_, easy_) == CURLM_OK;
  }
  ~MultiMembership() {
    if (added_) curl_multi_remove_handle(multi_, easy_);
  }
  MultiMembership(const MultiMembership&) = delete;
  MultiMembership& operator=(const MultiMembership&) = delete;
  bool added() const { return added_; }

 private:
  CURLM* multi_;
  CURL* easy_;
  bool added_ = false;
};

}  // namespace

std::string HttpsResponse::failureText() const {
  switch (outcome) {
    case Outcome::kCancelled:
      return "cancelled";
    case Outcome::kFailed:
      return error.empty() ? std::string("request failed") : error;
    case Outcome::kCompleted:
      break;
  }
  return "HTTP status " + std::to_string(status);
}

HttpsTransfer::HttpsTransfer(HttpsRequest request)
    : request_(std::move(request)), multi_(curl_multi_init()) {}

HttpsTransfer::~HttpsTransfer() {
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

void HttpsTransfer::setResponseStartHandler(ResponseStartHandler handler) {
  startHandler_ = std::move(handler);
}

void HttpsTransfer::setBodyHandler(BodyHandler handler) { bodyHandler_ = std::move(handler); }

void HttpsTransfer::setMaxCollectedBody(std::size_t bytes) { maxBody_ = bytes; }

void HttpsTransfer::cancel() {
  cancelled_.store(true);
  if (multi_ != nullptr) curl_multi_wakeup(multi_);
}

HttpsResponse HttpsTransfer::perform() {
  HttpsResponse response;
  if (performed_) {
    response.error = "request already performed";
    return response;
  }
  performed_ = true;
  CurlEasy easy(request_.tls);
  if (!easy || multi_ == nullptr) {
    response.error = "could not set up a TLS connection";
    return response;
  }
  easy_ = easy.get();

  curl_slist* list = nullptr;
  for (const std::string& line : {"Content-Type: " + request_.contentType, std::string("Expect:")}) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (grown == nullptr) {
      curl_slist_free_all(list);
      response.error = "out of memory";
      return response;
    }
    list = grown;
  }
  const Slist headers(list);

  char errorBuffer[CURL_ERROR_SIZE] = {};
  CURL* h = easy.get();
  const bool configured =
      curl_easy_setopt(h, CURLOPT_URL, request_.url.c_str()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request_.body.size())) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, request_.body.data()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, milliseconds(request_.timeout)) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_USERAGENT, "ulmora-agent") == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &HttpsTransfer::onHeader) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_HEADERDATA, this) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &HttpsTransfer::onBody) == CURLE_OK &&
      curl_easy_setopt(h, CURLOPT_WRITEDATA, this) == CURLE_OK;
  if (!configured) {
    response.error = "could not configure the request";
    return response;
  }

  MultiMembership membership(multi_, h);
  if (!membership.added()) {
    response.error = "could not start the request";
    return response;
  }
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  for (;;) {
    if (cancelled_.load()) break;
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) {
      int queued = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) result = msg->data.result;
      }
      break;
    }
    // Woken early by cancel() through curl_multi_wakeup.
    if (curl_multi_poll(multi_, nullptr, 0, 1000, nullptr) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
  }
  return finish(result, errorBuffer);
}

HttpsResponse HttpsTransfer::finish(CURLcode result, const char* errorBuffer) {
  HttpsResponse response;
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  response.status = status;
  if (result == CURLE_OK && !handlerFailed_) {
    response.outcome = HttpsResponse::Outcome::kCompleted;
    response.body = std::move(collected_);
  } else if (cancelled_.load()) {
    response.outcome = HttpsResponse::Outcome::kCancelled;
  } else {
    response.outcome = HttpsResponse::Outcome::kFailed;
    if (bodyTooLarge_) {
      response.error = "reply larger than " + std::to_string(maxBody_) + " bytes";
    } else if (handlerFailed_) {
      response.error = "reply handler failed";
    } else if (errorBuffer != nullptr && errorBuffer[0] != '\0') {
      response.error = errorBuffer;
    } else {
      response.error = curl_easy_strerror(result);
    }
  }
  easy_ = nullptr;
  return response;
}

size_t HttpsTransfer::onHeader(char* data, size_t size, size_t count, void* self) {
  return static_cast<HttpsTransfer*>(self)->handleHeader(std::string_view(data, size * count));
}

size_t HttpsTransfer::onBody(char* data, size_t size, size_t count, void* self) {
  return static_cast<HttpsTransfer*>(self)->handleBody(std::string_view(data, size * count));
}

size_t HttpsTransfer::handleHeader(std::string_view line) {
  if (cancelled_.load()) return 0;
  if (started_ || (line != "\r\n" && line != "\n")) return line.size();
  long status = 0;
  curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200) return line.size();  // an interim 1xx reply; the real one follows
  started_ = true;
  if (!startHandler_) return line.size();
  try {
    startHandler_(status);
  } catch (const std::exception& e) {
    traceLine(std::string("HttpsTransfer: start handler threw: ") + e.what());
    handlerFailed_ = true;
    return 0;
  } catch (...) {
    traceLine("HttpsTransfer: start handler threw");
    handlerFailed_ = true;
    return 0;
  }
  return line.size();
}

size_t HttpsTransfer::handleBody(std::string_view chunk) {
  if (cancelled_.load()) return 0;
  if (bodyHandler_) {
    try {
      bodyHandler_(chunk);
    } catch (const std::exception& e) {
      traceLine(std::string("HttpsTransfer: body handler threw: ") + e.what());
      handlerFailed_ = true;
      return 0;
    } catch (...) {
      traceLine("HttpsTransfer: body handler threw");
      handlerFailed_ = true;
      return 0;
    }
    return chunk.size();
  }
  if (collected_.size() + chunk.size() > maxBody_) {
    bodyTooLarge_ = true;
    return 0;
  }
  collected_.append(chunk);
  return chunk.size();
}

}  // namespace ulmora
