#include "journal/SyncRecordBuilder.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

namespace ulmora::syncrecord {
namespace {

// Room for REF_ID is reserved: most records get one appended.
Record withFacts(const std::string& path, const FileFacts& facts, const char* backup,
                 const char* restore) {
  Record r;
  r.reserve(12);
  for (const std::string* v : {&path, &facts.modificationDate, &facts.size}) r.push_back(*v);
  r.insert(r.end(), {kNA, kNA, flagText(facts.isFolder), kNA, kNA, backup, "1", restore});
  return r;
}

}  // namespace

std::optional<FileFacts> readFileFacts(const std::string& fullPath) {
  struct stat st;
  if (fullPath.empty() || ::stat(fullPath.c_str(), &st) != 0) return std::nullopt;
  FileFacts facts;
  facts.modificationDate = dateText(Clock::WallTime(std::chrono::seconds(st.st_mtim.tv_sec)));
  facts.size = std::to_string(static_cast<long long>(st.st_size));
  facts.isFolder = S_ISDIR(st.st_mode);
  return facts;
}

std::string dateText(Clock::WallTime t) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(
      std::chrono::time_point_cast<std::chrono::seconds>(t));
  // Files of one batch mostly share a few modification times.
  thread_local std::time_t lastSeconds = -1;
  thread_local std::string lastText;
  if (seconds == lastSeconds) return lastText;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d +0000", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  lastSeconds = seconds;
  lastText = text;
  return lastText;
}

Record uploaded(const std::string& relativePath, const FileFacts& facts) {
  Record r = withFacts(relativePath, facts, "1", "1");
  r.push_back(kNA);
  return r;
}

Record toDownload(const std::string& relativePath, const std::string& refId) {
  return {relativePath, kNA, kNA, kNA, kNA, kNA, kNA, kNA, "1", "1", "0", refId};
}

Record withRefId(const std::string& relativePath, const FileFacts& facts,
                 const std::string& refId) {
  Record r = withFacts(relativePath, facts, "1", "1");
  r.push_back(refId);
  return r;
}

Record renamed(const std::string& oldRelativePath, const std::string& newRelativePath,
               bool newIsFolder) {
  return {oldRelativePath, newRelativePath, kNA, kNA, kNA, flagText(newIsFolder),
          kNA,             kNA,             "1", "1", "1", kNA};
}

Record newLocalFile(const std::string& relativePath, const FileFacts& facts) {
  Record r = withFacts(relativePath, facts, "0", "1");
  r.push_back("");
  return r;
}

Record outOfBoxNew(const std::string& path, const FileFacts& facts) {
  return withFacts(path, facts, "0", "1");
}

Record outOfBoxUploaded(const std::string& relativePath, const FileFacts& facts) {
  return withFacts(relativePath, facts, "1", "1");
}

Record outOfBoxPending(const std::string& relativePath) {
  return {relativePath, kNA, kNA, kNA, kNA, kNA, kNA, kNA, "1", "1", "0"};
}

}  // namespace ulmora::syncrecord
