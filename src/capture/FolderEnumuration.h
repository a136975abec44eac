#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace ulmora {

class FolderEnumurationDelegate;

// Sizes of folders, file by file: for each folder the delegate hears
// willStartSizeCalculationForFolder, didFoundFile for every regular file
// below it, then didCalculateSizeofFolder with their total bytes; at the end
// didEndCalculation. Symlinks are neither followed nor counted.
//
// Thread-safety: configure before starting. getFolderSize runs on the
// calling thread; start() runs it on a thread of this object, which stop()
// or the destructor ends and joins (so never destroy it from inside a
// delegate call).
class FolderEnumuration {
 public:
  FolderEnumuration() = default;
  ~FolderEnumuration();
  FolderEnumuration(const FolderEnumuration&) = delete;
  FolderEnumuration& operator=(const FolderEnumuration&) = delete;

  void setDelegate(FolderEnumurationDelegate* delegate) { delegate_ = delegate; }
  // true (the default): descend into folders; false: only the files
  // directly in each folder count.
  void shouldEnumerateFolder(bool descend) { descend_ = descend; }

  // The enumeration itself, on the calling thread. Answers the sizes in
  // the order of `folders`.
  std::vector<int64_t> getFolderSize(const std::vector<std::string>& folders,
                                     std::stop_token stop = {});

  void start(std::vector<std::string> folders);
  void stop();

 private:
  FolderEnumurationDelegate* delegate_ = nullptr;
  bool descend_ = true;
  std::jthread thread_;
};

}  // namespace ulmora
