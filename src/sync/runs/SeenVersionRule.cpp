#include "sync/runs/SeenVersionRule.h"

#include <charconv>
#include <chrono>
#include <ctime>

#include "capture/ExcludedFilesCollections.h"

namespace ulmora {
namespace {

std::optional<int64_t> digits(std::string_view text, size_t at, size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int64_t value = 0;
  const char* begin = text.data() + at;
  auto [end, ec] = std::from_chars(begin, begin + count, value);
  if (ec != std::errc() || end != begin + count || value < 0) return std::nullopt;
  return value;
}

std::string withoutBlanks(std::string text) {
  std::erase(text, ' ');
  return text;
}

bool isDecimal(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::optional<int64_t> recordedDateSeconds(std::string_view text) {
  if (text.size() != 25 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' ||
      text[16] != ':' || text.substr(19) != " +0000")
    return std::nullopt;
  auto year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
  auto hour = digits(text, 11, 2), minute = digits(text, 14, 2), second = digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60)
    return std::nullopt;
  std::tm fields{};
  fields.tm_year = int(*year - 1900);
  fields.tm_mon = int(*month - 1);
  fields.tm_mday = int(*day);
  fields.tm_hour = int(*hour);
  fields.tm_min = int(*minute);
  fields.tm_sec = int(*second);
  return static_cast<int64_t>(timegm(&fields));
}

std::optional<engineset::SeenVersion> seenVersionForUpload(const UploadRowFacts& row) {
  if (!row.backedUp || !row.restored || !row.recorded) return std::nullopt;
  const auto& [date, sizeText] = *row.recorded;
  if (!date || !sizeText) return std::nullopt;
  auto seconds = recordedDateSeconds(*date);
  int64_t size = -1;
  auto [end, ec] = std::from_chars(sizeText->data(), sizeText->data() + sizeText->size(), size);
  if (!seconds || ec != std::errc() || end != sizeText->data() + sizeText->size() || size < 0)
    return std::nullopt;
  engineset::SeenVersion seen{size, *seconds, {}};
  // Rows still waiting for an id hold "" or "NA": the file is then known by
  // its size and time alone.
  std::string refId = withoutBlanks(row.refId.value_or(""));
  if (isDecimal(refId)) seen.refId = refId;
  return seen;
}

std::optional<engineset::SeenVersion> seenVersionForUpload(ExcludedFilesCollections& transfers,
                                                           const std::string& relativePath,
                                                           const std::optional<engineset::SeenVersion>& row) {
  std::optional<std::pair<int64_t, int64_t>> rowVersion;
  if (row) rowVersion = std::make_pair(row->size, row->mtimeSeconds);
  auto own = transfers.versionAheadOfRow(relativePath, rowVersion);
  if (!own) {
    if (auto handed = transfers.versionHandedOnByRename(relativePath, rowVersion))
      return engineset::SeenVersion{handed->size, handed->mtimeSeconds, handed->refId};
    return row;
  }
  // No reference id: a new file's is not known here until a listing tells,
  // and size and time alone still tell another computer's version apart.
  using std::chrono::seconds;
  return engineset::SeenVersion{own->size, std::chrono::floor<seconds>(std::chrono::nanoseconds(own->modifiedNs)).count(), {}};
}

namespace {

std::optional<ExcludedFilesCollections::SeenAtRename> kept(const std::optional<engineset::SeenVersion>& seen) {
  if (!seen) return std::nullopt;
  return ExcludedFilesCollections::SeenAtRename{seen->size, seen->mtimeSeconds, seen->refId};
}

}  // namespace

void handSeenVersionOn(ExcludedFilesCollections& transfers, const std::string& from, const std::string& to,
                       const std::optional<engineset::SeenVersion>& seenAtFrom) {
  transfers.renamedHere(from, to, kept(seenAtFrom));
}

void keepSeenVersionOfGoneFile(ExcludedFilesCollections& transfers, const std::string& relativePath,
                               const std::optional<engineset::SeenVersion>& seen) {
  transfers.rowGoesWithFile(relativePath, kept(seen));
}

bool isNewerVersionRefusal(std::string_view engineMessage) {
  return engineMessage.find("version check failed") != std::string_view::npos;
}

}  // namespace ulmora
