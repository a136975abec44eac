#include "journal/UploadableItem.h"

#include "foundation/QLBackupProgressLogger.h"

namespace ulmora {
namespace {

const char* kindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

}  // namespace

UploadableItem::~UploadableItem() {
  if (refused_ > kNamedTraces) {
    daemonTrace(writer_ + ": " + std::to_string(refused_) +
                " items that are neither regular files nor folders were not uploaded");
  }
}

bool UploadableItem::admits(const std::string& path, const struct stat& st) {
  if (uploadable(st)) return true;
  if (++refused_ <= kNamedTraces) {
    daemonTrace(writer_ + ": '" + path + "' is " + kindOf(st.st_mode) + "; not uploaded");
  }
  return false;
}

}  // namespace ulmora
