#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestHome.h"
#include "WaitUntil.h"
#include "capture/ExcludedFilesCollections.h"
#include "foundation/QLUtility.h"
#include "journal/CompanionMessenger.h"
#include "journal/UMSDBSyncInputManger.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "platform/NetworkReachability.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"
#include "sync/MainSyncController.h"
#include "sync/control/SyncControllerOwner.h"

namespace ulmora::testing {

// What reaches a companion: (type, payload text) in order.
class RecordingMessenger final : public CompanionMessenger {
 public:
  void sendIPCMessage(const PropertyList& payload, int type, bool /*runInThread*/) override {
    std::lock_guard<std::mutex> hold(mu_);
    sent_.emplace_back(type, payload.textValue().value_or(""));
  }
  std::vector<std::pair<int, std::string>> sent() const {
    std::lock_guard<std::mutex> hold(mu_);
    return sent_;
  }
  std::vector<int> types() const {
    std::vector<int> t;
    for (const auto& s : sent()) t.push_back(s.first);
    return t;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<int, std::string>> sent_;
};

class FakeOwner final : public SyncControllerOwner {
 public:
  std::string root;
  std::shared_ptr<RecordingMessenger> finder = std::make_shared<RecordingMessenger>();
  std::shared_ptr<RecordingMessenger> monitor = std::make_shared<RecordingMessenger>();

  std::string syncRootPath() const override { return root; }
  std::string syncFolderForUser(const std::string&) const override { return root; }
  std::string createRelativePathToUlmoraSync(const std::string& path) const override {
    return path;
  }
  std::shared_ptr<CompanionMessenger> finderMessenger() const override { return finder; }
  std::shared_ptr<CompanionMessenger> monitorMessenger() const override { return monitor; }
  void setisReinitializeState(bool state) override {
    std::lock_guard<std::mutex> hold(mu_);
    reinitializeStates_.push_back(state);
  }
  void queryMainDB(int option) override {
    std::lock_guard<std::mutex> hold(mu_);
    queries_.push_back(option);
  }
  std::vector<std::string> queryMainDBForChickInsyncStatus() override { return {}; }
  void queryMainDBForTotalCountAndSizeOfBackupFiles() override {}
  void queryMainDBForTotalCountAndSizeOfRestoreFiles() override {}

  std::vector<int> queries() const {
    std::lock_guard<std::mutex> hold(mu_);
    return queries_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<int> queries_;
  std::vector<bool> reinitializeStates_;
};

// Reachability the test sets by hand; changes reach the handler on the loop.
class FakeReachability final : public NetworkReachability {
 public:
  explicit FakeReachability(bool reachable) : reachable_(reachable) {}
  std::optional<bool> isReachable() override { return reachable_; }
  void start(RunLoop& loop, ChangeHandler handler) override {
    loop_ = loop.handle();
    handler_ = std::move(handler);
  }
  void stop() override { handler_ = nullptr; }
  void set(bool reachable) {
    reachable_ = reachable;
    if (handler_ && loop_) loop_->post([h = handler_, reachable] { h(reachable); });
  }

 private:
  bool reachable_;
  std::optional<RunLoop::Handle> loop_;
  ChangeHandler handler_;
};

// One account's controller on a ManualClock, its main loop run by the test.
class SyncFixture {
 public:
  static constexpr const char* kUser = "ann";

  SyncFixture() {
    fileutil::makeDirectories(root);
    owner.root = root;
    writeLoginDetails(PropertyList::Dict{{"Ulmora username", kUser}});
    home.writePlist(home.syncFoldersPath(), PropertyList(PropertyList::Dict{{kUser, root}}));
    RunLoop::setMainForTesting(&loop);
  }
  ~SyncFixture() {
    controller.reset();
    queue.reset();
    RunLoop::setMainForTesting(nullptr);
  }
  SyncFixture(const SyncFixture&) = delete;
  SyncFixture& operator=(const SyncFixture&) = delete;

  void writeLoginDetails(PropertyList::Dict entries) {
    home.writePlist(home.loginDetailsPath(), PropertyList(std::move(entries)));
  }

  MainSyncController& make(bool reachable = true) {
    SyncContext ctx({me, kUser, root}, clock, loop, *queue, collections);
    ctx.enginePath = enginePath;
    ctx.makeReachability = [this, reachable] {
      auto r = std::make_unique<FakeReachability>(reachable);
      reachability = r.get();
      return r;
    };
    controller = std::make_unique<MainSyncController>(std::move(ctx));
    controller->setSharedUlmoraSyncUserController(&owner);
    return *controller;
  }

  // Runs the main loop until `done` holds (work on other threads may take a
  // moment of real time); false after ten seconds.
  bool pumpUntil(const std::function<bool()>& done) {
    return waitUntil(
        [&] {
          loop.runUntilIdle();
          return done();
        },
        std::chrono::seconds(10), std::chrono::milliseconds(2));
  }

  // Runs the main loop until the settings read last took effect (their
  // secrets are encoded on a thread of their own).
  bool settle() {
    return pumpUntil([this] { return !controller->settingsEncodingPending(); });
  }

  // Runs what is due after `d` of the clock.
  void advance(Clock::Duration d) {
    clock.advance(d);
    loop.runUntilIdle();
  }

  const std::string me = QLUtility::currentConsoleUserName();
  TemporaryHome home;
  const std::string root = home.sub("Sync");
  ManualClock clock;
  RunLoop loop{clock};
  std::unique_ptr<UMSDBSyncInputManger> queue = [this] {
    UMSDBSyncInputManger::Options o;
    o.clock = &clock;
    return std::make_unique<UMSDBSyncInputManger>(o);
  }();
  ExcludedFilesCollections collections{{root, "", "", "", nullptr}};
  FakeOwner owner;
  // The engine make() gives the controller: none, so every run ends at once.
  std::string enginePath = home.sub("no-engine/ulmora-kvt");
  FakeReachability* reachability = nullptr;
  std::unique_ptr<MainSyncController> controller;
};

}  // namespace ulmora::testing
