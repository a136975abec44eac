#pragma once

#include <cstdint>
#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

namespace ulmora {

// An iterative walk of a folder tree with readdir: no recursion (very deep
// trees cannot exhaust the stack), one open folder at a time (nor the
// descriptors), symlinks reported as entries and never followed, and each
// folder (device, inode) read at most once, so bind-mount loops end.
//
// Folders that vanish or cannot be read while the walk runs are skipped
// (counted, and traced unless they simply vanished); the walk goes on.
// Paths longer than the kernel accepts are skipped with a trace line.
//
// Thread-safety: a walk touches only its arguments; run any number at once.
class DirectoryWalker {
 public:
  enum class EntryType { kFile, kDirectory, kSymlink, kOther };

  struct Entry {
    const std::string& path;  // full path: parent + "/" + name
    std::string_view name;
    EntryType type;
  };

  struct Callbacks {
    // Called for a folder just before it is read (the top folder too);
    // false skips its contents. A watcher adds its watch here, so that
    // nothing created while the folder is read is missed.
    std::function<bool(const std::string& folder)> enterFolder;
    // Called for each entry; for a folder, false keeps the walk out of it.
    std::function<bool(const Entry& entry)> entry;
    // Called for a folder that could not be read (errno; ENOENT when it
    // vanished), so that a caller never takes its absence for emptiness.
    std::function<void(const std::string& folder, int error)> folderSkipped;
    // Called when a folder cannot be opened because the process has no file
    // handle free (EMFILE, ENFILE); true tries it again at once. Unset: up
    // to kHandleRetries more tries, kHandleRetryPause apart, before the
    // folder counts as skipped: what it holds must not be lost for want of
    // a handle that is back a moment later.
    std::function<bool(const std::string& folder)> outOfHandles;
  };
  static constexpr int kHandleRetries = 50;
  static constexpr std::chrono::milliseconds kHandleRetryPause{100};

  struct Result {
    bool topReadable = false;  // the top folder could be opened and read
    int64_t foldersRead = 0;
    int64_t foldersSkipped = 0;  // vanished, unreadable, or too long a path
    bool stopped = false;
  };

  static Result walk(const std::string& top, const Callbacks& callbacks,
                     std::stop_token stop = {});
};

}  // namespace ulmora
