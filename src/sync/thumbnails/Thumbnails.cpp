#include "sync/thumbnails/Thumbnails.h"

#include <algorithm>
#include <ctime>

#include "media/ImageMDUploadController.h"
#include "media/ThumbnailController.h"
#include "sync/files/SyncPathHelpers.h"
#include "platform/ThreadCheck.h"

namespace ulmora {

Thumbnails::Thumbnails(Account account, Clock& clock, const RunLoop& mainLoop, AccountState& state,
                       ThumbnailHost& host)
    : account_(std::move(account)), clock_(clock), mainLoop_(mainLoop), state_(state), host_(host) {}

Thumbnails::~Thumbnails() { stop(); }

void Thumbnails::addToCraeteThumbnail(const std::string& path) {
  if (!syncpaths::isSupportedFileType(path)) return;
  MutexLock hold(mILoock_);
  imageFiles_.insert(path);
}

bool Thumbnails::hasImageFiles() {
  MutexLock hold(mILoock_);
  return !imageFiles_.empty();
}

void Thumbnails::createAndUploadThumbnails() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (!hasImageFiles()) return;
  {
    MutexLock hold(state_.cycle.shared.mutex);
    state_.cycle.shared.isThumbNailBackupRunning = true;
  }
  const std::string destination =
      account_.folder + "/Thumbs_" + formatLocalTime(clock_.wallNow(), " %m-%d-%Y-%H-%M-%S");
  auto run = std::make_unique<ThumbnailController>(destination, host_.userDetails());
  run->setDelegate(this);
  ThumbnailController* job = run.get();
  {
    MutexLock hold(thumbNailLock_);
    mThumbCCollection_.push_back(std::move(run));
  }
  std::vector<std::string> images;
  {
    MutexLock hold(mILoock_);
    images.assign(imageFiles_.begin(), imageFiles_.end());
    imageFiles_.clear();
  }
  job->startThumbnailGenerationAndUploadForFiles(images, "/");
}

void Thumbnails::thumbNailOperationStarted(ThumbnailController& /*run*/) { ULMORA_DCHECK_ON_LOOP(mainLoop_); }

void Thumbnails::checkforRenameInfo(ThumbnailController& /*run*/) { ULMORA_DCHECK_ON_LOOP(mainLoop_); }

void Thumbnails::checkforRenameInfo(ImageMDUploadController& /*controller*/) {}

void Thumbnails::didThumbnailOperationFinished(ThumbnailController& run) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  bool noneLeft = false;
  {
    MutexLock hold(thumbNailLock_);
    auto it = std::find_if(mThumbCCollection_.begin(), mThumbCCollection_.end(),
                           [&](const auto& r) { return r.get() == &run; });
    if (it != mThumbCCollection_.end()) {
      // Released on the main loop, not from inside its own report.
      finishedThumbnailRuns_.push_back(std::move(*it));
      mThumbCCollection_.erase(it);
      host_.postToMain([this] {
        std::vector<std::unique_ptr<ThumbnailController>> done;
        {
          MutexLock h(thumbNailLock_);
          done.swap(finishedThumbnailRuns_);
        }
      });
    }
    noneLeft = mThumbCCollection_.empty();
  }
  if (noneLeft) {
    MutexLock hold(state_.push.mutex);
    state_.push.lastRenameAttemps.clear();
  }
  MutexLock hold(state_.cycle.shared.mutex);
  state_.cycle.shared.isThumbNailBackupRunning = false;
}

void Thumbnails::updateThumbnailController(const std::string& oldPath, const std::string& newPath) {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  std::vector<ThumbnailController*> runs;
  {
    MutexLock hold(thumbNailLock_);
    for (const auto& r : mThumbCCollection_) runs.push_back(r.get());
  }
  // Outside the lock: a run's rename handling may report back.
  for (ThumbnailController* r : runs) r->resolveForRenameFrom(oldPath, newPath);
}

void Thumbnails::makeImageUploader() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  if (mImageMDUController_) return;
  mImageMDUController_ = std::make_unique<ImageMDUploadController>(host_.userDetails());
  mImageMDUController_->setDelegate(this);
  mImageMDUController_->initializeAppSupportFilePaths(account_.consoleUser, account_.syncUser);
}

void Thumbnails::updateImageInformation() {
  if (mImageMDUController_) mImageMDUController_->updateImageInformation();
}

void Thumbnails::stop() {
  ULMORA_DCHECK_ON_LOOP(mainLoop_);
  std::vector<std::unique_ptr<ThumbnailController>> runs;
  {
    MutexLock hold(thumbNailLock_);
    runs.swap(mThumbCCollection_);
    for (auto& r : finishedThumbnailRuns_) runs.push_back(std::move(r));
    finishedThumbnailRuns_.clear();
  }
  runs.clear();
  mImageMDUController_.reset();
}

}  // namespace ulmora
