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

namespace {

void appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace

std::string RenameEntry::description() const {
  std::string out = "{";
  out.append(journal::kOriginalPathKey).append(" = ");
  appendQuoted(out, originalPath);
  out.append("; ").append(journal::kRenamedPathKey).append(" = ");
  appendQuoted(out, renamedPath);
  out.append(";}");
  return out;
}

std::string describeRenames(const std::vector<RenameEntry>& entries, bool asSet) {
  std::string out = asSet ? "{(" : "(";
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) out.append(", ");
    out.append(entries[i].description());
  }
  out.append(asSet ? ")}" : ")");
  return out;
}

}  // namespace ulmora
