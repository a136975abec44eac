#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UniqueFd.h"

// Reaching an item below a folder the agent trusts (the sync root) without
// following a symbolic link on the way: every folder between the two is
// opened with O_NOFOLLOW, one component at a time, so a link planted inside
// cannot carry an operation elsewhere. The trusted folder itself may be a
// link the user chose. The item is then handled with the *at calls on the
// folder that holds it.
//
// Thread-safety: free functions sharing no state. The file system may change
// between calls; each call is one decision on what it finds.
namespace ulmora::linksafe {

// The non-empty components of a path ("/a//b/" -> a, b).
std::vector<std::string> components(std::string_view path);

// The components of a path that may be resolved below a folder: nullopt when
// there are none, or when the path holds a NUL byte or a "." or ".."
// component.
std::optional<std::vector<std::string>> plainComponents(std::string_view path);

// The folder holding the last of `parts`, and that last name.
struct Parent {
  UniqueFd folder;  // O_PATH: good for the *at calls, not for reading
  std::string leaf;
};

struct OpenOptions {
  // False: the trusted folder itself must not be a link either (a sync root
  // replaced by a link to another folder is not the sync folder).
  bool followRoot = true;
  // Missing folders on the way are made with `mode`.
  bool create = false;
  mode_t mode = 0700;
  // Told of every folder made: the folder it was made in, and its name.
  std::function<void(int dirFd, const std::string& name)> made;
};

// Opens, from `root` down, the folder that holds the last of `parts`.
// nullopt (errno set) when `parts` is empty, or a folder on the way is
// missing (and not made), is a link, or is not a folder.
std::optional<Parent> openParent(const std::string& root, const std::vector<std::string>& parts,
                                 const OpenOptions& options = {});

}  // namespace ulmora::linksafe
