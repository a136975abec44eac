#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/EngineLineRecord.h"
#include "engine/QLSYNCParser.h"
#include "engine/UMCommandExcecuter.h"
#include "WaitUntil.h"

namespace ulmora::testing {

bool isEnding(const std::string& name) {
  return name == "operationDidFailWithError" || name == "operationDidFailWithOverQuota" ||
         name == "operationDidCancel" || name == "operationDidFinishSuccessfully";
}

void RecordingDelegate::operationDidReceiveData(const KVTProgressRecord& r, KVTBackupManager&) {
  if (onData) onData(r);
  {
    std::lock_guard<std::mutex> lock(mu_);
    records_.push_back(r);
  }
  add("operationDidReceiveData", r.filename);
}

void RecordingDelegate::deleteHalfRestoredFiles() {
  if (onDeleteHalfRestored) onDeleteHalfRestored();
  add("deleteHalfRestoredFiles");
}

void RecordingDelegate::add(std::string name, std::string text) {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.push_back({std::move(name), std::move(text), std::this_thread::get_id()});
  cv_.notify_all();
}

bool RecordingDelegate::waitFor(const std::function<bool(const std::vector<Call>&)>& pred,
                                std::chrono::seconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return pred(calls_); });
}

bool RecordingDelegate::waitForEnding(std::chrono::seconds limit) {
  return waitFor([](const std::vector<Call>& calls) {
    return std::any_of(calls.begin(), calls.end(), [](const Call& c) { return isEnding(c.name); });
  }, limit);
}

bool RecordingDelegate::waitForCall(const std::string& name, std::chrono::seconds limit) {
  return waitFor([&](const std::vector<Call>& calls) {
    return std::any_of(calls.begin(), calls.end(), [&](const Call& c) { return c.name == name; });
  }, limit);
}

std::vector<RecordingDelegate::Call> RecordingDelegate::calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

std::vector<std::string> RecordingDelegate::names() const {
  std::vector<std::string> out;
  for (const Call& c : calls()) out.push_back(c.name);
  return out;
}

std::vector<KVTProgressRecord> RecordingDelegate::records() const {
  std::lock_guard<std::mutex> lock(mu_);
  return records_;
}

int RecordingDelegate::count(const std::string& name) const {
  std::vector<std::string> n = names();
  return static_cast<int>(std::count(n.begin(), n.end(), name));
}

std::string RecordingDelegate::ending() const {
  std::string found;
  for (const std::string& n : names()) {
    if (!isEnding(n)) continue;
    EXPECT_TRUE(found.empty()) << "a second ending: " << found << " then " << n;
    found = n;
  }
  return found;
}

bool eventually(const std::function<bool()>& pred, std::chrono::seconds limit) {
  return waitUntil(pred, limit);
}

std::set<std::string> serverFiles(const std::string& storage, const std::string& user) {
  UMCommandExcecuter run;
  run.setCommandString(enginePath());
  run.setCommandArguments({"--search", "--proxy=", user + "@" + storage + "::quellar/"});
  run.setEnvironment({{"RSYNC_PASSWORD", "pw"}});
  std::string err;
  std::optional<std::string> out = run.excecute(&err, nullptr);
  std::set<std::string> files;
  if (!out) return files;
  size_t start = 0;
  while (start < out->size()) {
    size_t nl = out->find('\n', start);
    std::string line = out->substr(start, nl - start);
    start = nl == std::string::npos ? out->size() : nl + 1;
    EngineLineRecord r;
    if (QLSYNCParser::ParseLineStr(line, r, QLSYNCParser::kSearch) == QLSYNCParser::kOk &&
        r.kind() == "FOUND" && r.text("FileType") == "file") {
      files.insert(r.text("FileName"));
    }
  }
  return files;
}

}  // namespace ulmora::testing
