#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal/JournalFormat.h"

namespace ulmora {

class JournalStampGenerator;

// One journal folder: the file operations of the journal format
// (docs/journal.md). Writers publish complete files under names readers
// accept; readers consume files by renaming them to "<name>.delete".
//
// Every change made through any JournalFolder object for a path (publish,
// consume, set aside, removal, clear) bumps a change counter shared by the
// whole process for that path. The pending-download check caches its reading
// of folder 105 against this counter, because a folder's modification time
// misses changes within its resolution; so every writer of a journal folder
// must go through this class.
//
// An empty path stands for a folder that could not be resolved: it lists
// nothing and every change fails (with a trace line).
//
// Thread-safety: all methods may be called from any thread. Objects are cheap
// to make; several objects for one path share the counter.
class JournalFolder {
 public:
  explicit JournalFolder(std::string path);

  const std::string& path() const { return path_; }
  bool valid() const { return !path_.empty(); }
  std::string pathFor(std::string_view name) const;

  // Creates the folder and its parents (0700) when missing.
  bool ensureExists() const;

  // Every name in the folder, in journal order (journalNameLess); empty when
  // the folder is missing or unreadable.
  std::vector<std::string> names() const;
  // The names a reader with `rule` does not skip, in journal order.
  std::vector<std::string> eligibleNames(journal::SkipRule rule) const;
  bool hasEligible(journal::SkipRule rule) const;

  // Whole content of a file of this folder; nullopt when it cannot be read.
  std::optional<std::string> read(std::string_view name) const;

  // Writes `contents` to an in-progress file ("....progress", which every
  // reader skips), flushes it to disk, and publishes it under
  // stamp + `suffix` without replacing anything; when that name is taken a
  // fresh stamp is drawn. Returns the published name, or nullopt (nothing
  // left behind, trace line) when the file could not be written.
  std::optional<std::string> publish(JournalStampGenerator& stamps, std::string_view suffix,
                                     std::string_view contents) const;
  // The same with a caller-chosen name built from a stamp (numbered chunks:
  // one stamp per list, a fresh stamp only for a chunk whose name is taken).
  std::optional<std::string> publishWithStamp(
      JournalStampGenerator& stamps, const std::string& firstStamp,
      const std::function<std::string(const std::string& stamp)>& nameForStamp,
      std::string_view contents) const;

  // Renames `name` to "<name>.delete". A consumed file of the same name left
  // from an earlier run is replaced: consumed files are only waiting to be
  // removed.
  bool consume(std::string_view name) const;
  // Renames `name` to "<name>.read", a name every event reader and pending
  // check skips, keeping the file for inspection until the folder is cleared.
  bool setAside(std::string_view name) const;

  // Removes every item whose extension is exactly "delete".
  void removeConsumed() const;
  // Removes the folder with everything in it and creates it again, empty.
  void clear() const;
  // Removes every item of the folder; `onEach` sees each removed name first.
  void removeContents(const std::function<void(const std::string& name)>& onEach = {}) const;
  // The stamp of the oldest stamped name in the folder, whatever its state;
  // nullopt when no name carries a stamp.
  std::optional<std::string> oldestStamp() const;
  // The stamp of the newest stamped name in the folder, whatever its state.
  std::optional<std::string> newestStamp() const;
  // QLUtility::doesContainsFile of the folder, except that in-progress files
  // (isTemporaryName) at its top do not count.
  bool holdsFilesBesidesTemporaries() const;
  // Removes the in-progress files last changed before `cutoff`: a crash
  // between writing one and publishing it leaves it behind for good, while
  // a writer of this process may be writing a newer one right now.
  void removeTemporariesFrom(std::chrono::system_clock::time_point cutoff) const;
  // Removes every stamped item whose stamp is older than `stamp`; every
  // stamped item when `stamp` is nullopt.
  void removeStampedBefore(const std::optional<std::string>& stamp) const;

  // The process-wide change counter of this path.
  uint64_t changeCount() const;
  // Bumps the counter for a change made outside this class.
  void noteChange() const;

 private:
  bool moveNoReplace(const std::string& from, std::string_view toName) const;

  std::string path_;
  std::shared_ptr<std::atomic<uint64_t>> counter_;
};

namespace journal {

// Follows a cleaning of the upload folder (consumed files removed, or the
// whole folder cleared) in the folder of its count files. A count file is
// published just after its upload list and nothing reads it: it goes with its
// list, once every list left is newer than it, or the folder would grow by
// one file per list for as long as the account syncs.
void cleanUploadCounts(const JournalFolder& uploads, const JournalFolder& counts, bool onlyConsumed);

// What every start of a writer does to each of its folders: removes the
// in-progress files an earlier process left (removeTemporariesFrom, with the
// time this process started) and makes `stamps` hand out only names after
// the newest one already there, so that a restart after the local time fell
// back never files new work before unread older work.
void takeUpFolderAtStart(const JournalFolder& folder, JournalStampGenerator& stamps);

}  // namespace journal
}  // namespace ulmora
