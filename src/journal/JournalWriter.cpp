#include "journal/JournalWriter.h"

#include <unordered_map>

#include "foundation/JournalStampGenerator.h"
#include "foundation/QLBackupProgressLogger.h"
#include "journal/JournalFormat.h"

namespace ulmora {
namespace {


std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\0') out += "\\0";
    else out.push_back(c);
  }
  return out;
}

}  // namespace

void JournalWriter::pauseAt(std::size_t index) const {
  if (index % 100 == 0) clock_.sleepFor(kPause);
}

JournalWriter::Result<std::string> JournalWriter::writeTextList(
    const JournalFolder& folder, const std::vector<std::string>& entries, std::string_view suffix,
    ChunkNames naming, FilePause filePause) const {
  Result<std::string> result;
  std::vector<std::string> accepted;
  accepted.reserve(entries.size());
  for (const auto& entry : entries) {
    if (entry.empty()) continue;
    if (!journal::canCarryInTextList(entry)) {
      daemonTrace("journal: refused a path a line list cannot carry: " + printable(entry));
      ++result.refused;
      continue;
    }
    accepted.push_back(entry);
  }
  const std::string listStamp = naming == ChunkNames::kNumbered ? stamps_.next() : std::string();
  std::size_t chunk = 0;
  for (std::size_t begin = 0; begin < accepted.size(); begin += journal::kEntriesPerFile, ++chunk) {
    std::size_t end = std::min(accepted.size(), begin + journal::kEntriesPerFile);
    std::string contents;
    for (std::size_t i = begin; i < end; ++i) {
      pauseAt(i - begin);
      if (i > begin) contents.push_back('\n');
      contents += accepted[i];
    }
    std::optional<std::string> name;
    if (naming == ChunkNames::kNumbered) {
      std::string number(1, '_');
      number.append(std::to_string(chunk + 1));
      name = folder.publishWithStamp(
          stamps_, listStamp, [&number](const std::string& s) { return s + number; }, contents);
    } else {
      name = folder.publish(stamps_, suffix, contents);
    }
    if (name) {
      result.published.push_back(std::move(*name));
    } else {
      result.unwritten.insert(result.unwritten.end(), accepted.begin() + begin,
                              accepted.begin() + end);
    }
    // Files are numbered from 1: file `chunk` + 1 was just written.
    const std::size_t written = chunk + 1;
    const std::size_t counted =
        filePause == FilePause::kAfterEveryHundredthFile ? written : written + 1;
    if (counted % 100 == 0) clock_.sleepFor(kPause);
  }
  return result;
}

JournalWriter::Result<RenameEntry> JournalWriter::writeRenameList(
    const JournalFolder& folder, const std::vector<RenameEntry>& entries,
    std::string_view suffix) const {
  Result<RenameEntry> result;
  PropertyList::Array array;
  std::vector<RenameEntry> accepted;
  for (const auto& entry : entries) {
    if (entry.originalPath.empty() || entry.renamedPath.empty()) continue;
    if (!journal::canCarryInPropertyList(entry.originalPath) ||
        !journal::canCarryInPropertyList(entry.renamedPath)) {
      daemonTrace("journal: refused a rename a property list cannot carry: " +
            printable(entry.originalPath) + " -> " + printable(entry.renamedPath));
      ++result.refused;
      continue;
    }
    array.push_back(entry.toPropertyList());
    accepted.push_back(entry);
  }
  if (accepted.empty()) return result;
  auto name = folder.publish(stamps_, suffix, PropertyList(std::move(array)).toXml());
  if (name)
    result.published.push_back(std::move(*name));
  else
    result.unwritten = std::move(accepted);
  return result;
}

JournalWriter::Result<JournalWriter::DownloadEntry> JournalWriter::writeDownloadLists(
    const JournalFolder& folder, const std::vector<DownloadEntry>& entries,
    std::string_view suffix) const {
  Result<DownloadEntry> result;
  std::vector<DownloadEntry> merged;
  std::unordered_map<std::string, std::size_t> where;
  for (const auto& [path, value] : entries) {
    if (path.empty()) continue;
    if (!journal::canCarryInPropertyList(path) || !journal::canCarryInPropertyList(value)) {
      daemonTrace("journal: refused a download entry a property list cannot carry: " + printable(path));
      ++result.refused;
      continue;
    }
    auto [it, fresh] = where.try_emplace(path, merged.size());
    if (fresh)
      merged.emplace_back(path, value);
    else
      merged[it->second].second = value;
  }
  for (std::size_t begin = 0; begin < merged.size(); begin += journal::kEntriesPerFile) {
    std::size_t end = std::min(merged.size(), begin + journal::kEntriesPerFile);
    PropertyList::Dict dict;
    for (std::size_t i = begin; i < end; ++i) {
      pauseAt(i - begin);
      dict.insert_or_assign(merged[i].first, PropertyList(merged[i].second));
    }
    auto name = folder.publish(stamps_, suffix, PropertyList(std::move(dict)).toXml());
    if (name)
      result.published.push_back(std::move(*name));
    else
      result.unwritten.insert(result.unwritten.end(), merged.begin() + begin, merged.begin() + end);
  }
  return result;
}

std::optional<std::string> JournalWriter::writeMarker(const JournalFolder& folder) const {
  return folder.publish(stamps_, {}, journal::kMarkerContent);
}

std::optional<std::string> JournalWriter::writeText(const JournalFolder& folder,
                                                    std::string_view suffix,
                                                    std::string_view contents) const {
  return folder.publish(stamps_, suffix, contents);
}

}  // namespace ulmora
