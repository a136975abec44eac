#include "platform/CachedPropertyListFile.h"

#include <sys/stat.h>

#include <utility>

#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

CachedPropertyListFile::CachedPropertyListFile(std::string path) : path_(std::move(path)) {}

std::optional<CachedPropertyListFile::Identity> CachedPropertyListFile::identityNow() const {
  struct stat st;
  if (::stat(path_.c_str(), &st) != 0) return std::nullopt;
  return Identity{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

bool CachedPropertyListFile::same(const Identity& a, const Identity& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

const std::optional<PropertyList>& CachedPropertyListFile::contents() {
  std::optional<Identity> now = identityNow();
  const bool unchanged = loaded_ && (now && known_ ? same(*now, *known_) : !now && !known_);
  if (!unchanged) {
    value_ = now ? PropertyList::readFile(path_) : std::nullopt;
    // Stat'ed before the read: a write between the two makes the next call
    // read again rather than keep stale contents.
    known_ = now;
    loaded_ = true;
  }
  return value_;
}

bool CachedPropertyListFile::write(PropertyList value) {
  const std::string xml = value.toXml();
  if (xml.empty()) traceLine("CachedPropertyListFile: nothing to write to '" + path_ + "' (an empty value)");
  if (xml.empty() || !fileutil::writeFileByExchange(path_, xml)) {
    loaded_ = false;
    return false;
  }
  value_ = std::move(value);
  known_ = identityNow();
  loaded_ = known_.has_value();
  return true;
}

}  // namespace ulmora
