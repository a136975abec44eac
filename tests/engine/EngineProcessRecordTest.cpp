#include "engine/EngineProcessRecord.h"

#include <gtest/gtest.h>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"

namespace ulmora {
namespace {

// A stand-in for an engine left running: a process in a group of its own.
std::unique_ptr<ChildProcess> leftover() {
  ProcessOptions o;
  o.executable = "/bin/sleep";
  o.arguments = {"60"};
  o.timeout = std::chrono::seconds(120);
  auto child = std::make_unique<ChildProcess>(o);
  EXPECT_TRUE(child->start());
  return child;
}

TEST(EngineProcessRecordTest, OnlyAStillMatchingNoteStopsItsProcess) {
  struct Case {
    const char* name;
    bool sameStart;  // the note's start time is the process's own
    bool stopped;
  } cases[] = {
      {"the engine it noted", true, true},
      {"a process that reused the id", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir work;
    std::unique_ptr<ChildProcess> engine = leftover();
    const std::string note = EngineProcessRecord::pathFor(work.path(), 1);
    ASSERT_TRUE(EngineProcessRecord::write(note, engine->pid()));
    if (!c.sameStart) {
      fileutil::writeFileAtomically(note, std::to_string(engine->pid()) + " 1");
    }
    EXPECT_EQ(EngineProcessRecord::stopLeftovers(work.path()), c.stopped ? 1 : 0);
    EXPECT_FALSE(fileutil::exists(note));
    if (c.stopped) {
      const ProcessResult r = engine->wait();
      EXPECT_EQ(r.termSignal, SIGKILL);
      EXPECT_FALSE(r.timedOut);
    } else {
      EXPECT_TRUE(engine->isRunning());
      engine->kill(SIGKILL);
      engine->wait();
    }
  }
}

TEST(EngineProcessRecordTest, NotesOfEndedProcessesAndOtherFilesAreHandledQuietly) {
  testing::TestTempDir work;
  std::unique_ptr<ChildProcess> engine = leftover();
  const pid_t pid = engine->pid();
  const std::string note = EngineProcessRecord::pathFor(work.path(), 2);
  ASSERT_TRUE(EngineProcessRecord::write(note, pid));
  engine->kill(SIGKILL);
  engine->wait();
  work.writeFile("engine1.pid", "garbage");
  work.writeFile("setfile1", "/a\n");
  EXPECT_EQ(EngineProcessRecord::stopLeftovers(work.path()), 0);
  EXPECT_FALSE(fileutil::exists(note));
  EXPECT_FALSE(fileutil::exists(work.sub("engine1.pid")));
  EXPECT_TRUE(fileutil::exists(work.sub("setfile1")));
  EXPECT_EQ(EngineProcessRecord::startTime(pid), 0u);
}

}  // namespace
}  // namespace ulmora
