#include "media/VideoCGICallController.h"

#include <algorithm>
#include <utility>

#include "platform/Trace.h"
#include "service/FormBody.h"
#include "service/HttpsTransfer.h"
#include "service/ServiceEndpoint.h"

namespace ulmora {

VideoCGICallController::VideoCGICallController() : VideoCGICallController(Options{}) {}

VideoCGICallController::VideoCGICallController(Options options)
    : options_(std::move(options)),
      tls_(options_.tls ? *options_.tls : HttpsSettings::forConsoleUser()),
      host_(options_.serviceHost),
      worker_(Clock::systemClock()) {}

VideoCGICallController::~VideoCGICallController() { worker_.stopAndJoin(); }

void VideoCGICallController::setServiceHost(const std::string& host) {
  MutexLock lock(mu_);
  host_ = host;
}

void VideoCGICallController::setUserDetails(const PropertyList& details) {
  MutexLock lock(mu_);
  user_ = details.stringFor("username").value_or("");
  password_ = details.stringFor("password").value_or("");
}

void VideoCGICallController::addFiles(const std::string& relativePath) {
  if (relativePath.empty() || relativePath.find('\0') != std::string::npos) {
    traceLine("VideoCGICallController: refused an empty path or one holding a NUL");
    return;
  }
  MutexLock lock(mu_);
  queued_.push_back(relativePath);
}

std::size_t VideoCGICallController::queuedCount() const {
  MutexLock lock(mu_);
  return queued_.size();
}

void VideoCGICallController::makeVideoCGICall() {
  {
    MutexLock lock(mu_);
    if (queued_.empty()) return;
    if (user_.empty()) {
      traceLine("VideoCGICallController: no user details; " + std::to_string(queued_.size()) +
                " conversion request(s) dropped");
      queued_.clear();
      return;
    }
    const std::size_t per = std::max<std::size_t>(1, options_.maxFilesPerRequest);
    for (std::size_t i = 0; i < queued_.size(); i += per) {
      Batch batch{user_, password_, {}};
      const auto end = queued_.begin() + static_cast<std::ptrdiff_t>(std::min(queued_.size(), i + per));
      batch.files.assign(queued_.begin() + static_cast<std::ptrdiff_t>(i), end);
      batches_.push_back(std::move(batch));
    }
    queued_.clear();
    if (draining_) return;  // the running drain takes the new batches too
    draining_ = true;
  }
  // A previous drain that found nothing left may still be returning.
  worker_.start([this](RequestWorker& w) { drain(w); },
                RequestWorker::IfRunning::kWaitForEnd);
}

void VideoCGICallController::drain(RequestWorker& worker) {
  for (;;) {
    Batch batch;
    std::string url;
    {
      MutexLock lock(mu_);
      if (batches_.empty() || worker.stopRequested()) {
        draining_ = false;
        return;
      }
      batch = std::move(batches_.front());
      batches_.pop_front();
      url = serviceEndpointURL(host_, kVideoConversionPath);
    }
    const bool accepted = send(worker, batch, url);
    if (options_.onBatchEnded) options_.onBatchEnded(accepted, batch.files.size());
  }
}

bool VideoCGICallController::send(RequestWorker& worker, const Batch& batch,
                                  const std::string& url) {
  if (url.empty()) {
    traceLine("VideoCGICallController: no service host; a conversion request was dropped");
    return false;
  }
  FormBody form;
  form.add("username", batch.user).add("password", batch.password);
  for (const std::string& file : batch.files) form.add("file", file);
  HttpsRequest request;
  request.url = url;
  request.body = form.text();
  request.timeout = options_.timeout;
  request.tls = tls_;
  HttpsTransfer transfer(std::move(request));
  const HttpsResponse response = worker.perform(transfer);
  if (response.ok()) return true;
  traceLine("VideoCGICallController: conversion request for " +
            std::to_string(batch.files.size()) + " file(s) failed: " + response.failureText());
  return false;
}

}  // namespace ulmora
