#include "journal/RenameEntry.h"

#include "journal/JournalFormat.h"

namespace ulmora {

PropertyList RenameEntry::toPropertyList() const {
  PropertyList::Dict d;
  d.emplace(std::string(journal::kOriginalPathKey), originalPath);
  d.emplace(std::string(journal::kRenamedPathKey), renamedPath);
  return PropertyList(std::move(d));
}

std::optional<RenameEntry> RenameEntry::fromPropertyList(const PropertyList& value) {
  auto from = value.stringFor(journal::kOriginalPathKey);
  auto to = value.stringFor(journal::kRenamedPathKey);
  if (!from || !to || from->empty() || to->empty()) return std::nullopt;
  return RenameEntry{std::move(*from), std::move(*to)};
}

}  // namespace ulmora
