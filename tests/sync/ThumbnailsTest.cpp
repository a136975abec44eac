#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OffLoopCalls.h"
#include "media/ThumbnailController.h"
#include "platform/ManualClock.h"
#include "sync/thumbnails/Thumbnails.h"

namespace ulmora {
namespace {

class HostStub final : public ThumbnailHost {
 public:
  UserDetails userDetails() override { return {}; }
  void postToMain(RunLoop::Task task) override { posted.push_back(std::move(task)); }
  std::vector<RunLoop::Task> posted;
};

struct ThumbnailsFixture {
  ManualClock clock;
  AccountState state;
  HostStub host;
  RunLoop loop{clock};
  Thumbnails thumbnails{{"console", "sync", "/nonexistent/thumbs"}, clock, loop, state, host};
};

// Only a supported image waits for a run, whatever the case of its extension.
TEST(ThumbnailsTest, OnlyImagesWaitForARun) {
  const struct {
    const char* path;
    bool waits;
  } cases[] = {
      {"/root/a.JPG", true}, {"/root/b.png", true}, {"/root/c.txt", false},
      {"/root/.png", false}, {"/root/noext", false}, {"/root/d.png/e", false},
  };
  for (const auto& c : cases) {
    ThumbnailsFixture f;
    f.thumbnails.addToCraeteThumbnail(c.path);
    EXPECT_EQ(f.thumbnails.hasImageFiles(), c.waits) << c.path;
  }
}

bool thumbnailsRunning(AccountState& state) {
  MutexLock hold(state.cycle.shared.mutex);
  return state.cycle.shared.isThumbNailBackupRunning;
}

// With nothing waiting no run starts, so the cycle is not held for one.
TEST(ThumbnailsTest, NoImagesNoRun) {
  ThumbnailsFixture f;
  f.thumbnails.createAndUploadThumbnails();
  EXPECT_FALSE(thumbnailsRunning(f.state));
  EXPECT_TRUE(f.host.posted.empty());
}

// The last run's end lets the cycle go on and forgets the renames noted for
// the runs, even for a report of a run it no longer holds.
TEST(ThumbnailsTest, TheLastRunsEndReleasesTheCycleAndTheRenames) {
  ThumbnailsFixture f;
  {
    MutexLock hold(f.state.cycle.shared.mutex);
    f.state.cycle.shared.isThumbNailBackupRunning = true;
  }
  f.state.push.lastRenameAttemps.push_back(RenameEntry{"/root/a.png", "/root/b.png"});
  ThumbnailController stranger("/nonexistent/thumbs", UserDetails{});
  f.thumbnails.updateThumbnailController("/root/a.png", "/root/b.png");  // no run: nothing to tell
  f.thumbnails.didThumbnailOperationFinished(stranger);
  EXPECT_FALSE(thumbnailsRunning(f.state));
  EXPECT_TRUE(f.state.push.lastRenameAttemps.empty());
  EXPECT_TRUE(f.host.posted.empty());  // nothing of its own to release
}

#ifndef NDEBUG
// The runs are started on the main loop and report there; the upload runs'
// threads only add images and record their metadata.
TEST(ThumbnailsDeathTest, RunsFromAnotherThreadStopTheProcess) {
  ThumbnailsFixture f;
  std::thread([&] {
    f.thumbnails.addToCraeteThumbnail("/root/a.png");
    f.thumbnails.updateImageInformation();
  }).join();
  ThumbnailController stranger("/nonexistent/thumbs", UserDetails{});
  testing::expectEachStopsOffItsLoop({
      {"start_runs", [&] { f.thumbnails.createAndUploadThumbnails(); }},
      {"run_ended", [&] { f.thumbnails.didThumbnailOperationFinished(stranger); }},
      {"rename_here", [&] { f.thumbnails.updateThumbnailController("/root/a.png", "/root/b.png"); }},
  });
}
#endif

}  // namespace
}  // namespace ulmora
