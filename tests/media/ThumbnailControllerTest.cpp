#include <gtest/gtest.h>

#include <cstdio>

#include "media/ThumbnailController.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "platform/RunLoop.h"
#include "tools/EngineHarness.h"

namespace ulmora::testing {
namespace {

constexpr const char* kConvert = "/usr/bin/convert";
constexpr const char* kIdentify = "/usr/bin/identify";

// Makes a real image with ImageMagick.
void makeImage(const std::string& size, const std::string& path) {
  ProcessOptions o;
  o.executable = kConvert;
  o.arguments = {"-size", size, "gradient:", path};
  ProcessResult r = ProcessRunner::run(o);
  ASSERT_TRUE(r.succeeded()) << r.err;
}

std::string dimensions(const std::string& path) {
  ProcessOptions o;
  o.executable = kIdentify;
  o.arguments = {"-format", "%m %wx%h", path};
  ProcessResult r = ProcessRunner::run(o);
  return r.succeeded() ? r.out : "identify failed: " + r.err;
}

class RecordingThumbnails : public ThumbnailControllerDelegate {
 public:
  void thumbNailOperationStarted(ThumbnailController& run) override {
    calls.push_back("started");
    if (onStart) onStart(run);
  }
  void checkforRenameInfo(ThumbnailController&) override { calls.push_back("checkforRenameInfo"); }
  void didThumbnailOperationFinished(ThumbnailController&) override {
    calls.push_back("finished");
    RunLoop::current().stop();
  }
  std::vector<std::string> calls;
  std::function<void(ThumbnailController&)> onStart;
};

class ThumbnailControllerTest : public EngineHarness {
 protected:
  void SetUp() override {
    if (!fileutil::exists(kConvert) || !fileutil::exists(kIdentify))
      GTEST_SKIP() << "ImageMagick is not installed";
  }
  UserDetails details() {
    UserDetails d;
    d.userName = "alice";
    d.password = "secret";
    d.server = storage();
    d.port = "";
    d.exePath = ULMORA_ENGINE_PATH;
    d.syncFolderPath = local();
    return d;
  }
  // Runs a job over `images` to its end.
  std::unique_ptr<ThumbnailController> runJob(const std::vector<std::string>& images,
                                              RecordingThumbnails& recorder, bool keep = true) {
    auto job = std::make_unique<ThumbnailController>(tmp_.sub("thumbs"), details());
    job->setDelegate(&recorder);
    job->setConvertPath(kConvert);
    job->setKeepDestination(keep);
    job->startThumbnailGenerationAndUploadForFiles(images, "/");
    RunLoop::current().runFor(std::chrono::seconds(120));
    return job;
  }
};

TEST_F(ThumbnailControllerTest, MakesThreeSizesAndUploadsThemBesideTheImage) {
  ASSERT_TRUE(fileutil::makeDirectories(local() + "/pics"));
  makeImage("2000x1500", local() + "/pics/wide.jpg");
  makeImage("300x600", local() + "/tall.PNG");
  writeLocal("/fake.jpg", "%!PS-Adobe-3.0\nnot a jpeg at all\n");
  writeLocal("/notes.txt", "text");

  RecordingThumbnails recorder;
  auto job = runJob({local() + "/pics/wide.jpg", local() + "/tall.PNG", local() + "/fake.jpg",
                     local() + "/notes.txt", "/etc/passwd.jpg"},
                    recorder);

  EXPECT_EQ((std::vector<std::string>{"started", "checkforRenameInfo", "finished"}), recorder.calls);
  struct Expect {
    std::string thumbnail;
    std::string dims;
  };
  const std::vector<Expect> expected = {
      {"/pics/wide.jpg_THINT", "JPEG 1280x960"}, {"/pics/wide.jpg_THSML", "JPEG 135x101"},
      {"/pics/wide.jpg_THTIN", "JPEG 40x30"},    {"/tall.PNG_THINT", "JPEG 300x600"},
      {"/tall.PNG_THSML", "JPEG 68x135"},        {"/tall.PNG_THTIN", "JPEG 20x40"},
  };
  for (const Expect& e : expected) {
    SCOPED_TRACE(e.thumbnail);
    EXPECT_EQ(e.dims, dimensions(tmp_.sub("thumbs") + e.thumbnail));
  }
  std::set<std::string> onServer;
  for (const auto& [name, line] : listed(0))
    if (name.find("_TH") != std::string::npos) onServer.insert(name);
  std::set<std::string> wanted;
  for (const Expect& e : expected) wanted.insert(e.thumbnail);
  EXPECT_EQ(wanted, onServer);
  std::vector<std::string> uploaded = job->uploadedThumbnails();
  EXPECT_EQ(wanted, std::set<std::string>(uploaded.begin(), uploaded.end()));

  EXPECT_EQ(local() + "/pics/wide.jpg\n" + local() + "/tall.PNG\n" + local() + "/fake.jpg\n",
            readWholeFile(tmp_.sub("thumbs/SourceList")));
}

TEST_F(ThumbnailControllerTest, AnImageRenamedBeforeItsTurnIsReadUnderItsNewName) {
  makeImage("400x300", local() + "/old.jpg");
  RecordingThumbnails recorder;
  recorder.onStart = [&](ThumbnailController& run) {
    ASSERT_EQ(0, std::rename((local() + "/old.jpg").c_str(), (local() + "/new.jpg").c_str()));
    run.resolveForRenameFrom(local() + "/old.jpg", local() + "/new.jpg");
  };
  auto job = runJob({local() + "/old.jpg"}, recorder, false);

  std::set<std::string> onServer;
  for (const auto& [name, line] : listed(0)) onServer.insert(name);
  EXPECT_EQ((std::set<std::string>{"/new.jpg_THINT", "/new.jpg_THSML", "/new.jpg_THTIN"}), onServer);
  EXPECT_FALSE(fileutil::exists(tmp_.sub("thumbs")));  // the scratch folder goes with the job
}

TEST_F(ThumbnailControllerTest, OnlyKnownImageTypesGetACoder) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"/a/b.JPG", "jpeg"},    {"/a/b.jpeg", "jpeg"},    {"/x.png", "png"},         {"/x.tif", "tiff"},
      {"/x.gif", "gif"},       {"/x.ps", std::nullopt},  {"/x.svg", std::nullopt},  {"/jpg", std::nullopt},
      {"/.jpg", std::nullopt}, {"/x.pdf", std::nullopt}, {"/x.jpg/", std::nullopt},
  };
  for (const auto& [path, coder] : cases) EXPECT_EQ(coder, ThumbnailController::coderFor(path)) << path;
}

}  // namespace
}  // namespace ulmora::testing
