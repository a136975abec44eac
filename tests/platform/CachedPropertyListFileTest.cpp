#include "platform/CachedPropertyListFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "TestTempDir.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

using testing::TestTempDir;

PropertyList dictWith(const std::string& value) {
  PropertyList d(PropertyList::Dict{});
  d.set("k", value);
  return d;
}

std::string valueOf(const std::optional<PropertyList>& p) {
  if (!p) return "<none>";
  return p->stringFor("k").value_or("<no key>");
}

// Rewrites the file in place with contents of the same size and puts its
// modification time back: to the stat check it is still the file written.
void rewriteUnnoticed(const std::string& path, const std::string& xml) {
  struct stat before;
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
  ::close(fd);
  timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct OutsideCase {
  const char* name;
  std::function<void(const std::string& path)> change;
  std::string expected;  // what contents() says after the change
};

class CachedPropertyListFileTest : public ::testing::TestWithParam<OutsideCase> {};

TEST_P(CachedPropertyListFileTest, ReadsAgainOnlyWhenSomeoneElseChangedTheFile) {
  TestTempDir dir;
  const std::string path = dir.sub("status.plist");
  CachedPropertyListFile file(path);
  ASSERT_TRUE(file.write(dictWith("ours")));
  GetParam().change(path);
  EXPECT_EQ(valueOf(file.contents()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CachedPropertyListFileTest,
    ::testing::Values(
        // Kept in memory: the file as this object left it is never parsed again.
        OutsideCase{"untouched_file_answers_from_memory",
                    [](const std::string& path) { rewriteUnnoticed(path, dictWith("mine").toXml()); }, "ours"},
        OutsideCase{"replaced_by_another_writer",
                    [](const std::string& path) { ASSERT_TRUE(dictWith("theirs").writeFile(path)); }, "theirs"},
        OutsideCase{"edited_in_place",
                    [](const std::string& path) {
                      const std::string xml = dictWith("changed").toXml();
                      int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
                      ASSERT_GE(fd, 0);
                      ASSERT_EQ(::write(fd, xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
                      ::close(fd);
                    },
                    "changed"},
        OutsideCase{"removed", [](const std::string& path) { ::unlink(path.c_str()); }, "<none>"},
        OutsideCase{"garbled",
                    [](const std::string& path) {
                      ASSERT_TRUE(fileutil::writeFileAtomically(path, "not a property list"));
                    },
                    "<none>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CachedPropertyListFileWriteTest, WritesWholeOwnerOnlyFilesAndLeavesNoTemporary) {
  TestTempDir dir;
  const std::string path = dir.sub("RecentItems.plist");
  CachedPropertyListFile file(path);
  EXPECT_EQ(valueOf(file.contents()), "<none>");
  for (const char* v : {"one", "two"}) ASSERT_TRUE(file.write(dictWith(v)));
  EXPECT_EQ(valueOf(PropertyList::readFile(path)), "two");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // No temporary is left; the side file of the exchange stays, hidden.
  EXPECT_EQ(fileutil::listDirectory(dir.path()),
            (std::vector<std::string>{".RecentItems.plist.swap", "RecentItems.plist"}));
}

TEST(CachedPropertyListFileWriteTest, AFailedWriteIsNotRemembered) {
  TestTempDir dir;
  CachedPropertyListFile file(dir.sub("missing-folder/status.plist"));
  EXPECT_FALSE(file.write(dictWith("lost")));
  EXPECT_EQ(valueOf(file.contents()), "<none>");
}

}  // namespace
}  // namespace ulmora
