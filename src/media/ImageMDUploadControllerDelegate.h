#pragma once

namespace ulmora {

class ImageMDUploadController;

// What the image-metadata uploader reports, on the thread that called it.
class ImageMDUploadControllerDelegate {
 public:
  virtual ~ImageMDUploadControllerDelegate() = default;

  // The moment to tell the uploader of renames it missed.
  virtual void checkforRenameInfo(ImageMDUploadController& /*controller*/) {}
};

}  // namespace ulmora
