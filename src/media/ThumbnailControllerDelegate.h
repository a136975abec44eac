#pragma once

namespace ulmora {

class ThumbnailController;

// What a thumbnail run reports, on the run loop of the thread that started
// it. didThumbnailOperationFinished is the run's last report, whether it
// succeeded or not; the delegate may destroy the run from inside it.
class ThumbnailControllerDelegate {
 public:
  virtual ~ThumbnailControllerDelegate() = default;

  virtual void thumbNailOperationStarted(ThumbnailController& /*run*/) {}
  // Before the upload: the moment to tell the run of renames it missed.
  virtual void checkforRenameInfo(ThumbnailController& /*run*/) {}
  virtual void didThumbnailOperationFinished(ThumbnailController& run) = 0;
};

}  // namespace ulmora
