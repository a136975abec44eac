#include <gtest/gtest.h>

#include "TestTempDir.h"
#include "media/ImageMDUploadController.h"
#include "platform/PropertyList.h"

namespace ulmora::testing {
namespace {

class Recorder : public ImageMDUploadControllerDelegate {
 public:
  void checkforRenameInfo(ImageMDUploadController&) override { ++asked; }
  int asked = 0;
};

TEST(ImageMDUploadControllerTest, RecordsQueuedImagesOfTheSyncRootOnly) {
  TestTempDir tmp;
  UserDetails details;
  details.syncFolderPath = tmp.sub("root");
  tmp.writeFile("root/a.jpg", "12345");
  tmp.writeFile("root/sub/b.png", "12");
  tmp.writeFile("root/gone.jpg", "x");
  tmp.writeFile("outside.jpg", "x");

  Recorder recorder;
  ImageMDUploadController controller(details);
  controller.setDelegate(&recorder);
  controller.setMetadataFilePath(tmp.sub("account/ImageMetadata.plist"));
  for (const char* p :
       {"root/a.jpg", "root/sub/b.png", "root/gone.jpg", "outside.jpg", "root/../outside.jpg"}) {
    controller.addImage(tmp.sub(p));
  }
  controller.addImage(tmp.sub("root/a.jpg"));  // queued once
  ASSERT_EQ(0, unlink(tmp.sub("root/gone.jpg").c_str()));

  controller.reconstructImageList();
  EXPECT_EQ(1, recorder.asked);
  EXPECT_EQ((std::vector<std::string>{tmp.sub("root/a.jpg"), tmp.sub("root/sub/b.png")}),
            controller.pendingImages());

  EXPECT_EQ(2u, controller.updateImageInformation());
  EXPECT_TRUE(controller.pendingImages().empty());
  auto list = PropertyList::readFile(tmp.sub("account/ImageMetadata.plist"));
  ASSERT_TRUE(list && list->isDict());
  EXPECT_EQ(2u, list->asDict()->size());
  ASSERT_NE(nullptr, list->find("/sub/b.png"));
  EXPECT_EQ("2", list->find("/sub/b.png")->stringFor("size"));
  EXPECT_EQ("5", list->find("/a.jpg")->stringFor("size"));
}

TEST(ImageMDUploadControllerTest, ImagesStayQueuedWhenTheListCannotBeWritten) {
  TestTempDir tmp;
  UserDetails details;
  details.syncFolderPath = tmp.sub("root");
  tmp.writeFile("root/a.jpg", "1");
  tmp.writeFile("blocker", "a file where the folder should be");
  ImageMDUploadController controller(details);
  controller.setMetadataFilePath(tmp.sub("blocker/ImageMetadata.plist"));
  controller.addImage(tmp.sub("root/a.jpg"));
  EXPECT_EQ(0u, controller.updateImageInformation());
  EXPECT_EQ(1u, controller.pendingImages().size());
}

}  // namespace
}  // namespace ulmora::testing
