#include "engine/EngineWorker.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "TestTempDir.h"
#include "engine/KVTProgressRecord.h"
#include "engine/QLSYNCParser.h"
#include "platform/FileUtil.h"

namespace ulmora {
namespace {

std::string progressDone(const std::string& path) {
  return "PROGRESS\\t[Full Restore]\\tDone\\t6\\t1\\t3\\t6\\t8\\t2\\t4786\\t" + path + "\\n";
}
std::string recv(const std::string& path) { return "RECV\\t" + path + "\\n"; }

// Each case: what an earlier run left in the status file, the lines a
// download engine prints before it ends, and what the status file holds once
// the worker has reported the engine's end ("<none>": no file).
TEST(EngineWorkerTest, TheStatusFileNamesOnlyTheFileTheEngineWasStillReceiving) {
  struct Case {
    const char* name;
    const char* leftBefore;  // relative to the root; nullptr: no file
    std::string lines;
    std::string expected;  // relative to the root, or "<none>"
  };
  const Case cases[] = {
      {"every_file_finished", nullptr, recv("/a.txt") + progressDone("/a.txt") + recv("/b.txt") + progressDone("/b.txt"),
       "<none>"},
      {"ended_in_the_middle_of_a_shorter_name", nullptr,
       recv("/a/long/folder/name.txt") + progressDone("/a/long/folder/name.txt") + recv("/s"), "/s"},
      {"ended_while_a_longer_name_follows_a_short_one", nullptr, recv("/s") + recv("/a/long/folder/name.txt"),
       "/a/long/folder/name.txt"},
      {"an_earlier_runs_longer_status_is_replaced", "/somewhere/left/by/an/earlier/run.txt", recv("/x"), "/x"},
      // Not the worker's to remove: the clean-up moves that half file aside.
      {"an_earlier_runs_status_stays_when_nothing_is_received", "/left.txt", progressDone("/other.txt"),
       "/left.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir tmp;
    const std::string root = tmp.sub("root");
    const std::string status = tmp.sub("RestoreStatus1");
    if (c.leftBefore) {
      ASSERT_TRUE(fileutil::writeFileAtomically(status, root + c.leftBefore));
    }
    ProcessOptions o;
    o.executable = "/bin/sh";
    o.arguments = {"-c", "printf '" + c.lines + "'"};
    o.timeout = std::chrono::seconds(60);
    std::mutex mu;
    std::condition_variable cv;
    bool exited = false;
    {
      EngineWorker worker(1, o, status, root, [&](EngineWorker::Event&& e) {
        if (e.type != EngineWorker::Event::Type::kExited) return;
        std::lock_guard<std::mutex> lock(mu);
        exited = true;
        cv.notify_all();
      });
      worker.start();
      std::unique_lock<std::mutex> lock(mu);
      ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return exited; }));
      // What the file holds when the end is reported is what a clean-up reads.
      const std::string seen = fileutil::readFile(status).value_or("<none>");
      EXPECT_EQ(seen, c.expected == "<none>" ? c.expected : root + c.expected);
    }
  }
}

// Lines wait as the engine wrote them until the run's thread handles them;
// what it parses then is what the worker saw.
TEST(EngineWorkerTest, EachLineArrivesAsTheEngineWroteIt) {
  ProcessOptions o;
  o.executable = "/bin/sh";
  o.arguments = {"-c", "printf '" + recv("/a b.txt") + progressDone("/a b.txt") + "'"};
  o.timeout = std::chrono::seconds(60);
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> lines;
  bool exited = false;
  testing::TestTempDir tmp;
  EngineWorker worker(1, o, tmp.sub("RestoreStatus1"), tmp.sub("root"), [&](EngineWorker::Event&& e) {
    std::lock_guard<std::mutex> lock(mu);
    if (e.type == EngineWorker::Event::Type::kExited) {
      exited = true;
      cv.notify_all();
    } else {
      EXPECT_EQ(e.type, EngineWorker::Event::Type::kLine);
      lines.push_back(std::move(e.line));
    }
  });
  worker.start();
  std::unique_lock<std::mutex> lock(mu);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return exited; }));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "RECV\t/a b.txt");
  EngineLineRecord r;
  ASSERT_EQ(QLSYNCParser::ParseLineStr(lines[1], r, QLSYNCParser::kTransfer), QLSYNCParser::kOk);
  EXPECT_EQ(r.kind(), "PROGRESS");
  EXPECT_EQ(r.text(KVTProgressRecord::kFileNameKey), "/a b.txt");
}

}  // namespace
}  // namespace ulmora
