#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <dirent.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "platform/ProcessRunner.h"

namespace ulmora::testing {

// One finished engine run: its exit, its stdout split into TAB fields.
struct EngineResult {
  int status = -1;
  int signal = 0;
  std::vector<std::vector<std::string>> lines;
  std::string err;

  std::vector<std::vector<std::string>> withKeyword(const std::string& keyword) const {
    std::vector<std::vector<std::string>> found;
    for (const auto& line : lines)
      if (!line.empty() && line[0] == keyword) found.push_back(line);
    return found;
  }
  std::string text() const {
    std::string all;
    for (const auto& line : lines) {
      for (size_t i = 0; i < line.size(); ++i) all += (i ? "\t" : "") + line[i];
      all += "\n";
    }
    return all;
  }
};

inline std::vector<std::string> splitTabs(std::string_view line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.emplace_back(line.substr(start, tab == std::string_view::npos ? line.npos : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// A storage folder, a local sync root and a work folder in a temporary
// folder, and the built ulmora-kvt run against them as a child process.
class EngineHarness : public ::testing::Test {
 protected:
  EngineHarness() {
    mkdir(tmp_.sub("store").c_str(), 0700);
    mkdir(tmp_.sub("local").c_str(), 0700);
    mkdir(tmp_.sub("work").c_str(), 0700);
  }

  std::string storage() const { return tmp_.sub("store"); }
  std::string local() const { return tmp_.sub("local"); }
  std::string work() const { return tmp_.sub("work"); }
  std::string remote(const std::string& path = "/", const std::string& user = "alice") const {
    return user + "@" + storage() + "::quellar" + path;
  }

  std::string writeLocal(const std::string& relative, const std::string& contents) {
    return tmp_.writeFile("local" + relative, contents);
  }
  // A set file; `root` is the root line (empty for none).
  std::string writeSet(const std::vector<std::string>& paths, const std::string& root) {
    std::string text = root.empty() ? "" : root + "\n";
    for (const std::string& path : paths) text += path + "\n";
    return tmp_.writeFile("work/set" + std::to_string(++setCount_), text);
  }
  void writeFaults(const std::string& text) { tmp_.writeFile("store/faults", text); }
  void writeControl(const std::string& name, const std::string& text) {
    tmp_.writeFile("work/" + name, text);
  }

  using LineHook = std::function<void(const std::vector<std::string>&)>;

  EngineResult run(std::vector<std::string> args, LineHook hook = nullptr,
                   std::vector<std::pair<std::string, std::string>> env = {}) {
    ProcessOptions options;
    options.executable = ULMORA_ENGINE_PATH;
    options.arguments = std::move(args);
    options.environment = std::move(env);
    options.timeout = std::chrono::seconds(60);
    ChildProcess child(options);
    EngineResult result;
    child.setStdoutLineHandler([&](std::string_view line) {
      result.lines.push_back(splitTabs(line));
      if (hook) hook(result.lines.back());
    });
    // Set before the first line can reach a hook.
    running_ = &child;
    child.start();
    ProcessResult done = child.wait();
    running_ = nullptr;
    result.status = done.exitStatus;
    result.signal = done.termSignal;
    result.err = done.err;
    return result;
  }

  EngineResult upload(const std::vector<std::string>& paths, LineHook hook = nullptr) {
    return run({"--work-dir=" + work(), "--files-from=" + writeSet(paths, local()), local(),
                remote()},
               std::move(hook));
  }
  EngineResult download(const std::vector<std::string>& paths, const std::string& into,
                        LineHook hook = nullptr) {
    return run({"--work-dir=" + work(), "--mirror", "--files-from=" + writeSet(paths, ""),
                remote(), into},
               std::move(hook));
  }
  EngineResult listing(int64_t after) {
    return run({"--list-changes=" + std::to_string(after), remote()});
  }
  // fname -> the LIST record of a listing after `after`.
  std::map<std::string, std::vector<std::string>> listed(int64_t after) {
    std::map<std::string, std::vector<std::string>> byName;
    for (const auto& line : listing(after).withKeyword("LIST")) byName[line.at(8)] = line;
    return byName;
  }
  int64_t highestIndex() {
    auto index = listing(0).withKeyword("INDEX");
    return index.empty() ? -1 : std::stoll(index[0].at(1));
  }

  TestTempDir tmp_;
  int setCount_ = 0;
  // The engine of run(), for hooks that signal it; atomic because two
  // threads may each run an engine at once.
  std::atomic<ChildProcess*> running_{nullptr};
};

// LIST fields: 1 index, 2 in_trash, 3 file_ver, 4 size, 5 mod_time, 6 ref_id,
// 7 rc_id, 8 fname, 9 fnameOld.
enum ListField { kIndex = 1, kInTrash, kFileVer, kSize, kModTime, kRefId, kRcId, kName, kOldName };

}  // namespace ulmora::testing
