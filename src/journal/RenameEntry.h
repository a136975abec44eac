#pragma once

#include <compare>
#include <optional>
#include <string>

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
};

}  // namespace ulmora
