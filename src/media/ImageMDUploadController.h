#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"
#include "foundation/SupportFilePaths.h"
#include "media/ImageMDUploadControllerDelegate.h"
#include "media/UserDetails.h"

namespace ulmora {

// Collects the images of the account whose metadata (size and modification
// time) must be recorded, and records them in the account's image-metadata
// list: a property-list dictionary {server path: {"size", "mod_time"}} in the
// account folder (application file 50), written atomically, owner-only.
//
// Only images under the sync root are taken; a path that could leave it is
// dropped with a trace line.
//
// Thread-safety: every method may be called from any thread.
class ImageMDUploadController {
 public:
  static constexpr const char* kMetadataFileName = "ImageMetadata.plist";
  static constexpr int kAccountFolderIndex = 50;

  explicit ImageMDUploadController(UserDetails details);
  ImageMDUploadController(const ImageMDUploadController&) = delete;
  ImageMDUploadController& operator=(const ImageMDUploadController&) = delete;

  void setDelegate(ImageMDUploadControllerDelegate* delegate) { delegate_ = delegate; }
  void initializeAppSupportFilePaths(const std::string& consoleUser, const std::string& syncUser);
  // Where the list goes; default: the account folder's kMetadataFileName.
  void setMetadataFilePath(std::string path);

  // Queues a full image path.
  void addImage(const std::string& fullPath);
  std::vector<std::string> pendingImages() const;

  // Drops queued images that are gone, then asks the delegate for renames.
  void reconstructImageList();
  // Records the queued images' metadata and empties the queue. Returns the
  // number of images recorded; images not recorded stay queued.
  size_t updateImageInformation();

 private:
  std::string metadataFilePath() const ULMORA_REQUIRES(mutex_);

  const UserDetails details_;
  ImageMDUploadControllerDelegate* delegate_ = nullptr;

  mutable Mutex mutex_;  // guards everything below; held while the list is written
  SupportFilePaths paths_ ULMORA_GUARDED_BY(mutex_);
  std::string metadataFile_ ULMORA_GUARDED_BY(mutex_);
  std::vector<std::string> pending_ ULMORA_GUARDED_BY(mutex_);
};

}  // namespace ulmora
