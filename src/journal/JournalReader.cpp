#include "journal/JournalReader.h"

#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"

namespace ulmora {
namespace {


std::string sourceOf(const JournalFolder& folder, std::string_view name) {
  return folder.pathFor(name);
}

// Reads one file; an unreadable one is traced and yields nothing.
std::optional<std::string> readOrTrace(const JournalFolder& folder, const std::string& name) {
  auto contents = folder.read(name);
  if (!contents) daemonTrace("journal: unreadable list file " + sourceOf(folder, name));
  return contents;
}

}  // namespace

PropertyList EventSet::toPropertyList() const {
  PropertyList::Array entries;
  for (const auto& p : paths) entries.emplace_back(p);
  for (const auto& r : renames) entries.push_back(r.toPropertyList());
  PropertyList::Dict d;
  d.emplace(type, PropertyList(std::move(entries)));
  return PropertyList(std::move(d));
}

std::vector<std::string> JournalReader::parseTextList(std::string_view contents) {
  return journal::splitTextList(contents);
}

std::vector<RenameEntry> JournalReader::parseRenameList(std::string_view contents,
                                                        std::string_view source) {
  std::vector<RenameEntry> out;
  auto plist = PropertyList::parse(contents);
  const PropertyList::Array* array = plist ? plist->asArray() : nullptr;
  if (!array) {
    daemonTrace("journal: rename list is not an array: " + std::string(source));
    return out;
  }
  std::size_t bad = 0;
  for (const auto& element : *array) {
    if (auto entry = RenameEntry::fromPropertyList(element))
      out.push_back(std::move(*entry));
    else
      ++bad;
  }
  if (bad)
    daemonTrace("journal: " + std::to_string(bad) + " malformed rename entries left out of " +
          std::string(source));
  return out;
}

std::vector<std::pair<std::string, std::string>> JournalReader::parseDownloadList(
    std::string_view contents, std::string_view source) {
  std::vector<std::pair<std::string, std::string>> out;
  auto plist = PropertyList::parse(contents);
  const PropertyList::Dict* dict = plist ? plist->asDict() : nullptr;
  if (!dict) {
    daemonTrace("journal: download list is not a dictionary: " + std::string(source));
    return out;
  }
  std::size_t bad = 0;
  for (const auto& [path, value] : *dict) {
    const std::string* text = value.asString();
    if (text && !path.empty())
      out.emplace_back(path, *text);
    else
      ++bad;
  }
  if (bad)
    daemonTrace("journal: " + std::to_string(bad) + " malformed download entries left out of " +
          std::string(source));
  return out;
}

std::vector<std::string> JournalReader::batchNames(const JournalFolder& folder, bool limited) {
  std::vector<std::string> listing = folder.names();
  const bool batch = limited && listing.size() >= journal::kBatchListingThreshold;
  std::vector<std::string> out;
  for (auto& name : listing) {
    if (batch && out.size() >= journal::kBatchFileLimit) break;
    if (!journal::isSkipped(name, journal::SkipRule::kReader)) out.push_back(std::move(name));
  }
  return out;
}

std::vector<std::string> JournalReader::takeTextLists(const JournalFolder& folder, bool limited) {
  std::vector<std::string> out;
  for (const auto& name : batchNames(folder, limited)) {
    if (auto contents = readOrTrace(folder, name)) {
      auto lines = parseTextList(*contents);
      out.insert(out.end(), std::make_move_iterator(lines.begin()),
                 std::make_move_iterator(lines.end()));
    }
    folder.consume(name);
  }
  return out;
}

PropertyList::Dict JournalReader::takeDownloadLists(const JournalFolder& folder, bool limited) {
  PropertyList::Dict out;
  for (const auto& name : batchNames(folder, limited)) {
    if (auto contents = readOrTrace(folder, name)) {
      for (auto& [path, value] : parseDownloadList(*contents, sourceOf(folder, name)))
        out.insert_or_assign(std::move(path), PropertyList(std::move(value)));
    }
    folder.consume(name);
  }
  return out;
}

std::vector<std::string> JournalReader::takeMarkers(const JournalFolder& folder) {
  std::vector<std::string> out;
  for (const auto& name : batchNames(folder, false)) {
    if (auto contents = readOrTrace(folder, name)) out.push_back(std::move(*contents));
    folder.consume(name);
  }
  return out;
}

std::optional<EventSet> JournalReader::takeEventSet(const JournalFolder& folder) {
  EventSet set;
  for (const auto& name : folder.eligibleNames(journal::SkipRule::kPendingCheck)) {
    auto type = journal::eventTypeOf(name);
    if (set.type.empty()) {
      if (!type) {
        daemonTrace("journal: event file without a type ending set aside: " + sourceOf(folder, name));
        folder.setAside(name);
        continue;
      }
      set.type = std::string(*type);
    } else if (!type || *type != set.type) {
      break;
    }
    if (auto contents = readOrTrace(folder, name)) {
      if (set.type == journal::kEventRename) {
        auto renames = parseRenameList(*contents, sourceOf(folder, name));
        set.renames.insert(set.renames.end(), renames.begin(), renames.end());
      } else {
        auto lines = parseTextList(*contents);
        set.paths.insert(set.paths.end(), std::make_move_iterator(lines.begin()),
                         std::make_move_iterator(lines.end()));
      }
    }
    folder.consume(name);
  }
  if (set.empty()) return std::nullopt;
  return set;
}

std::vector<std::string> JournalReader::peekTextLines(const JournalFolder& folder,
                                                      std::string_view type) {
  std::vector<std::string> out;
  for (const auto& name : folder.eligibleNames(journal::SkipRule::kPendingCheck)) {
    if (!type.empty() && journal::eventTypeOf(name) != type) continue;
    if (auto contents = folder.read(name)) {
      auto lines = parseTextList(*contents);
      out.insert(out.end(), std::make_move_iterator(lines.begin()),
                 std::make_move_iterator(lines.end()));
    }
  }
  return out;
}

std::vector<RenameEntry> JournalReader::peekRenames(const JournalFolder& folder) {
  std::vector<RenameEntry> out;
  for (const auto& name : folder.eligibleNames(journal::SkipRule::kPendingCheck)) {
    if (journal::eventTypeOf(name) != journal::kEventRename) continue;
    if (auto contents = folder.read(name)) {
      auto renames = parseRenameList(*contents, sourceOf(folder, name));
      out.insert(out.end(), renames.begin(), renames.end());
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> JournalReader::peekDownloadEntries(
    const JournalFolder& folder) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& name : folder.eligibleNames(journal::SkipRule::kPendingCheck)) {
    if (auto contents = folder.read(name)) {
      auto entries = parseDownloadList(*contents, sourceOf(folder, name));
      out.insert(out.end(), std::make_move_iterator(entries.begin()),
                 std::make_move_iterator(entries.end()));
    }
  }
  return out;
}

}  // namespace ulmora
