#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "media/ThumbnailControllerDelegate.h"
#include "media/UserDetails.h"
#include "platform/Clock.h"
#include "platform/ProcessRunner.h"
#include "platform/RunLoop.h"
#include "platform/WeakGuard.h"
#include "service/ServiceEngineRun.h"

namespace ulmora {

// One thumbnail job: for each image it makes three thumbnails with
// ImageMagick's convert (a child process, never a shell) and uploads them
// through the engine beside the image, named "<image>_THINT" (fits
// 1280x960), "<image>_THSML" (135x135) and "<image>_THTIN" (40x40), aspect
// ratio kept, never enlarged.
//
// The thumbnails are made in the destination folder (created 0700, removed
// when the job ends), mirroring the images' paths under the sync root; its
// "SourceList" file names the job's images, one per line.
//
// Only images under the sync root with a known image extension are read, and
// convert is told the format from the extension, so a file that merely
// claims to be an image cannot steer convert to another decoder (documents,
// scripts, remote fetches). convert runs with memory and time limits.
//
// A rename reported while the job runs (resolveForRenameFrom) moves the job's
// entries: an image not yet done is read under its new path, thumbnails
// already made move with it, and ones already uploaded go up again under the
// new name.
//
// Thread-safety: construct, start and destroy on one thread, which runs its
// RunLoop for the reports; resolveForRenameFrom from any thread. The
// destructor stops the job (no report follows) and joins its worker.
class ThumbnailController {
 public:
  struct Size {
    int width;
    int height;
    std::string_view suffix;
  };
  static constexpr Size kSizes[] = {{1280, 960, "_THINT"}, {135, 135, "_THSML"}, {40, 40, "_THTIN"}};
  static constexpr const char* kSourceListName = "SourceList";
  static constexpr const char* kDefaultConvertPath = "/usr/bin/convert";

  ThumbnailController(std::string destinationFolder, UserDetails details);
  ~ThumbnailController();
  ThumbnailController(const ThumbnailController&) = delete;
  ThumbnailController& operator=(const ThumbnailController&) = delete;

  void setDelegate(ThumbnailControllerDelegate* delegate) { delegate_ = delegate; }
  void setConvertPath(std::string path) { convertPath_ = std::move(path); }
  void setProxyDetails(ProxyController proxy) { proxy_ = std::move(proxy); }
  // Keep the destination folder after the job (tests look at the thumbnails).
  void setKeepDestination(bool keep) { keepDestination_ = keep; }

  // `images`: full paths under the sync root; `serverBase`: the server folder
  // the sync root maps to ("/"). Reports thumbNailOperationStarted, then works
  // on a thread of its own. A second call does nothing.
  void startThumbnailGenerationAndUploadForFiles(const std::vector<std::string>& images,
                                                 const std::string& serverBase);

  // Full paths, as the local rename was seen.
  void resolveForRenameFrom(const std::string& oldPath, const std::string& newPath);

  const std::string& destinationFolder() const { return destination_; }
  // Server paths of the thumbnails the job has uploaded.
  std::vector<std::string> uploadedThumbnails() const;

  // The ImageMagick coder for an image path's extension, nullopt when the
  // extension is not one of the image types the agent makes thumbnails of.
  static std::optional<std::string> coderFor(std::string_view path);

 private:
  struct Item {
    std::string source;    // full local path
    std::string relative;  // server path ("/a/b.jpg")
    bool generated = false;
    bool uploaded = false;
    bool failed = false;
  };

  void work(RunLoop::Handle loop, std::string serverBase);
  bool generate(const Item& item, size_t number);
  bool upload(const std::string& serverBase);
  std::string thumbnailPath(const std::string& relative, std::string_view suffix) const;
  void moveThumbnails(const std::string& fromRelative, const std::string& toRelative);
  bool stopped() const;

  const std::string destination_;
  const UserDetails details_;
  ProxyController proxy_;
  std::string convertPath_ = kDefaultConvertPath;
  ThumbnailControllerDelegate* delegate_ = nullptr;
  bool keepDestination_ = false;
  std::thread worker_;

  mutable Mutex mutex_;
  std::vector<Item> items_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::string> uploaded_ ULMORA_GUARDED_BY(mutex_);
  std::shared_ptr<ServiceEngineRun> engine_ ULMORA_GUARDED_BY(mutex_);
  ChildProcess* convert_ ULMORA_GUARDED_BY(mutex_) = nullptr;
  bool stopped_ ULMORA_GUARDED_BY(mutex_) = false;
  bool started_ ULMORA_GUARDED_BY(mutex_) = false;

  WeakGuard guard_;  // last: invalidated first
};

}  // namespace ulmora
