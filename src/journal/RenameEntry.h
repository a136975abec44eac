#pragma once

#include <compare>
#include <cstddef>
#include <functional>
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

template <>
struct std::hash<ulmora::RenameEntry> {
  std::size_t operator()(const ulmora::RenameEntry& e) const noexcept {
    const std::size_t a = std::hash<std::string>{}(e.originalPath);
    return a ^ (std::hash<std::string>{}(e.renamedPath) + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));
  }
};
