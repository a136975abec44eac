#pragma once

#include <string>

namespace ulmora::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes away.
class TestTempDir {
 public:
  TestTempDir();
  ~TestTempDir();
  TestTempDir(const TestTempDir&) = delete;
  TestTempDir& operator=(const TestTempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string sub(const std::string& relative) const;
  // Writes `contents` to sub(relative), creating parent folders.
  std::string writeFile(const std::string& relative, const std::string& contents) const;

 private:
  std::string path_;
};

}  // namespace ulmora::testing
