// Two computers linked to one account: what the user does in the sync folder
// of A reaches the sync folder of B through the stand-in engine's storage,
// announced by a push from the stand-in service rather than found by the
// periodic listing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SharedAccountHarness.h"
#include "platform/ProcessRunner.h"

namespace ulmora {
namespace {

using namespace e2e;
using Steady = std::chrono::steady_clock;

// The service, the two homes and their agents, started and listening.
class TwoAgents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start()) << service_.why();
    a_ = std::make_unique<LinkedHome>(dir_, "a", service_);
    b_ = std::make_unique<LinkedHome>(dir_, "b", service_);
    ASSERT_TRUE(a_->ok() && b_->ok());
    agentA_ = std::make_unique<RunningAgent>(*a_, timeScale(), launcher());
    agentB_ = std::make_unique<RunningAgent>(*b_, timeScale(), launcher());
    ASSERT_TRUE(agentA_->start() && agentB_->start()) << "an agent never listened on its sockets";
    ASSERT_TRUE(agentA_->waitUntilListening()) << a_->trace();
    ASSERT_TRUE(agentB_->waitUntilListening()) << b_->trace();
  }
  void TearDown() override {
    // For a look at what the agents did: ULMORA_E2E_TRACES=<folder>.
    if (const char* keep = std::getenv("ULMORA_E2E_TRACES"); keep != nullptr && a_ && b_) {
      const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
      fileutil::writeFileAtomically(std::string(keep) + "/" + name + ".A.log", a_->trace());
      fileutil::writeFileAtomically(std::string(keep) + "/" + name + ".B.log", b_->trace());
    }
    for (RunningAgent* agent : {agentB_.get(), agentA_.get()}) {
      if (agent == nullptr || agent->ended()) continue;
      const ProcessResult result = agent->stop();
      EXPECT_EQ(result.termSignal, 0) << result.err;
      EXPECT_EQ(result.exitStatus, 0) << result.err;
    }
  }

  virtual double timeScale() const { return kTimeScale; }
  virtual AgentProcess::Launcher launcher() const { return {}; }

  // Waits for `done` and returns how long it took, or nothing.
  static std::optional<std::chrono::milliseconds> timeUntil(const std::function<bool()>& done,
                                                            std::chrono::seconds patience = kCrossPatience) {
    const auto start = Steady::now();
    if (!eventuallyWithin(patience, done)) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start);
  }

  static void write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }

  // One value about the storage's live entries whose path matches a LIKE
  // pattern (a plain path matches itself), as text.
  std::optional<std::string> stored(const std::string& what, const std::string& pattern) const {
    auto conn = SqliteConnection::open(service_.storage() + "/accounts/demo/meta.db",
                                       SqliteConnection::OpenMode::kReadOnly);
    if (!conn) return std::nullopt;
    return conn->queryText("SELECT " + what + " FROM entries WHERE in_trash = 0 AND CAST(path AS TEXT) LIKE '" +
                           pattern + "'");
  }

  // Both computers hold "first" in sync; then the push channel goes down and
  // A saves a newer version that reaches the service but not B.
  void saveOnAWhileBCannotHear() {
    write(a_->at("shared.txt"), "first");
    ASSERT_TRUE(timeUntil([&] {
      return b_->content("shared.txt") == "first" &&
             b_->query("SELECT BACKUP_STATUS || RESTORE_STATUS FROM FILE_TABLE WHERE FILEPATH = '/shared.txt'") ==
                 "11";
    })) << b_->trace();
    service_.setFaults("refuse\n");
    ASSERT_TRUE(service_.waitUntilRefusing(true)) << "B could still hear of A's save";
    write(a_->at("shared.txt"), "newer from A");
    ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return stored("size", "/shared.txt") == "12"; }))
        << a_->trace();
  }

  testing::TestTempDir dir_;
  testing::StandInService service_{ULMORA_SERVICE_PATH};
  std::unique_ptr<LinkedHome> a_, b_;
  std::unique_ptr<RunningAgent> agentA_, agentB_;
};

// One user action on A and what B must show afterwards.
struct FileStep {
  const char* what;
  std::function<void(const LinkedHome&)> onA;
  std::function<bool(const LinkedHome&)> arrivedOnB;
};

// The suite's case at real speed, kept to what only real timing shows: an
// editor's save (a temporary file renamed over the name 1.2 s later) falls
// inside one 5-second sync cycle as a user's does, the latencies it prints
// are a user's, and it counts on the 900-second listing not coming round
// while it runs. Renames, moves, deletes and changes run scaled below.
class TwoAgentsAtRealTime : public TwoAgents {
 protected:
  double timeScale() const override { return kRealTime; }
};

TEST_F(TwoAgentsAtRealTime, FileChangesOnOneComputerReachTheOther) {
  const std::vector<FileStep> steps = {
      {"created",
       [](const LinkedHome& a) { write(a.at("note.txt"), "first words"); },
       [](const LinkedHome& b) { return b.content("note.txt") == "first words"; }},
      // Editors save by writing a temporary file and renaming it over the
      // name a moment later.
      {"saved by rename",
       [](const LinkedHome& a) {
         write(a.at("draft.txt.tmp"), "saved by the editor");
         std::this_thread::sleep_for(std::chrono::milliseconds(1200));
         std::filesystem::rename(a.at("draft.txt.tmp"), a.at("draft.txt"));
       },
       [](const LinkedHome& b) {
         return b.content("draft.txt") == "saved by the editor" && b.missing("draft.txt.tmp");
       }},
  };
  for (const FileStep& step : steps) {
    SCOPED_TRACE(step.what);
    step.onA(*a_);
    const auto took = timeUntil([&] { return step.arrivedOnB(*b_); });
    ASSERT_TRUE(took) << "B never showed the change\n--- A:\n" << a_->trace() << "\n--- B:\n" << b_->trace();
    std::printf("[ latency ] %s on A -> B: %lld ms\n", step.what, static_cast<long long>(took->count()));
  }
  // Every change came by a push: B listed once at start and then once per
  // message, never through the periodic listing.
  EXPECT_GE(b_->traceCount("parseNotificationMessageData"), steps.size());
  EXPECT_EQ(b_->traceCount("periodicListening"), 0u);
  // The editor's temporary name never reached B, and "draft.txt" arrived once.
  EXPECT_EQ(b_->query("SELECT COUNT(*) FROM FILE_TABLE WHERE FILEPATH LIKE '/draft.txt%'"), "1");
}

// Cases that wait out the minute a repeated one-file set or a failed
// download's retry waits, or the push channel's retry (150 s) after the
// service refused it: twice the usual scale halves that wait. Only the
// agents' timers run faster; their engine and socket time-outs, file times
// and the tests' patience stay real.
class TwoAgentsWaitingAMinute : public TwoAgents {
 protected:
  double timeScale() const override { return 2 * kTimeScale; }
};

// The changed file B downloads is not uploaded back by B: sent back after
// A's rename, it would leave B a stale copy under the old name.
TEST_F(TwoAgentsWaitingAMinute, AChangeThenARenameAndAMoveLeaveNoStaleCopy) {
  write(a_->at("note.txt"), "first words");
  ASSERT_TRUE(timeUntil([&] { return b_->content("note.txt") == "first words"; })) << b_->trace();
  write(a_->at("note.txt"), "second, longer words");
  // The same one-file set again: the upload on A and the download on B each
  // wait a minute first.
  ASSERT_TRUE(timeUntil([&] { return b_->content("note.txt") == "second, longer words"; },
                        std::chrono::seconds(200)))
      << b_->trace();
  std::filesystem::rename(a_->at("note.txt"), a_->at("letter.txt"));
  ASSERT_TRUE(timeUntil([&] { return b_->content("letter.txt") == "second, longer words"; })) << b_->trace();
  std::filesystem::create_directory(a_->at("Post"));
  std::filesystem::rename(a_->at("letter.txt"), a_->at("Post/letter.txt"));
  ASSERT_TRUE(timeUntil([&] {
    return b_->content("Post/letter.txt") == "second, longer words" && b_->missing("letter.txt");
  })) << b_->trace();
  // Deleted on A: B's copy goes to its cache, and stays there.
  std::filesystem::remove(a_->at("Post/letter.txt"));
  ASSERT_TRUE(timeUntil([&] {
    if (!b_->missing("Post/letter.txt")) return false;
    for (const auto& [path, text] : b_->cached("Post/letter.txt", false)) {
      if (text == "second, longer words") return true;
    }
    return false;
  })) << b_->trace();
  EXPECT_EQ(stored("COUNT(*)", "/.UMSCache%"), "0");
}

TEST_F(TwoAgents, FolderChangesOnOneComputerReachTheOther) {
  // An empty folder.
  std::filesystem::create_directory(a_->at("Empty"));
  ASSERT_TRUE(timeUntil([&] { return b_->hasFolder("Empty"); })) << b_->trace();

  // A folder with contents arrives, is renamed, and B renames its copy in
  // place: the same files, not downloaded again.
  write(a_->at("Album/one.txt"), "one");
  write(a_->at("Album/Inner/two.txt"), "two");
  ASSERT_TRUE(timeUntil([&] {
    return b_->content("Album/one.txt") == "one" && b_->content("Album/Inner/two.txt") == "two";
  })) << b_->trace();
  const ino_t one = b_->inode("Album/one.txt");
  const ino_t two = b_->inode("Album/Inner/two.txt");
  std::filesystem::rename(a_->at("Album"), a_->at("Photos"));
  ASSERT_TRUE(timeUntil([&] {
    return b_->content("Photos/one.txt") == "one" && b_->content("Photos/Inner/two.txt") == "two" &&
           b_->missing("Album");
  })) << b_->trace();
  EXPECT_EQ(b_->inode("Photos/one.txt"), one) << "B downloaded the renamed folder again";
  EXPECT_EQ(b_->inode("Photos/Inner/two.txt"), two) << "B downloaded the renamed folder again";

  // A folder deleted on A: its files end up in B's cache, the folder goes.
  std::filesystem::remove_all(a_->at("Photos"));
  ASSERT_TRUE(timeUntil([&] {
    return b_->missing("Photos") && !b_->cached("Photos/one.txt", false).empty() &&
           !b_->cached("Photos/Inner/two.txt", false).empty();
  })) << b_->tree() << b_->trace();
  EXPECT_TRUE(b_->hasFolder("Empty"));
}

// A move into or out of the sync folder leaves nothing but the half of it
// the watcher sees: a folder moved in reaches the other computer whole, one
// moved out leaves it, and a file moved out with another moved in at its
// name at once is that other file there.
TEST_F(TwoAgents, WhatIsMovedInOrOutOfTheSyncFolderReachesTheOther) {
  const std::string elsewhere = dir_.sub("Elsewhere");
  write(elsewhere + "/Trip/day1.txt", "day one");
  write(elsewhere + "/Trip/Photos/p.txt", "photo");
  write(a_->at("report.txt"), "first");
  std::filesystem::rename(elsewhere + "/Trip", a_->at("Trip"));
  ASSERT_TRUE(timeUntil([&] {
    return b_->content("Trip/day1.txt") == "day one" && b_->content("Trip/Photos/p.txt") == "photo" &&
           b_->content("report.txt") == "first";
  })) << a_->trace();

  write(elsewhere + "/report-v2.txt", "second draft");
  std::filesystem::rename(a_->at("report.txt"), elsewhere + "/report-v1.txt");
  std::filesystem::rename(elsewhere + "/report-v2.txt", a_->at("report.txt"));
  std::filesystem::rename(a_->at("Trip"), elsewhere + "/Trip-done");
  EXPECT_TRUE(timeUntil([&] {
    return b_->content("report.txt") == "second draft" && b_->missing("Trip") &&
           stored("COUNT(*)", "/Trip/%") == "0";
  })) << "--- A:\n" << a_->trace() << "\n--- B:\n" << b_->tree();
}

// After the pause B lists before it uploads: its edit, made after the last
// sync, becomes a conflict copy instead of replacing A's newer copy.
TEST_F(TwoAgentsWaitingAMinute, AnEditMadeWhileANewerCopyArrivesIsKeptAsAConflictCopy) {
  write(a_->at("shared.txt"), "from A");
  ASSERT_TRUE(timeUntil([&] { return b_->content("shared.txt") == "from A"; })) << b_->trace();

  // B is paused, so its edit is not sent before A's newer copy is stored.
  ASSERT_TRUE(sendCommand(agentB_->monitor(), 502));
  ASSERT_TRUE(nextOfType(agentB_->finder(), 502));
  write(b_->at("shared.txt"), "edited on B");
  write(a_->at("shared.txt"), "newer from A");
  const auto later = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) + 60;
  utimbuf times{later, later};
  ASSERT_EQ(::utime(a_->at("shared.txt").c_str(), &times), 0);
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    return stored("size", "/shared.txt") == "12";
  })) << a_->trace();

  ASSERT_TRUE(sendCommand(agentB_->monitor(), 503));
  // B downloads the one-file set it downloaded last: it waits a minute first.
  ASSERT_TRUE(timeUntil([&] {
    if (b_->content("shared.txt") != "newer from A") return false;
    for (const auto& [path, text] : b_->cached("shared.txt", true)) {
      if (text == "edited on B") return true;
    }
    return false;
  }, std::chrono::seconds(200))) << "B's edit was not kept as a conflict copy\n--- B:\n" << b_->trace();
  // Nothing sent B's edit over A's newer copy.
  EXPECT_TRUE(eventuallyWithin(std::chrono::seconds(5), [&] { return a_->content("shared.txt") == "newer from A"; }));
}

// A is stopped when B renames its file twice that A had changed meanwhile: on
// its return A's database still calls the file uploaded. The rename must not
// carry A's change under B's names and download over it; A's change stays
// under the old name and reaches B, and nothing stays under the middle name.
TEST_F(TwoAgents, AChangeMadeWhileStoppedSurvivesTwoRenamesOnTheOtherComputer) {
  write(b_->at("notes.txt"), "first words\n");
  ASSERT_TRUE(timeUntil([&] {
    return a_->content("notes.txt") == "first words\n" &&
           a_->query("SELECT BACKUP_STATUS FROM FILE_TABLE WHERE FILEPATH = '/notes.txt'") == "1";
  })) << a_->trace();
  ASSERT_EQ(agentA_->stop().exitStatus, 0);

  write(a_->at("notes.txt"), "first words\nadded on A\n");
  struct stat st {};
  ASSERT_EQ(::stat(a_->at("notes.txt").c_str(), &st), 0);
  utimbuf later{st.st_mtime + 60, st.st_mtime + 60};
  ASSERT_EQ(::utime(a_->at("notes.txt").c_str(), &later), 0);

  std::filesystem::rename(b_->at("notes.txt"), b_->at("x.bin"));
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    return stored("COUNT(*)", "/x.bin") == "1" && stored("COUNT(*)", "/notes.txt") == "0";
  })) << b_->trace();
  std::filesystem::rename(b_->at("x.bin"), b_->at("data.txt"));
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    return stored("COUNT(*)", "/data.txt") == "1" && stored("COUNT(*)", "/x.bin") == "0";
  })) << b_->trace();

  agentA_ = std::make_unique<RunningAgent>(*a_, timeScale());
  ASSERT_TRUE(agentA_->start() && agentA_->waitUntilListening()) << a_->trace();
  EXPECT_TRUE(timeUntil([&] {
    for (const LinkedHome* home : {a_.get(), b_.get()}) {
      if (home->content("data.txt") != "first words\n" || home->content("notes.txt") != "first words\nadded on A\n" ||
          !home->missing("x.bin"))
        return false;
    }
    return stored("COUNT(*)", "/x.bin") == "0";
  })) << "--- A:\n" << a_->trace() << "\n--- B:\n" << b_->trace();
}

// The selective-sync choice as the companion makes it: the list, then
// message 513 through ulmora-peer.
bool chooseFolders(const LinkedHome& home, const std::string& folder, bool selected) {
  PropertyList list(PropertyList::Dict{});
  list.set(folder, selected ? "1" : "0");
  if (!list.writeFile(home.home() + "/.config/ulmora/accounts/demo/SelectiveSync.plist")) return false;
  ProcessOptions o;
  o.executable = ULMORA_PEER_PATH;
  o.arguments = {"--monitor", "--no-bus", "--count", "0", "--send", "513", ""};
  o.environment = {{"HOME", home.home()}, {"XDG_RUNTIME_DIR", home.runtime()}};
  o.timeout = std::chrono::seconds(60);
  return ProcessRunner::run(o).succeeded();
}

TEST_F(TwoAgents, ADeselectedFolderStopsSyncingAndComesBackWhenSelectedAgain) {
  write(a_->at("Docs/one.txt"), "one");
  ASSERT_TRUE(timeUntil([&] { return b_->content("Docs/one.txt") == "one"; })) << b_->trace();

  ASSERT_TRUE(chooseFolders(*b_, "/Docs", false));
  ASSERT_TRUE(timeUntil([&] { return b_->trace().find("sArray:/Docs") != std::string::npos; }))
      << b_->trace();
  // A later file outside the folder arrives; the one inside does not.
  write(a_->at("Docs/two.txt"), "two");
  write(a_->at("Other/marker.txt"), "marker");
  ASSERT_TRUE(timeUntil([&] { return b_->content("Other/marker.txt") == "marker"; })) << b_->trace();
  EXPECT_FALSE(b_->content("Docs/two.txt")) << "a deselected folder kept syncing";

  ASSERT_TRUE(chooseFolders(*b_, "/Docs", true));
  EXPECT_TRUE(timeUntil([&] {
    return b_->content("Docs/one.txt") == "one" && b_->content("Docs/two.txt") == "two";
  })) << b_->trace();
}

// A name B's download list could not carry never reaches the service from
// A: both computers and the storage agree, and A's user is told by name.
TEST_F(TwoAgents, ANameTheOtherComputerCannotTakeIsNeverUploaded) {
  write(a_->at("latin1 \xe9t\xe9.txt"), "bytes");
  write(a_->at("two\nlines.txt"), "lines");
  write(a_->at("fine.txt"), "fine");
  ASSERT_TRUE(timeUntil([&] { return b_->content("fine.txt") == "fine"; })) << a_->trace();
  ASSERT_TRUE(timeUntil([&] {
    return a_->traceCount("Not synced up: /latin1 \\xe9t\\xe9.txt") == 1 &&
           a_->traceCount("Not synced up: /two\\nlines.txt") == 1;
  })) << a_->trace();
  EXPECT_EQ(stored("COUNT(*)", "/latin1%"), "0");
  EXPECT_EQ(stored("COUNT(*)", "/two%"), "0");
  EXPECT_TRUE(b_->missing("latin1 \xe9t\xe9.txt"));
}

// A's sync folder replaced by a link to a folder elsewhere while A runs:
// nothing of that folder is uploaded; once the real folder and the login
// details are back, what changed in it meanwhile reaches B without a restart.
TEST_F(TwoAgents, ASyncFolderReplacedByALinkIsNotFollowedAndIsTakenUpAgain) {
  write(a_->at("before.txt"), "before");
  ASSERT_TRUE(timeUntil([&] { return b_->content("before.txt") == "before"; })) << a_->trace();
  const auto login = fileutil::readFile(a_->loginDetails());
  ASSERT_TRUE(login);
  const std::string away = a_->root() + ".real";
  const std::string elsewhere = dir_.sub("elsewhere");
  std::filesystem::create_directories(elsewhere);
  std::filesystem::rename(a_->root(), away);
  std::filesystem::create_directory_symlink(elsewhere, a_->root());
  write(elsewhere + "/outside.txt", "not the user's sync folder");
  // The sync notices: the folder is missing, the login details go.
  ASSERT_TRUE(timeUntil([&] { return !fileutil::exists(a_->loginDetails()); })) << a_->trace();
  write(away + "/while-away.txt", "written while away");
  std::filesystem::remove(a_->root());
  std::filesystem::rename(away, a_->root());
  ASSERT_TRUE(fileutil::writeFileAtomically(a_->loginDetails(), *login));
  EXPECT_TRUE(timeUntil([&] { return b_->content("while-away.txt") == "written while away"; }))
      << a_->trace();
  EXPECT_EQ(stored("COUNT(*)", "/outside%"), "0");
  EXPECT_TRUE(b_->missing("outside.txt"));
  EXPECT_EQ(b_->content("before.txt"), "before");
}

// Several changes to one folder inside one capture window: each must reach
// B and the storage once, whatever order the events were journalled in.
TEST_F(TwoAgents, ChangesInsideAFolderMovedInTheSameMomentArriveOnce) {
  struct Case {
    const char* name;
    std::function<void(const LinkedHome&)> onA;
    std::vector<std::string> present;  // files on B afterwards (folder "Moved")
    std::vector<std::string> gone;     // paths absent on B and on the storage
  };
  namespace fs = std::filesystem;
  const std::vector<Case> cases = {
      {"moved, then a file inside renamed",
       [](const LinkedHome& a) {
         fs::rename(a.at("F1"), a.at("Moved1"));
         fs::rename(a.at("Moved1/a.txt"), a.at("Moved1/b.txt"));
       },
       {"Moved1/b.txt", "Moved1/sub/c.txt"},
       {"F1", "Moved1/a.txt"}},
      {"moved, then a folder inside deleted",
       [](const LinkedHome& a) {
         fs::rename(a.at("F2"), a.at("Moved2"));
         fs::remove_all(a.at("Moved2/sub"));
       },
       {"Moved2/a.txt"},
       {"F2", "Moved2/sub"}},
      {"a file inside renamed, then moved",
       [](const LinkedHome& a) {
         fs::rename(a.at("F3/a.txt"), a.at("F3/b.txt"));
         fs::rename(a.at("F3"), a.at("Moved3"));
       },
       {"Moved3/b.txt", "Moved3/sub/c.txt"},
       {"F3", "Moved3/a.txt"}},
      {"moved into another folder, then renamed inside",
       [](const LinkedHome& a) {
         fs::rename(a.at("F4"), a.at("Outer4/Moved4"));
         fs::rename(a.at("Outer4/Moved4/sub"), a.at("Outer4/Moved4/sub2"));
       },
       {"Outer4/Moved4/a.txt", "Outer4/Moved4/sub2/c.txt"},
       {"F4", "Outer4/Moved4/sub"}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string f = "F" + std::to_string(i + 1);
    write(a_->at(f + "/a.txt"), "a " + f);
    write(a_->at(f + "/sub/c.txt"), "c " + f);
  }
  write(a_->at("Outer4/o.txt"), "o");
  ASSERT_TRUE(timeUntil([&] {
    if (!b_->content("Outer4/o.txt")) return false;
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const std::string f = "F" + std::to_string(i + 1);
      if (!b_->content(f + "/a.txt") || !b_->content(f + "/sub/c.txt")) return false;
    }
    return true;
  })) << b_->trace();
  for (const Case& c : cases) c.onA(*a_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(timeUntil([&] {
      for (const std::string& p : c.present) {
        if (!b_->content(p) || stored("COUNT(*)", "/" + p) != "1") return false;
      }
      for (const std::string& p : c.gone) {
        if (!b_->missing(p) || stored("COUNT(*)", "/" + p) != "0" || stored("COUNT(*)", "/" + p + "/%") != "0")
          return false;
      }
      return true;
    })) << "--- A:\n" << a_->trace() << "\n--- B:\n" << b_->trace();
  }
  // Nothing arrived twice: the storage holds each file once.
  EXPECT_EQ(stored("COUNT(*)", "%.txt"), "8");
}

// A moves a file into a folder, moves the folder and saves a new file and a
// new folder in it at once, while B adds a file to the folder that A has not
// heard of: the folder's rename must reach the service before the new file
// or folder makes the new name there, or the rename finds its name taken and
// B's file goes with the old folder.
TEST_F(TwoAgentsWaitingAMinute, AFolderMovedWhileTheOtherComputerAddsToItKeepsBothAdditions) {
  write(a_->at("Folder/a.txt"), "a");
  write(a_->at("top.txt"), "top");
  ASSERT_TRUE(timeUntil([&] {
    return b_->content("Folder/a.txt") == "a" && b_->content("top.txt") == "top" &&
           b_->query("SELECT BACKUP_STATUS || RESTORE_STATUS FROM FILE_TABLE WHERE FILEPATH = '/Folder/a.txt'") ==
               "11";
  })) << b_->trace();
  service_.setFaults("refuse\n");
  ASSERT_TRUE(service_.waitUntilRefusing(true)) << "A could still hear of B's file";
  write(b_->at("Folder/b.txt"), "from B");
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return stored("COUNT(*)", "/Folder/b.txt") == "1"; }))
      << b_->trace();

  // The file's rename and the folder's go in two batches, a pause apart.
  std::filesystem::rename(a_->at("top.txt"), a_->at("Folder/top.txt"));
  std::filesystem::rename(a_->at("Folder"), a_->at("Moved"));
  std::filesystem::create_directory(a_->at("Moved/Empty"));
  write(a_->at("Moved/new.txt"), "new on A");
  const auto movedOnStorage = [&] {
    return stored("COUNT(*)", "/Moved/a.txt") == "1" && stored("COUNT(*)", "/Moved/top.txt") == "1" && stored("COUNT(*)", "/Moved/b.txt") == "1" &&
           stored("COUNT(*)", "/Moved/new.txt") == "1" && stored("COUNT(*)", "/Moved/Empty/") == "1" &&
           stored("COUNT(*)", "/Folder/%") == "0";
  };
  EXPECT_TRUE(timeUntil(movedOnStorage)) << "--- A:\n" << a_->trace();
  service_.setFaults("");
  ASSERT_TRUE(service_.waitUntilRefusing(false));
  write(a_->at("after.txt"), "announced");
  EXPECT_TRUE(timeUntil([&] {
    return b_->content("after.txt") && b_->content("Moved/a.txt") == "a" && b_->content("Moved/b.txt") == "from B" &&
           b_->content("Moved/new.txt") == "new on A" && b_->content("Moved/top.txt") == "top" &&
           b_->hasFolder("Moved/Empty") && b_->missing("Folder") && b_->missing("top.txt") &&
           a_->content("Moved/b.txt") == "from B" && a_->missing("Folder");
  })) << "--- A:\n" << a_->trace() << "\n--- B:\n" << b_->trace();
  EXPECT_TRUE(movedOnStorage());
}

// Whether any session log of `home` holds `text`.
bool sessionLogsHold(const LinkedHome& home, const std::string& text) {
  std::error_code ec;
  const std::string folder = home.home() + "/.local/share/ulmora";
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().string().find("SessionLogs") == std::string::npos || !it->is_regular_file()) continue;
    if (fileutil::readFile(it->path().string()).value_or("").find(text) != std::string::npos) return true;
  }
  return false;
}

// A download that could not be written (the disk full) is fetched again a
// little later, although the listing has moved past it with a later file.
TEST_F(TwoAgentsWaitingAMinute, AFileThatFoundTheDiskFullIsFetchedAgainLater) {
  const std::string faults = service_.storage() + "/faults";
  ASSERT_TRUE(fileutil::writeFileAtomically(faults, "no-space /full.txt\n"));
  write(a_->at("full.txt"), "waits for room");
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    return sessionLogsHold(*b_, "/full.txt could not be synced down (No space left on device)");
  })) << "--- B:\n" << b_->trace();
  // A clean run after it: the listing index moves past the failed file.
  write(a_->at("later.txt"), "fits");
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return b_->content("later.txt") == "fits"; }))
      << "--- B:\n" << b_->trace();
  ASSERT_TRUE(fileutil::removeAll(faults));
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] { return b_->content("full.txt") == "waits for room"; }))
      << "--- B:\n" << b_->trace();
}

// Both computers edit one file within one second, both online: one edit
// wins on both and on the storage, and the computer whose edit lost keeps it
// in its ConflictData and names the copy in its session log. Twice, the
// longer edit on either side, so that neither order of the uploads passes
// by luck.
TEST_F(TwoAgentsWaitingAMinute, TwoEditsWithinOneSecondLoseNothing) {
  struct Round {
    const char* file;
    const char* onA;
    const char* onB;
  };
  for (const Round& round : {Round{"race1.txt", "edited on A, the longer one", "edited on B"},
                             Round{"race2.txt", "edited on A", "edited on B, the longer one"}}) {
    SCOPED_TRACE(round.file);
    write(a_->at(round.file), "first");
    ASSERT_TRUE(timeUntil([&] {
      return b_->content(round.file) == "first" &&
             b_->query(std::string("SELECT BACKUP_STATUS FROM FILE_TABLE WHERE FILEPATH = '/") + round.file + "'") ==
                 "1";
    })) << b_->trace();
    write(a_->at(round.file), round.onA);
    write(b_->at(round.file), round.onB);
    // The same second on both, whatever the clock did between the writes;
    // the sizes differ, which is what tells the two edits apart.
    struct stat st {};
    ASSERT_EQ(::stat(a_->at(round.file).c_str(), &st), 0);
    const timespec times[2] = {{st.st_mtim.tv_sec, 0}, {st.st_mtim.tv_sec, st.st_mtim.tv_nsec / 2}};
    ASSERT_EQ(::utimensat(AT_FDCWD, b_->at(round.file).c_str(), times, 0), 0);

    std::string winner, loser;
    const LinkedHome* lost = nullptr;
    const bool settled = eventuallyWithin(std::chrono::seconds(200), [&] {
      const auto onA = a_->content(round.file);
      const auto onB = b_->content(round.file);
      if (!onA || onA != onB || (*onA != round.onA && *onA != round.onB)) return false;
      winner = *onA;
      loser = winner == round.onA ? round.onB : round.onA;
      lost = winner == round.onA ? b_.get() : a_.get();
      for (const auto& [path, text] : lost->cached(round.file, true)) {
        if (text == loser) return true;
      }
      return false;
    });
    ASSERT_TRUE(settled) << "the computers never agreed with the losing edit kept\n--- A:\n"
                         << a_->trace() << "\n--- B:\n" << b_->trace();
    EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] {
      return sessionLogsHold(*lost, std::string("The local copy of /") + round.file + " was kept as");
    })) << (lost == a_.get() ? "A" : "B") << " never named the conflict copy";
    EXPECT_EQ(stored("size", std::string("/") + round.file), std::to_string(winner.size()));
  }
}

// B has not heard of A's newer save (the push channel is down) when it sends
// its own edit of the file, newer by the clock. The service keeps A's
// version, which B never saw: B's edit is kept as a conflict copy there, B
// fetches A's version, and A's copy is never written over.
TEST_F(TwoAgentsWaitingAMinute, AnEditSentOverAVersionNeverSeenIsKeptAsAConflictCopy) {
  ASSERT_NO_FATAL_FAILURE(saveOnAWhileBCannotHear());
  write(b_->at("shared.txt"), "edited on B, A's save unseen");

  ASSERT_TRUE(timeUntil([&] {
    if (b_->content("shared.txt") != "newer from A") return false;
    for (const auto& [path, text] : b_->cached("shared.txt", true)) {
      if (text == "edited on B, A's save unseen") return true;
    }
    return false;
  })) << "B's edit was not kept beside A's version\n--- B:\n" << b_->trace();
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    return sessionLogsHold(*b_, "The local copy of /shared.txt was kept as");
  })) << "B never named the conflict copy";
  EXPECT_EQ(stored("size", "/shared.txt"), "12");
  EXPECT_EQ(a_->content("shared.txt"), "newer from A");
  EXPECT_TRUE(a_->cached("shared.txt", true).empty());
}

// B deletes the file before it has heard of A's newer save (the push channel
// is down). The service keeps A's version, which B never saw: B's delete of
// the older version takes nothing from A, and B fetches A's version again.
TEST_F(TwoAgentsWaitingAMinute, ADeleteOfAVersionNeverSeenLeavesTheNewerOneEverywhere) {
  ASSERT_NO_FATAL_FAILURE(saveOnAWhileBCannotHear());
  ASSERT_EQ(std::remove(b_->at("shared.txt").c_str()), 0);

  EXPECT_TRUE(timeUntil([&] { return b_->content("shared.txt") == "newer from A"; }))
      << "B never fetched A's version\n--- B:\n" << b_->trace();
  EXPECT_EQ(stored("size", "/shared.txt"), "12");
  EXPECT_EQ(a_->content("shared.txt"), "newer from A");
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    return sessionLogsHold(*b_, "/shared.txt was changed on another computer and was not deleted");
  })) << "B never said why the file came back";
}

// B stopped, its sync folder emptied (a volume not mounted) and started so:
// nothing is deleted on the storage, and once the folder holds a file again
// every file B lacks is fetched again.
TEST_F(TwoAgents, ASyncFolderFoundEmptyAtStartFetchesWhatItLacksOnceFilledAgain) {
  write(a_->at("one.txt"), "one");
  write(a_->at("Sub/two.txt"), "two");
  // B holds both and has recorded them, with no download left over for its
  // next start to finish.
  ASSERT_TRUE(timeUntil([&] {
    const std::string trace = b_->trace();
    const size_t done = trace.rfind("Operation did finish sucess No restore pending");
    return b_->content("one.txt") == "one" && b_->content("Sub/two.txt") == "two" &&
           b_->query("SELECT COUNT(*) FROM FILE_TABLE WHERE BACKUP_STATUS = 1 AND FILEPATH IN "
                     "('/one.txt', '/Sub/two.txt')") == "2" &&
           done != std::string::npos && done > trace.rfind("start restore called");
  })) << b_->trace();
  ASSERT_EQ(agentB_->stop().exitStatus, 0);
  const std::string away = b_->root() + ".unmounted";
  std::filesystem::rename(b_->root(), away);
  std::filesystem::create_directory(b_->root());

  const std::string empty = "the sync folder is empty but the local database lists items";
  const size_t emptyBefore = b_->traceCount(empty);
  agentB_ = std::make_unique<RunningAgent>(*b_, timeScale(), launcher());
  ASSERT_TRUE(agentB_->start()) << b_->trace();
  ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] { return b_->traceCount(empty) > emptyBefore; }))
      << b_->trace();
  write(b_->at("back.txt"), "the folder holds a file again");
  EXPECT_TRUE(eventuallyWithin(kCrossPatience, [&] {
    return b_->trace().find("found empty holds items again; 2 files it lacks are fetched again") != std::string::npos;
  })) << "B's rows: " << b_->query("SELECT group_concat(FILEPATH, ', ') FROM FILE_TABLE").value_or("none");
  EXPECT_TRUE(timeUntil([&] {
    return b_->content("one.txt") == "one" && b_->content("Sub/two.txt") == "two" &&
           a_->content("back.txt") == "the folder holds a file again";
  })) << "--- B:\n" << b_->trace();
  EXPECT_EQ(stored("COUNT(*)", "/one.txt"), "1");
  EXPECT_EQ(stored("COUNT(*)", "/Sub/two.txt"), "1");
  EXPECT_EQ(a_->content("one.txt"), "one");
  EXPECT_EQ(a_->content("Sub/two.txt"), "two");
}

// An editor that keeps its temporary file longer than a sync cycle, so that
// the temporary file is uploaded before it is renamed over the real one, on
// either computer, between edits in place: each new content reaches the
// other computer and the storage under the real name, and nothing is set
// aside as a conflict copy.
// Disabled until mended. What still fails in some runs (1 of 2 under
// light load): an edit in place right after a save through a temporary file
// is replaced by that save. The download run that fetched the save ends,
// its re-query of the database queues the same path again, and that set,
// the same as the last one, waits the repeated-set minute; the edit made
// meanwhile is overwritten when the set runs, and the upload run then finds
// the file in sync. Also seen under heavy load: the delete of the temporary
// file's name, queued when the server refused the rename onto the taken
// name, never goes out, so the temporary file stays on the storage.
TEST_F(TwoAgents, DISABLED_AnEditorsTemporaryFileRenamedOverTheFileAfterACycle) {
  struct Save {
    bool onA;
    const char* temporary;  // nullptr: written in place
  };
  write(a_->at("draft.txt"), "first version");
  ASSERT_TRUE(timeUntil([&] { return b_->content("draft.txt") == "first version"; })) << b_->trace();
  const std::vector<Save> saves = {{true, ".draft.txt.tmp"}, {false, nullptr},         {true, ".draft.txt.tmp"},
                                   {true, nullptr},          {true, "draft.txt~"},     {false, ".draft.txt.swp"},
                                   {true, nullptr}};
  int n = 0;
  for (const Save& save : saves) {
    const LinkedHome& here = save.onA ? *a_ : *b_;
    const LinkedHome& there = save.onA ? *b_ : *a_;
    const std::string text = "save " + std::to_string(++n) + (save.onA ? " on A" : " on B") +
                             (save.temporary ? std::string(" through ") + save.temporary : " in place");
    SCOPED_TRACE(text);
    if (save.temporary) {
      write(here.at(save.temporary), text);
      ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] {
        return stored("COUNT(*)", std::string("/") + save.temporary) == "1";
      })) << here.trace();
      std::filesystem::rename(here.at(save.temporary), here.at("draft.txt"));
    } else {
      write(here.at("draft.txt"), text);
    }
    ASSERT_TRUE(timeUntil([&] {
      return there.content("draft.txt") == text && here.content("draft.txt") == text &&
             stored("COUNT(*)", "/draft.txt") == "1" && stored("size", "/draft.txt") == std::to_string(text.size());
    }, std::chrono::seconds(200))) << "A holds \"" << a_->content("draft.txt").value_or("nothing") << "\", B \""
                                    << b_->content("draft.txt").value_or("nothing") << "\", the storage "
                                    << stored("group_concat(CAST(path AS TEXT), ', ')", "%draft%").value_or("?")
                                    << "\n--- A:\n"
                                    << a_->trace() << "\n--- B:\n" << b_->trace();
  }
  EXPECT_TRUE(a_->cached("draft.txt", true).empty()) << "A set an edit aside as a conflict copy";
  EXPECT_TRUE(b_->cached("draft.txt", true).empty()) << "B set an edit aside as a conflict copy";
}

// Mode 000 binds root only without the capability to override it: as root
// the agents run under setpriv without it.
class TwoAgentsWithoutOverride : public TwoAgents {
 protected:
  void SetUp() override {
    if (::geteuid() == 0 && !fileutil::exists(kSetpriv))
      GTEST_SKIP() << "running as root and " << kSetpriv << " is missing: a mode of 000 would not stop the agent";
    TwoAgents::SetUp();
  }
  AgentProcess::Launcher launcher() const override {
    if (::geteuid() != 0) return {};
    return {kSetpriv, "--inh-caps=-dac_override,-dac_read_search",
            "--bounding-set=-dac_override,-dac_read_search"};
  }
  static constexpr const char* kSetpriv = "/usr/bin/setpriv";
};

// A folder A cannot read arrives in its sync folder, and becomes readable
// while A runs: its files reach B without a restart.
TEST_F(TwoAgentsWithoutOverride, AFolderThatBecomesReadableGoesUpWithoutARestart) {
  const std::string staging = dir_.sub("staging");
  write(staging + "/Locked/a.txt", "a");
  write(staging + "/Locked/Inner/b.txt", "b");
  ASSERT_EQ(::chmod((staging + "/Locked").c_str(), 0), 0);
  std::filesystem::rename(staging + "/Locked", a_->at("Locked"));
  // A has seen the folder and passed over it: a file written after it arrives.
  write(a_->at("after.txt"), "after");
  ASSERT_TRUE(timeUntil([&] { return b_->content("after.txt") == "after"; })) << a_->trace();
  EXPECT_TRUE(b_->missing("Locked/a.txt"));
  ASSERT_EQ(::chmod(a_->at("Locked").c_str(), 0755), 0);
  EXPECT_TRUE(timeUntil([&] {
    return b_->content("Locked/a.txt") == "a" && b_->content("Locked/Inner/b.txt") == "b";
  })) << "--- A:\n" << a_->trace() << "\n--- B:\n" << b_->trace();
}

}  // namespace
}  // namespace ulmora
