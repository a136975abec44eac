#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "JournalTestSupport.h"
#include "journal/CompanionMessenger.h"
#include "journal/JournalReader.h"
#include "journal/SyncFilesController.h"
#include "journal/SyncFilesControllerProtocol.h"
#include "journal/SyncFilesHost.h"

namespace ulmora::testing {

class FakeMessenger final : public CompanionMessenger {
 public:
  void sendIPCMessage(const PropertyList& payload, int type, bool) override {
    std::lock_guard<std::mutex> l(mu_);
    sent_.emplace_back(type, payload);
  }
  std::vector<std::pair<int, PropertyList>> sent() {
    std::lock_guard<std::mutex> l(mu_);
    return sent_;
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<int, PropertyList>> sent_;
};

class FakeSyncFilesHost final : public SyncFilesHost {
 public:
  std::string syncRootPath() override {
    std::lock_guard<std::mutex> l(mu_);
    rootAskedOn_.insert(std::this_thread::get_id());
    return root_;
  }
  std::shared_ptr<CompanionMessenger> finderMessenger() override {
    std::lock_guard<std::mutex> l(mu_);
    return finder_;
  }
  std::shared_ptr<CompanionMessenger> monitorMessenger() override {
    std::lock_guard<std::mutex> l(mu_);
    return monitor_;
  }
  void setRoot(std::string root) {
    std::lock_guard<std::mutex> l(mu_);
    root_ = std::move(root);
  }
  void setChannels(std::shared_ptr<FakeMessenger> finder, std::shared_ptr<FakeMessenger> monitor) {
    std::lock_guard<std::mutex> l(mu_);
    finder_ = std::move(finder);
    monitor_ = std::move(monitor);
  }
  std::set<std::thread::id> rootAskedOn() {
    std::lock_guard<std::mutex> l(mu_);
    return rootAskedOn_;
  }

 private:
  std::mutex mu_;
  std::string root_;
  std::shared_ptr<CompanionMessenger> finder_, monitor_;
  std::set<std::thread::id> rootAskedOn_;
};

// One account with its sync root, journal folders under a temporary folder,
// and a writer wired to fakes. Ticks run on the test's thread with `Clk`
// SteppingClock; thread tests use ManualClock.
template <typename Clk = SteppingClock>
class SfcFixture {
 public:
  SfcFixture() : root_(dir_.sub("Sync")), stamps_(clock_) {
    fileutil::makeDirectories(root_);
    host_.setRoot(root_);
    host_.setChannels(finder_, monitor_);
    SyncFilesController::Options o;
    o.clock = &clock_;
    o.stamps = &stamps_;
    o.applicationFile = [this](int index) { return appFile(index); };
    o.host = &host_;
    o.poster = &poster_;
    o.machineName = "box1";
    PropertyList::Dict details{{"ConsoleUser", "alice"}, {"SyncUser", "alice.sync"}};
    sfc_ = std::make_unique<SyncFilesController>(PropertyList(details), std::move(o));
    sfc_->createSyncFilesDir();
  }

  std::string appFile(int index) const { return dir_.sub("App/" + std::to_string(index)); }
  JournalFolder folder(int index) const { return JournalFolder(appFile(index)); }
  std::vector<std::string> published(int index) const {
    return folder(index).eligibleNames(journal::SkipRule::kPendingCheck);
  }
  std::string contents(int index, const std::string& name) const {
    return folder(index).read(name).value_or("<unreadable>");
  }
  std::vector<std::string> lines(int index, const std::string& name) const {
    return journal::splitTextList(contents(index, name));
  }
  std::string full(const std::string& relative) const { return root_ + relative; }
  std::string makeFile(const std::string& relative) const {
    std::string path = full(relative);
    fileutil::makeDirectories(fileutil::parentPath(path));
    // No flush: thousands of these make a chunking test.
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    return path;
  }
  // Stands a plain file in for a journal folder, so nothing can be published
  // there until unblock().
  void block(int index) const {
    fileutil::removeAll(appFile(index));
    fileutil::writeFileAtomically(appFile(index), "");
  }
  void unblock(int index) const {
    fileutil::removeAll(appFile(index));
    fileutil::makeDirectories(appFile(index));
  }
  // The "syncList" entries of every FilessyncListGot posted so far.
  std::vector<std::string> notSyncedPosts() {
    std::vector<std::string> out;
    for (const auto& [name, info] : poster_.posts) {
      if (name != "FilessyncListGot") continue;
      const PropertyList* list = info.find("syncList");
      if (list && list->asArray())
        for (const auto& p : *list->asArray()) out.push_back(p.asString() ? *p.asString() : "");
    }
    return out;
  }

  SyncFilesController& sfc() { return *sfc_; }
  void destroyController() { sfc_.reset(); }
  Clk& clock() { return clock_; }
  FakeSyncFilesHost& host() { return host_; }
  FakePoster& poster() { return poster_; }
  FakeMessenger& finder() { return *finder_; }
  FakeMessenger& monitor() { return *monitor_; }
  const std::string& root() const { return root_; }
  const TestTempDir& dir() const { return dir_; }

 private:
  TestTempDir dir_;
  std::string root_;
  Clk clock_;
  JournalStampGenerator stamps_;
  FakeSyncFilesHost host_;
  FakePoster poster_;
  std::shared_ptr<FakeMessenger> finder_ = std::make_shared<FakeMessenger>();
  std::shared_ptr<FakeMessenger> monitor_ = std::make_shared<FakeMessenger>();
  std::unique_ptr<SyncFilesController> sfc_;
};

inline std::vector<std::string> texts(const PropertyList& value) {
  std::vector<std::string> out;
  if (const auto* array = value.asArray())
    for (const auto& v : *array) out.push_back(v.asString() ? *v.asString() : "<not text>");
  return out;
}

}  // namespace ulmora::testing
