#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ThreadAnnotations.h"

#include "journal/RenameEntry.h"

namespace ulmora {

// Renames that hit files of the running upload set: recorded while the set
// uploads, followed when a file's upload is reported, handed to the input
// queue when the run ends, however it ends: a rename held back from the
// server and then dropped would leave the server on the old name for good.
//
// Thread-safety: every method may be called from any thread (the rename
// check runs on the main thread, the progress reports on the engine's).
class UploadRenames {
 public:
  // `from` of the running set was renamed to `to` (relative paths).
  void recordRename(const std::string& from, const std::string& to);

  // The current name of `file`, when it was renamed during the run: the
  // chain of renames is followed (at most as many steps as there are
  // renames) until `exists` says a path is there. The followed renames are
  // used up and {file -> current name} is held for the end of the run.
  std::optional<std::string> followRename(const std::string& file,
                                          const std::function<bool(const std::string&)>& exists);

  // The renames held for the end of the run; they are handed on once.
  std::vector<RenameEntry> takeFinished();
  // The renames no report used (the file's upload never reported done, or
  // the rename came after it), taken out; the renames of one file in a row
  // (a -> b, b -> c) come as one rename from its first name to its last.
  std::vector<RenameEntry> takeUnfollowed();
  // A new set is dispatched.
  void clear();

 private:
  Mutex mutex_;
  std::map<std::string, std::string> renameDic_ ULMORA_GUARDED_BY(mutex_);  // mRenameDicAfterBackup
  std::vector<RenameEntry> finished_ ULMORA_GUARDED_BY(mutex_);            // mRenameSetAfterbackupFinished
};

}  // namespace ulmora
