#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace ulmora {

// The engine uploads regular files and folders only: a symbolic link (a
// dangling one too), a FIFO, a socket or a device in an upload list fails
// that run, and every later run that includes it. One pass of a list writer
// asks admits() per item it found with lstat; what is refused is traced, the
// first few by name and the rest as a count when the pass ends.
//
// Thread-safety: one object per pass, on that pass's thread.
class UploadableItem {
 public:
  static constexpr std::size_t kNamedTraces = 5;

  explicit UploadableItem(std::string writer) : writer_(std::move(writer)) {}
  ~UploadableItem();
  UploadableItem(const UploadableItem&) = delete;
  UploadableItem& operator=(const UploadableItem&) = delete;

  static bool uploadable(const struct stat& st) { return S_ISREG(st.st_mode) || S_ISDIR(st.st_mode); }
  bool admits(const std::string& path, const struct stat& st);
  std::size_t refused() const { return refused_; }

 private:
  std::string writer_;
  std::size_t refused_ = 0;
};

}  // namespace ulmora
