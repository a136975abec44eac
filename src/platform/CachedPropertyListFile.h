#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

// A small property-list file the agent rewrites after every finished item
// (the recent items, the sync status flag): its contents are kept in memory
// between writes, so a write costs no read or parse, and it is written by
// fileutil::writeFileByExchange: without fsync (losing it on a power failure
// costs nothing) and without making and freeing a file each time; readers
// still never see half of it. A hidden side file (".<name>.swap") stays
// beside it.
//
// The file is read again only when it is no longer the one this object last
// wrote or read (another inode, size or modification time): someone else
// wrote or removed it.
//
// Thread-safety: none; the owner serialises every call.
class CachedPropertyListFile {
 public:
  explicit CachedPropertyListFile(std::string path);

  const std::string& path() const { return path_; }
  // The file's contents; nullopt when it is missing or not a property list.
  const std::optional<PropertyList>& contents();
  // Writes `value` (and keeps it). False, with a trace line, on failure; the
  // file is then read again next time.
  bool write(PropertyList value);

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
  };
  // nullopt when the file cannot be stat'ed (missing).
  std::optional<Identity> identityNow() const;
  static bool same(const Identity& a, const Identity& b);

  const std::string path_;
  std::optional<PropertyList> value_;
  std::optional<Identity> known_;  // of the file value_ stands for
  bool loaded_ = false;
};

}  // namespace ulmora
