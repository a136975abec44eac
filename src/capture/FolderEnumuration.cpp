#include "capture/FolderEnumuration.h"

#include <sys/stat.h>

#include <exception>
#include <utility>

#include "capture/DirectoryWalker.h"
#include "capture/FolderEnumurationDelegate.h"
#include "platform/Trace.h"

namespace ulmora {

FolderEnumuration::~FolderEnumuration() { stop(); }

std::vector<int64_t> FolderEnumuration::getFolderSize(const std::vector<std::string>& folders,
                                                      std::stop_token stop) {
  std::vector<int64_t> sizes;
  for (const std::string& folder : folders) {
    if (stop.stop_requested()) break;
    if (delegate_) delegate_->willStartSizeCalculationForFolder(folder);
    int64_t total = 0;
    DirectoryWalker::Callbacks callbacks;
    callbacks.entry = [&](const DirectoryWalker::Entry& entry) {
      if (entry.type == DirectoryWalker::EntryType::kDirectory) return descend_;
      if (entry.type != DirectoryWalker::EntryType::kFile) return false;
      struct stat st;
      if (lstat(entry.path.c_str(), &st) == 0) total += st.st_size;
      if (delegate_) delegate_->didFoundFile(entry.path);
      return false;
    };
    DirectoryWalker::walk(folder, callbacks, stop);
    sizes.push_back(total);
    if (delegate_) delegate_->didCalculateSizeofFolder(total);
  }
  if (delegate_) delegate_->didEndCalculation(*this);
  return sizes;
}

void FolderEnumuration::start(std::vector<std::string> folders) {
  stop();
  thread_ = std::jthread([this, folders = std::move(folders)](std::stop_token stop) {
    try {
      getFolderSize(folders, stop);
    } catch (const std::exception& e) {
      traceLine(std::string("folder sizes: ") + e.what());
    }
  });
}

void FolderEnumuration::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  if (thread_.get_id() == std::this_thread::get_id()) {
    // Only reachable when a delegate breaks its contract; joining would
    // deadlock and destroying a joinable jthread would terminate.
    traceLine("folder sizes: stopped from its own thread; the thread is left to finish");
    thread_.detach();
    return;
  }
  thread_.join();
}

}  // namespace ulmora
