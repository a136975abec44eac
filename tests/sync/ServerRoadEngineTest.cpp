// The server road against the stand-in engine: a file another computer
// uploaded is listed, judged and queued for download here, and a local edit
// in its way is kept as a conflict copy.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "foundation/ScopedEnv.h"
#include "database/DataBaseWrapper.h"
#include "database/DatabaseMerger.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "service/SynListingController.h"
#include "sync/control/AccountSettings.h"
#include "sync/server/ListingIndexStore.h"
#include "sync/ServerRoadTestSupport.h"
#include "sync/SyncTestSupport.h"

#ifdef ULMORA_ENGINE_PATH

namespace ulmora {
namespace {

using namespace std::chrono_literals;
using testing::SyncFixture;

constexpr const char* kEngineUser = "ann";

// Forwards a listing's reports to the account's server road and tells when it ended.
class ListingWatch final : public SynListHandlerProtocol {
 public:
  explicit ListingWatch(MainSyncController& c) : c_(c.serverRoad()) {}
  void listingDidStart(SynListingController& l) override { c_.listingDidStart(l); }
  void listingDidReceiveData(int64_t index) override { c_.listingDidReceiveData(index); }
  void listingDidFinishSuccessfully(SynListingController& l) override { c_.listingDidFinishSuccessfully(l); }
  void listingDidFailWithError(const std::string& e, SynListingController& l) override {
    error = e;
    c_.listingDidFailWithError(e, l);
  }
  void listingDidCancel(SynListingController& l) override { c_.listingDidCancel(l); }
  void listingDataProcessedComplete(SynListingController& l) override {
    c_.listingDataProcessedComplete(l);
    std::lock_guard lock(mu_);
    done_ = true;
    cv_.notify_all();
  }
  void validateFiles(const ServerRecord& r, const std::string& op) override { c_.validateFiles(r, op); }
  void updateRefID(const ServerRecord& r, const std::string& op) override { c_.updateRefID(r, op); }
  void RetryListing(SynListingController&) override {}
  void listingGotEventsOccurred() override { c_.listingGotEventsOccurred(); }
  void clearItems() override { c_.clearItems(); }

  bool waitForEnd() {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, 30s, [&] { return done_; });
  }
  std::string error;

 private:
  ServerRoad& c_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
};

struct EngineFixture : SyncFixture {
  std::string storage = home.sub("store");
  std::string otherComputer = home.sub("other");

  EngineFixture() {
    fileutil::makeDirectories(storage);
    fileutil::makeDirectories(otherComputer);
    writeLoginDetails(PropertyList::Dict{{AccountSettings::kAccountUserKey, kUser},
                                         {AccountSettings::kEngineUserKey, kEngineUser},
                                         {AccountSettings::kPasswordKey, "pw"},
                                         {AccountSettings::kIPKey, storage}});
  }

  MainSyncController& makeWithEngine() {
    SyncContext ctx({me, kUser, root}, clock, loop, *queue, collections);
    ctx.enginePath = ULMORA_ENGINE_PATH;
    ctx.makeReachability = [] { return std::make_unique<testing::FakeReachability>(true); };
    controller = std::make_unique<MainSyncController>(std::move(ctx));
    controller->setSharedUlmoraSyncUserController(&owner);
    controller->setUserData();
    EXPECT_TRUE(settle());
    return *controller;
  }

  // One run of the engine for the other computer: `options`, a set file
  // holding `setLines`, then the positional arguments.
  void runElsewhere(std::vector<std::string> options, const std::string& setLines,
                    std::vector<std::string> positional) {
    std::string set = home.sub("elsewhere.set");
    fileutil::writeFileAtomically(set, setLines);
    ProcessOptions o;
    o.executable = ULMORA_ENGINE_PATH;
    o.arguments = std::move(options);
    o.arguments.push_back("--files-from=" + set);
    for (auto& p : positional) o.arguments.push_back(std::move(p));
    o.arguments.push_back(std::string(kEngineUser) + "@" + storage + "::quellar/");
    o.environment = {{"RSYNC_PASSWORD", "pw"}};
    ProcessResult r = ProcessRunner::run(o);
    ASSERT_EQ(r.exitStatus, 0);
  }

  // The other computer uploads `relative` with `contents`.
  void uploadElsewhere(const std::string& relative, const std::string& contents,
                       std::optional<Clock::WallTime> modified = std::nullopt) {
    tmpWrite(otherComputer + relative, contents);
    if (modified) testing::setModified(otherComputer + relative, *modified);
    runElsewhere({}, otherComputer + "\n" + relative + "\n", {otherComputer});
  }
  // The other computer renames or moves `from` to `to`.
  void renameElsewhere(const std::string& from, const std::string& to) {
    runElsewhere({"--rename"}, from + "\n" + to + "\n", {});
  }
  // The other computer deletes `path` (into the service's trash).
  void deleteElsewhere(const std::string& path) { runElsewhere({"--remove"}, path + "\n", {}); }

  // `relative` uploaded elsewhere and the same copy here, listed once: the
  // controller and the index stored after that listing.
  std::pair<MainSyncController*, int64_t> startInSync(const std::string& relative, bool recorded = false) {
    auto when = testing::serverTime("2024-03-05 10:20:30");
    uploadElsewhere(relative, "bytes", when);
    tmpWrite(root + relative, "bytes");
    testing::setModified(root + relative, when);
    MainSyncController& c = makeWithEngine();
    if (recorded) recordUploaded(c, relative);
    EXPECT_EQ(listOnce(c), "");
    advance(std::chrono::milliseconds(0));  // the index is written on the main loop
    return {&c, ListingIndexStore(indexFile(c)).read()};
  }

  // The local database records `path` as uploaded, as the write-behind would.
  void recordUploaded(MainSyncController& c, const std::string& path) {
    std::string folder = c.applicationSupportObject().pathForApplicationFile(107);
    fileutil::makeDirectories(folder);
    DataBaseWrapper writer;
    ASSERT_TRUE(writer.initializewithDatabase(folder, kUser));
    writer.beginTransaction();
    ASSERT_TRUE(writer.insert({path, "2024-03-05 10:20:30 +0000", "5", "NA", "NA", "0", "NA", "NA", "1", "1", "1", ""}));
    writer.commitTransaction();
    writer.unInitializeDatabase();
    DatabaseMerger(folder, kUser, clock).mergePending();
  }

  std::string indexFile(MainSyncController& c) const {
    return fileutil::joinPath(c.applicationSupportObject().pathForApplicationFile(50), "indexFile.txt");
  }

  static void tmpWrite(const std::string& path, const std::string& contents) {
    fileutil::makeDirectories(fileutil::parentPath(path));
    fileutil::writeFileAtomically(path, contents);
  }

  // One change listing from index 0, reported to the controller.
  std::string listOnce(MainSyncController& c, int64_t from = 0) {
    ListingWatch watch(c);
    SynListingController listing;
    listing.setExecutorPath(ULMORA_ENGINE_PATH);
    listing.setDelegate(&watch);
    listing.initializeAppSupportFilePaths(me, kUser);
    listing.setUser(c.craeteUserInfoObject());
    listing.startListingWithIndexNumber(from);
    EXPECT_TRUE(watch.waitForEnd());
    return watch.error;
  }
};

TEST(ServerRoadEngineTest, FileFromAnotherComputerIsQueuedForDownload) {
  EngineFixture f;
  f.uploadElsewhere("/docs/report.txt", "from the other computer");
  MainSyncController& c = f.makeWithEngine();
  EXPECT_EQ(f.listOnce(c), "");
  EXPECT_EQ(f.queue->restoreFileCollection(), 1u);
  f.advance(0ms);
  // The download is pending, so the listing's index waits for it.
  MutexLock hold(c.accountState().listing.mutex);
  EXPECT_FALSE(c.accountState().listing.mPreviousIndexStr.empty());
}

TEST(ServerRoadEngineTest, LocalEditInTheWayBecomesAConflictCopy) {
  EngineFixture f;
  f.uploadElsewhere("/docs/report.txt", "newer, from the other computer");
  std::string local = f.root + "/docs/report.txt";
  EngineFixture::tmpWrite(local, "my unsent edit");
  testing::setModified(local, std::chrono::system_clock::now() - 24h);
  MainSyncController& c = f.makeWithEngine();
  EXPECT_EQ(f.listOnce(c), "");
  EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/ConflictData/docs/report.txt"), "my unsent edit");
  EXPECT_EQ(f.queue->restoreFileCollection(), 1u);
}

TEST(ServerRoadEngineTest, RenameOnAnotherComputerIsFollowedLocally) {
  EngineFixture f;
  auto [c, index] = f.startInSync("/docs/a.txt");
  ASSERT_GT(index, 0);

  f.renameElsewhere("/docs/a.txt", "/moved/b.txt");
  ASSERT_EQ(f.listOnce(*c, index), "");
  EXPECT_EQ(fileutil::readFile(f.root + "/moved/b.txt"), "bytes");
  EXPECT_FALSE(fileutil::exists(f.root + "/docs/a.txt"));
  EXPECT_EQ(f.queue->restoreFileCollection(), 0u);
}

TEST(ServerRoadEngineTest, DeletionElsewhereMovesTheLocalCopyToTheCache) {
  EngineFixture f;
  auto [c, index] = f.startInSync("/docs/gone.txt", true);
  ASSERT_GT(index, 0);

  f.deleteElsewhere("/docs/gone.txt");
  ASSERT_EQ(f.listOnce(*c, index), "");
  EXPECT_FALSE(fileutil::exists(f.root + "/docs/gone.txt"));
  EXPECT_EQ(fileutil::readFile(f.root + "/.UMSCache/2020-01-01/docs/gone.txt"), "bytes");
}

TEST(ServerRoadEngineTest, SameFileAtTheSameSecondOnlyTakesTheReferenceId) {
  for (const char* zone : {"Asia/Kolkata", "America/St_Johns", "UTC"}) {
    testing::ScopedEnv tz("TZ", zone);
    EngineFixture f;
    auto when = testing::serverTime("2024-03-05 10:20:30");
    f.uploadElsewhere("/same.txt", "same bytes", when);
    std::string local = f.root + "/same.txt";
    EngineFixture::tmpWrite(local, "same bytes");
    testing::setModified(local, when + 400ms);
    MainSyncController& c = f.makeWithEngine();
    EXPECT_EQ(f.listOnce(c), "") << zone;
    EXPECT_EQ(f.queue->restoreFileCollection(), 0u) << zone;
    EXPECT_EQ(f.queue->getUpdateRefIDFilesCount(), 1u) << zone;
    EXPECT_FALSE(fileutil::exists(f.root + "/.UMSCache")) << zone;
  }
}

}  // namespace
}  // namespace ulmora

#endif
