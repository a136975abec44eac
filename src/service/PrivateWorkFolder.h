#pragma once

#include <memory>
#include <string>

namespace ulmora {

// A fresh owner-only (0700) folder for one engine run's set files, made under
// $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp, and removed with everything in
// it when the object goes away.
//
// Thread-safety: one owner.
class PrivateWorkFolder {
 public:
  // nullptr (with a trace line) when no folder could be made.
  static std::unique_ptr<PrivateWorkFolder> make(const std::string& prefix);
  ~PrivateWorkFolder();
  PrivateWorkFolder(const PrivateWorkFolder&) = delete;
  PrivateWorkFolder& operator=(const PrivateWorkFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  explicit PrivateWorkFolder(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace ulmora
