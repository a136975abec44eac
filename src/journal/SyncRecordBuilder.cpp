#include "journal/SyncRecordBuilder.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

namespace ulmora::syncrecord {
namespace {

// Room for REF_ID is reserved: most records get one appended.
Record withFacts(std::string path, FileFacts facts, const char* backup, const char* restore) {
  Record r;
  r.reserve(12);
  r.push_back(std::move(path));
  r.push_back(std::move(facts.modificationDate));
  r.push_back(std::move(facts.size));
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

Record uploaded(std::string relativePath, FileFacts facts) {
  Record r = withFacts(std::move(relativePath), std::move(facts), "1", "1");
  r.push_back(kNA);
  return r;
}

Record toDownload(std::string relativePath, std::string refId) {
  Record r;
  r.reserve(12);
  r.push_back(std::move(relativePath));
  r.insert(r.end(), {kNA, kNA, kNA, kNA, kNA, kNA, kNA, "1", "1", "0"});
  r.push_back(std::move(refId));
  return r;
}

Record withRefId(std::string relativePath, FileFacts facts, std::string refId) {
  Record r = withFacts(std::move(relativePath), std::move(facts), "1", "1");
  r.push_back(std::move(refId));
  return r;
}

Record renamed(std::string oldRelativePath, std::string newRelativePath, bool newIsFolder) {
  Record r;
  r.reserve(12);
  r.push_back(std::move(oldRelativePath));
  r.push_back(std::move(newRelativePath));
  r.insert(r.end(), {kNA, kNA, kNA, flagText(newIsFolder), kNA, kNA, "1", "1", "1", kNA});
  return r;
}

Record newLocalFile(std::string relativePath, FileFacts facts) {
  Record r = withFacts(std::move(relativePath), std::move(facts), "0", "1");
  r.push_back("");
  return r;
}

Record outOfBoxNew(std::string path, FileFacts facts) {
  return withFacts(std::move(path), std::move(facts), "0", "1");
}

Record outOfBoxUploaded(std::string relativePath, FileFacts facts) {
  return withFacts(std::move(relativePath), std::move(facts), "1", "1");
}

Record outOfBoxPending(std::string relativePath) {
  Record r;
  r.reserve(11);
  r.push_back(std::move(relativePath));
  r.insert(r.end(), {kNA, kNA, kNA, kNA, kNA, kNA, kNA, "1", "1", "0"});
  return r;
}

}  // namespace ulmora::syncrecord
