#include <gtest/gtest.h>

#include <sstream>

#include "capture/EventCoalescer.h"

namespace ulmora {
namespace {

using Op = EventCoalescer::Operation;

// A step: "+f /a" created file, "+d /a" created folder, "~ /a" modified,
// "-f /a" / "-d /a" removed, ">f /a /b" / ">d /a /b" renamed; "!f /a" / "!d /a":
// events were lost, and a file (folder) is at /a now.
void apply(EventCoalescer& c, const std::string& step) {
  std::istringstream in(step);
  std::string kind, a, b;
  in >> kind >> a >> b;
  const Clock::TimePoint t{};
  const bool folder = kind.size() > 1 && kind[1] == 'd';
  switch (kind[0]) {
    case '+': c.created(a, folder, t); break;
    case '~': c.modified(a, t); break;
    case '-': c.removed(a, folder, t); break;
    case '>': c.renamed(a, b, folder, t); break;
    case '!':
      c.withdrawRemovals([&](const std::string& path, bool isFolder) { return path == a && isFolder == folder; }, t);
      break;
    default: FAIL() << step;
  }
}

struct CoalesceCase {
  const char* name;
  std::vector<std::string> steps;
  std::vector<Op> operations;
  std::vector<std::string> folders;
  std::vector<std::string> files;
};

Op del(const char* p) { return Op{Op::Kind::kDelete, p, {}}; }
Op ren(const char* a, const char* b) { return Op{Op::Kind::kRename, a, b}; }

class CoalesceTable : public ::testing::TestWithParam<CoalesceCase> {};

TEST_P(CoalesceTable, HandsOnWhatTheServerNeeds) {
  const CoalesceCase& c = GetParam();
  EventCoalescer coalescer(std::chrono::seconds(1));
  for (const std::string& step : c.steps) apply(coalescer, step);
  const EventCoalescer::Batch batch = coalescer.take();
  EXPECT_EQ(batch.operations, c.operations) << c.name;
  EXPECT_EQ(batch.folders, c.folders) << c.name;
  EXPECT_EQ(batch.files, c.files) << c.name;
  EXPECT_TRUE(coalescer.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, CoalesceTable,
    ::testing::Values(
        CoalesceCase{"create, write, close", {"+f /r/a", "~ /r/a", "~ /r/a"}, {}, {}, {"/r/a"}},
        CoalesceCase{"create then delete leaves nothing", {"+f /r/a", "~ /r/a", "-f /r/a"}, {}, {}, {}},
        CoalesceCase{"modify then delete is a delete", {"~ /r/a", "-f /r/a"}, {del("/r/a")}, {}, {}},
        CoalesceCase{"delete then create is a modification", {"-f /r/a", "+f /r/a"}, {}, {}, {"/r/a"}},
        CoalesceCase{"a folder keeps its delete when made again",
                     {"-f /r/d/x", "-d /r/d", "+d /r/d"}, {del("/r/d/x"), del("/r/d")}, {"/r/d"}, {}},
        CoalesceCase{"rename keeps order with deletes",
                     {"-f /r/x", ">f /r/a /r/b", "-f /r/b"},
                     {del("/r/x"), ren("/r/a", "/r/b"), del("/r/b")}, {}, {}},
        CoalesceCase{"created then renamed is created under the new name",
                     {"+f /r/tmp", "~ /r/tmp", ">f /r/tmp /r/final"}, {}, {}, {"/r/final"}},
        CoalesceCase{"folder made, filled and renamed",
                     {"+d /r/new", "+d /r/new/sub", "+f /r/new/sub/f", ">d /r/new /r/done"},
                     {}, {"/r/done", "/r/done/sub"}, {"/r/done/sub/f"}},
        CoalesceCase{"modified then renamed is modified under the new name",
                     {"~ /r/a", ">f /r/a /r/b"}, {ren("/r/a", "/r/b")}, {}, {"/r/b"}},
        CoalesceCase{"changes inside a renamed folder follow it",
                     {"~ /r/d/f", "+f /r/d/g", ">d /r/d /r/e"}, {ren("/r/d", "/r/e")}, {},
                     {"/r/e/f", "/r/e/g"}},
        CoalesceCase{"rename over a file created in the window replaces it",
                     {"+f /r/b", ">f /r/a /r/b"}, {ren("/r/a", "/r/b")}, {}, {}},
        CoalesceCase{"what a removed folder held goes with it",
                     {"+f /r/d/new", "~ /r/d/old", "-f /r/d/old", "-d /r/d"},
                     {del("/r/d/old"), del("/r/d")}, {}, {}},
        CoalesceCase{"a sibling with a longer name is not inside",
                     {"+f /r/d0/f", "+f /r/d/f", "-d /r/d"}, {del("/r/d")}, {}, {"/r/d0/f"}},
        CoalesceCase{"case-only rename", {">f /r/a.txt /r/A.txt"}, {ren("/r/a.txt", "/r/A.txt")}, {}, {}},
        CoalesceCase{"renamed away and a new file made under the old name",
                     {">f /r/a /r/b", "+f /r/a"}, {ren("/r/a", "/r/b")}, {}, {"/r/a"}},
        CoalesceCase{"a removal inside a folder made in the window needs no delete",
                     {"+d /r/new", "-f /r/new/sub/f", "-d /r/new/sub", "-f /r/other"},
                     {del("/r/other")}, {"/r/new"}, {}},
        CoalesceCase{"a file made where a folder was removed keeps the folder's delete",
                     {"-f /r/d/x", "-d /r/d", "+f /r/d"}, {del("/r/d/x"), del("/r/d")}, {}, {"/r/d"}},
        CoalesceCase{"a file removed and found again after lost events goes up again",
                     {"~ /r/a", "-f /r/a", "!f /r/a"}, {}, {}, {"/r/a"}},
        CoalesceCase{"a folder found again keeps the deletes of what it no longer holds",
                     {"-f /r/d/x", "-d /r/d", "!d /r/d"}, {del("/r/d/x")}, {}, {}},
        CoalesceCase{"a folder removed with a file of its name found keeps its delete",
                     {"-d /r/d", "!f /r/d"}, {del("/r/d")}, {}, {}},
        CoalesceCase{"a removal a later rename follows stays",
                     {"-f /r/b", ">f /r/a /r/b", "!f /r/b"}, {del("/r/b"), ren("/r/a", "/r/b")}, {}, {}},
        CoalesceCase{"folders come parents first", {"+d /r/a/b", "+d /r/a", "+d /r/a-b"}, {},
                     {"/r/a", "/r/a-b", "/r/a/b"}, {}}));

TEST(EventCoalescer, WindowOpensWithTheFirstChangeAndClosesAFixedTimeLater) {
  EventCoalescer c(std::chrono::seconds(1));
  EXPECT_FALSE(c.deadline());
  const Clock::TimePoint t0{std::chrono::seconds(100)};
  c.modified("/r/a", t0);
  c.modified("/r/b", t0 + std::chrono::milliseconds(900));
  ASSERT_TRUE(c.deadline());
  EXPECT_EQ(*c.deadline(), t0 + std::chrono::seconds(1));  // a steady stream cannot delay it
  c.take();
  EXPECT_FALSE(c.deadline());
}

}  // namespace
}  // namespace ulmora
