#pragma once

#include <compare>
#include <optional>
#include <string>
#include <vector>

#include "platform/PropertyList.h"

namespace ulmora {

// One rename: {"OriginalPath": old path, "RenamedPath": new path}, the
// element of rename lists and of the rename queues.
//
// Thread-safety: a value type.
struct RenameEntry {
  std::string originalPath;
  std::string renamedPath;

  auto operator<=>(const RenameEntry&) const = default;

  PropertyList toPropertyList() const;
  // nullopt unless `value` is a dictionary whose two keys hold non-empty texts.
  static std::optional<RenameEntry> fromPropertyList(const PropertyList& value);

  // The entry as the trace shows it, on one line:
  // {OriginalPath = "/a"; RenamedPath = "/b";}
  std::string description() const;
};

// A list of entries as the trace shows it: "(" entries ")", or "{(" entries
// ")}" for a set.
std::string describeRenames(const std::vector<RenameEntry>& entries, bool asSet);

}  // namespace ulmora
