#include <gtest/gtest.h>

#include "capture/CapturePaths.h"

namespace ulmora {
namespace {

TEST(CapturePathsTest, SameOrBelowGoesByWholeComponents) {
  struct Case {
    const char* path;
    const char* ancestor;
    bool below;
  };
  const Case cases[] = {
      {"/a/b", "/a/b", true},      {"/a/b/c", "/a/b", true},   {"/a/b/", "/a/b", true},
      {"/a/b/c", "/a/b/", true},   {"/a/bc", "/a/b", false},   {"/a/b.txt", "/a/b", false},
      {"/a/b", "/a/bc", false},    {"/a", "/a/b", false},      {"/ab", "/a", false},
      {"/a/b", "/", true},         {"/a", "", false},          {"", "", false},
      {"/a/b0", "/a/b", false},    {"/a/b/../x", "/a/b", true},  // names, not resolved paths
  };
  for (const Case& c : cases) {
    EXPECT_EQ(capturepath::isSameOrBelow(c.path, c.ancestor), c.below)
        << '"' << c.path << "\" below \"" << c.ancestor << '"';
  }
}

}  // namespace
}  // namespace ulmora
