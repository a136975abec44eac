#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "media/ImageMDUploadControllerDelegate.h"
#include "media/ThumbnailControllerDelegate.h"
#include "media/UserDetails.h"
#include "platform/Clock.h"
#include "platform/RunLoop.h"
#include "sync/control/AccountState.h"

namespace ulmora {

class ImageMDUploadController;

// What the thumbnail runs need from the account.
class ThumbnailHost {
 public:
  virtual ~ThumbnailHost() = default;
  virtual UserDetails userDetails() = 0;
  // Onto the main loop, never after the account is gone.
  virtual void postToMain(RunLoop::Task task) = 0;
};

// The images that wait for a thumbnail run, the runs under way, and the
// image-metadata uploader; the delegate of both kinds of controller.
//
// Thread-safety: addToCraeteThumbnail, hasImageFiles and
// updateImageInformation from any thread (the upload runs' reports; the
// uploader is made by the first start, before any run, and released only by
// stop(), after the runs ended), and so is the uploader's
// checkforRenameInfo, which comes on its caller's thread; the rest on the
// main loop, where the thumbnail runs report (checked in debug and test
// builds). Images waiting (mILoock_) and running jobs (thumbNailLock_) have
// their own locks, never both held at once.
class Thumbnails final : public ThumbnailControllerDelegate, public ImageMDUploadControllerDelegate {
 public:
  struct Account {
    std::string consoleUser;
    std::string syncUser;
    // Where each run's thumbnails are made (a dated folder under it).
    std::string folder;
  };

  // `mainLoop`: where the runs are started and report.
  Thumbnails(Account account, Clock& clock, const RunLoop& mainLoop, AccountState& state,
             ThumbnailHost& host);
  ~Thumbnails() override;
  Thumbnails(const Thumbnails&) = delete;
  Thumbnails& operator=(const Thumbnails&) = delete;

  // A supported image that was uploaded waits for the next run.
  void addToCraeteThumbnail(const std::string& path);
  bool hasImageFiles();
  // One run for every image waiting.
  void createAndUploadThumbnails();
  // A rename made here reaches the runs under way.
  void updateThumbnailController(const std::string& oldPath, const std::string& newPath);
  // Made by the first start and kept for the later ones.
  void makeImageUploader();
  void updateImageInformation();
  // Ends the runs and the uploader (their threads joined).
  void stop();

  // ThumbnailControllerDelegate, ImageMDUploadControllerDelegate
  void thumbNailOperationStarted(ThumbnailController& run) override;
  void checkforRenameInfo(ThumbnailController& run) override;
  void didThumbnailOperationFinished(ThumbnailController& run) override;
  void checkforRenameInfo(ImageMDUploadController& controller) override;

 private:
  const Account account_;
  Clock& clock_;
  const RunLoop& mainLoop_;
  AccountState& state_;
  ThumbnailHost& host_;
  Mutex mILoock_;
  std::set<std::string> imageFiles_ ULMORA_GUARDED_BY(mILoock_);
  Mutex thumbNailLock_;
  std::vector<std::unique_ptr<ThumbnailController>> mThumbCCollection_ ULMORA_GUARDED_BY(thumbNailLock_);
  // Controllers whose run ended, released on the main loop rather than from
  // inside their own callback.
  std::vector<std::unique_ptr<ThumbnailController>> finishedThumbnailRuns_ ULMORA_GUARDED_BY(thumbNailLock_);
  std::unique_ptr<ImageMDUploadController> mImageMDUController_;
};

}  // namespace ulmora
