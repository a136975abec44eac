#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "platform/Clock.h"
#include "platform/PropertyList.h"
#include "service/HttpsSettings.h"
#include "service/RequestWorker.h"

namespace ulmora {

// Collects the videos an upload run sent and asks the service to convert
// them. makeVideoCGICall() hands the queue to a thread of its own and returns
// at once (it is called from the engine's callbacks); the thread sends one
// form POST per batch of at most maxFilesPerRequest files:
//   username=<user>&password=<password>&file=<path>&file=<path>...
// A batch that fails is traced and dropped: a conversion is an extra, and
// the next upload of the file asks again.
//
// Thread-safety: every method may be called from any thread. The destructor
// cancels the request in flight and drops batches not yet sent.
class VideoCGICallController {
 public:
  static constexpr const char* kVideoConversionPath = "/cgi-bin/video_conversion.cgi";

  struct Options {
    std::optional<HttpsSettings> tls;  // HttpsSettings::forConsoleUser() when unset
    std::string serviceHost;           // "host[:port]" or an https:// URL
    Clock::Duration timeout = std::chrono::seconds(60);
    std::size_t maxFilesPerRequest = 200;
    // Called on the sending thread after each batch: sent or not, and how
    // many files it held.
    std::function<void(bool accepted, std::size_t files)> onBatchEnded;
  };

  VideoCGICallController();
  explicit VideoCGICallController(Options options);
  ~VideoCGICallController();
  VideoCGICallController(const VideoCGICallController&) = delete;
  VideoCGICallController& operator=(const VideoCGICallController&) = delete;

  void setServiceHost(const std::string& host);
  // {"username": sync user, "password": password}; other keys are ignored.
  void setUserDetails(const PropertyList& details);
  // A path relative to the sync root. An empty path or one holding a NUL is
  // refused with a trace line.
  void addFiles(const std::string& relativePath);
  // Sends what was queued and empties the queue.
  void makeVideoCGICall();

  std::size_t queuedCount() const;

 private:
  struct Batch {
    std::string user;
    std::string password;
    std::vector<std::string> files;
  };

  void drain(RequestWorker& worker);
  bool send(RequestWorker& worker, const Batch& batch, const std::string& url);

  const Options options_;
  const HttpsSettings tls_;

  mutable Mutex mu_;
  std::string host_ ULMORA_GUARDED_BY(mu_);
  std::string user_ ULMORA_GUARDED_BY(mu_);
  std::string password_ ULMORA_GUARDED_BY(mu_);
  std::vector<std::string> queued_ ULMORA_GUARDED_BY(mu_);
  std::deque<Batch> batches_ ULMORA_GUARDED_BY(mu_);
  bool draining_ ULMORA_GUARDED_BY(mu_) = false;

  RequestWorker worker_;  // last: joined before the members it uses go
};

}  // namespace ulmora
