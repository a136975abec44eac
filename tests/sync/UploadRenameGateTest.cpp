#include "sync/upload/UploadRenameGate.h"

#include <gtest/gtest.h>

#include <string>

namespace ulmora {
namespace {

// One letter per tick: 'p' renames or deletes pending, '-' none; the
// answers: 'H' held, 'u' uploads go.
std::string answers(const std::string& ticks) {
  UploadRenameGate gate;
  std::string held;
  for (char t : ticks) held += gate.holdUploads(t == 'p') ? 'H' : 'u';
  return held;
}

TEST(UploadRenameGateTest, HoldsUploadsWhileRenamesAndDeletesArePendingForAFewTicksAtMost) {
  struct Case {
    const char* name;
    std::string ticks;
    std::string held;
  } cases[] = {
      {"nothing pending", "---", "uuu"},
      {"held while pending, free once sent", "pp-p-", "HHuHu"},
      {"a user renaming without end lets uploads out every thirteenth tick",
       std::string(UploadRenameGate::kMostTicksHeld + 3, 'p'),
       std::string(UploadRenameGate::kMostTicksHeld, 'H') + "uHH"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(answers(c.ticks), c.held);
  }
}

}  // namespace
}  // namespace ulmora
