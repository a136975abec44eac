#include "media/ImageMDUploadController.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "journal/SyncRootPath.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/Trace.h"
#include "service/ServerPath.h"

namespace ulmora {
namespace {

std::string formatModTime(time_t seconds) {
  struct tm local {};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace

ImageMDUploadController::ImageMDUploadController(UserDetails details) : details_(std::move(details)) {}

void ImageMDUploadController::initializeAppSupportFilePaths(const std::string& consoleUser,
                                                            const std::string& syncUser) {
  MutexLock lock(mutex_);
  paths_.setConsoleUserName(consoleUser);
  paths_.setSyncUserName(syncUser);
}

void ImageMDUploadController::setMetadataFilePath(std::string path) {
  MutexLock lock(mutex_);
  metadataFile_ = std::move(path);
}

std::string ImageMDUploadController::metadataFilePath() const {
  if (!metadataFile_.empty()) return metadataFile_;
  std::string folder = paths_.pathForApplicationFile(kAccountFolderIndex);
  return folder.empty() ? std::string() : fileutil::joinPath(folder, kMetadataFileName);
}

void ImageMDUploadController::addImage(const std::string& fullPath) {
  SyncRootPath root(details_.syncFolderPath);
  std::string relative = root.isFullPath(fullPath) ? root.relative(fullPath) : std::string();
  if (relative.empty() || !serverpath::isSafeItemPath(relative)) {
    traceLine("ImageMDUploadController: not an image under the sync root: " + serverpath::forTrace(fullPath));
    return;
  }
  MutexLock lock(mutex_);
  if (std::find(pending_.begin(), pending_.end(), fullPath) == pending_.end()) pending_.push_back(fullPath);
}

std::vector<std::string> ImageMDUploadController::pendingImages() const {
  MutexLock lock(mutex_);
  return pending_;
}

void ImageMDUploadController::reconstructImageList() {
  {
    MutexLock lock(mutex_);
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [](const std::string& p) { return !fileutil::exists(p); }),
                   pending_.end());
  }
  if (delegate_ != nullptr) delegate_->checkforRenameInfo(*this);
}

size_t ImageMDUploadController::updateImageInformation() {
  MutexLock lock(mutex_);
  if (pending_.empty()) return 0;
  const std::string file = metadataFilePath();
  if (file.empty()) {
    traceLine("ImageMDUploadController: no account folder for the image metadata");
    return 0;
  }
  PropertyList list = PropertyList::readFile(file).value_or(PropertyList(PropertyList::Dict{}));
  if (!list.isDict()) list = PropertyList(PropertyList::Dict{});
  SyncRootPath root(details_.syncFolderPath);
  size_t recorded = 0;
  for (const std::string& image : pending_) {
    struct stat st {};
    if (::lstat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // gone or not a file
    PropertyList entry;
    entry.set("size", PropertyList(std::to_string(st.st_size)));
    entry.set("mod_time", PropertyList(formatModTime(st.st_mtime)));
    list.set(root.relative(image), std::move(entry));
    ++recorded;
  }
  if (!fileutil::makeDirectories(fileutil::parentPath(file)) || !list.writeFile(file)) {
    traceLine("ImageMDUploadController: cannot write " + serverpath::forTrace(file));
    return 0;  // everything stays queued
  }
  pending_.clear();
  return recorded;
}

}  // namespace ulmora
