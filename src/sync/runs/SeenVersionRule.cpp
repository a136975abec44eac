#include "sync/runs/SeenVersionRule.h"

#include <sys/stat.h>

#include <charconv>
#include <ctime>

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

void OwnSyncedVersions::transferFinished(const std::string& relativePath, const std::string& fullPath,
                                         std::string_view reportedSize) {
  if (relativePath.empty() || relativePath == "/") return;
  int64_t reported = -1;
  auto [end, ec] = std::from_chars(reportedSize.data(), reportedSize.data() + reportedSize.size(), reported);
  const bool sizeKnown = ec == std::errc() && end == reportedSize.data() + reportedSize.size() && reported >= 0;
  struct stat st {};
  const bool same = sizeKnown && !fullPath.empty() && ::stat(fullPath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                    static_cast<int64_t>(st.st_size) == reported;
  MutexLock lock(mutex_);
  if (!same) {
    versions_.erase(relativePath);
    return;
  }
  // No reference id: a new file's is not known here until a listing tells,
  // and size and time alone still tell another computer's version apart.
  versions_.insert_or_assign(relativePath,
                             engineset::SeenVersion{reported, static_cast<int64_t>(st.st_mtim.tv_sec), {}});
}

std::optional<engineset::SeenVersion> OwnSyncedVersions::seenVersion(
    const std::string& relativePath, const std::optional<engineset::SeenVersion>& row) {
  MutexLock lock(mutex_);
  auto found = versions_.find(relativePath);
  if (found == versions_.end()) return row;
  if (row && row->size == found->second.size && row->mtimeSeconds == found->second.mtimeSeconds) {
    versions_.erase(found);
    return row;
  }
  return found->second;
}

bool OwnSyncedVersions::holds(const std::string& relativePath) const {
  MutexLock lock(mutex_);
  return versions_.contains(relativePath);
}

std::size_t OwnSyncedVersions::size() const {
  MutexLock lock(mutex_);
  return versions_.size();
}

bool isNewerVersionRefusal(std::string_view engineMessage) {
  return engineMessage.find("version check failed") != std::string_view::npos;
}

}  // namespace ulmora
