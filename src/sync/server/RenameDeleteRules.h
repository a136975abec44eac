#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "journal/RenameEntry.h"
#include "platform/PropertyList.h"

namespace ulmora {

// One journal set of local renames or deletes, as the worker holds it.
struct LocalChangeSet {
  std::string type;                  // "rename", "delete" or another type
  std::vector<std::string> paths;    // delete (and other) entries
  std::vector<RenameEntry> renames;  // rename entries

  bool operator==(const LocalChangeSet&) const = default;
  // From {type: [entries]}; nullopt for any other shape.
  static std::optional<LocalChangeSet> fromPropertyList(const PropertyList& set);
  PropertyList entries() const;
};

// The pure rules of the rename and delete worker.
namespace renamedelete {

// The next batch cut from `snapshot`: consecutive renames whose new names
// have one depth, none inside the folder the previous one was renamed to; a
// repeat of the last accepted entry is dropped with it. `taken` holds the
// snapshot positions to remove (accepted ones and repeats). The first entry is
// always taken, so every cut shortens the collection.
struct RenameBatch {
  std::vector<RenameEntry> batch;
  std::vector<std::size_t> taken;
};
RenameBatch cutRenameBatch(const std::vector<RenameEntry>& snapshot);

// `path` equals `folder` or lies below it, on whole components; a trailing
// "/" on either does not count.
bool isAtOrUnder(std::string_view path, std::string_view folder);

// Puts deletes after the later renames that create what they delete. The
// input queue writes a pass's delete list before its rename list, so "rename
// /a to /b, then delete /b" can arrive as [delete /b] [rename /a -> /b]; sent
// in that order the deleted item would come back. A delete of a path at or
// below a later rename's new name moves to a delete set right after the last
// such rename. Everything else keeps its order.
std::vector<LocalChangeSet> orderForUser(std::vector<LocalChangeSet> sets);

// The engine errors after which a rename run's outcome is unknown.
bool isConnectionError(std::string_view error);

// Engine texts carry the sync user name; logs show the account user name.
std::string withAccountUserName(std::string text, const std::string& syncUser,
                                const std::string& accountUser);

// A delete list that names a folder ("/" at the end) or a file with an
// extension; otherwise the paths look like the service's own items.
bool namesFoldersOrFiles(const std::vector<std::string>& paths);

// A relative path a journal may hand the worker: begins with "/", no ".."
// component, no NUL, not the root.
bool isUsableRelativePath(std::string_view path);

// `path` without trailing "/" (the root "/" stays).
std::string trimmed(std::string path);

// A relative path and each folder above it, nearest first, up to the root
// (not included) or to a path already in `seen` (which collects them).
std::vector<std::string> selfAndParents(const std::string& relativePath, std::set<std::string>& seen);

// Fills "%@" placeholders in order.
std::string format(std::string_view pattern, const std::vector<std::string>& values);

}  // namespace renamedelete
}  // namespace ulmora
