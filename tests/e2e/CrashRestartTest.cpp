// The agent killed (SIGKILL) while the user works, then started again: what
// the user made in the sync folder around the kill still reaches the storage.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "SharedAccountHarness.h"
#include "database/SqliteStatement.h"

namespace ulmora {
namespace {

using namespace e2e;

// The live folders of the storage, relative, without slashes around them.
std::set<std::string> storedFolders(const testing::StandInService& service) {
  std::set<std::string> folders;
  auto conn = SqliteConnection::open(service.storage() + "/accounts/demo/meta.db",
                                     SqliteConnection::OpenMode::kReadOnly);
  if (!conn) return folders;
  auto st = conn->prepare("SELECT CAST(path AS TEXT) FROM entries WHERE in_trash = 0 AND is_dir != 0");
  while (st && st->step() == SqliteStatement::Step::kRow) {
    std::string p = st->columnText(0).value_or("");
    while (!p.empty() && p.front() == '/') p.erase(0, 1);
    while (!p.empty() && p.back() == '/') p.pop_back();
    if (!p.empty()) folders.insert(p);
  }
  return folders;
}

std::string listed(const std::set<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += " \"" + n + "\"";
  return text.empty() ? " (none)" : text;
}

// Names in one of the account's journal folders.
std::vector<std::string> journalNames(const LinkedHome& home, const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  const std::string path = home.home() + "/.local/share/ulmora/demo/Journal/" + folder;
  for (auto it = std::filesystem::directory_iterator(path, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec))
    names.push_back(it->path().filename().string());
  return names;
}

// The moments of the folders' way at which the agent is killed.
enum class KillAt {
  kAtOnce,      // before the watcher handed anything on
  kJournalled,  // once a folder-creation list is published
  kTaken,       // once the cycle has read it
};

bool reached(const LinkedHome& home, KillAt at) {
  if (at == KillAt::kAtOnce) return true;
  for (const auto& name : journalNames(home, "CreateDir")) {
    const bool consumed = name.size() > 7 && name.compare(name.size() - 7, 7, ".delete") == 0;
    if (name[0] != '.' && (at == KillAt::kTaken) == consumed) return true;
  }
  return false;
}

struct CrashCase {
  const char* what;
  KillAt killAt;
  // Done to the sync folder while the agent runs, before the kill.
  std::function<void(const LinkedHome&)> beforeKill;
  // Done while the agent is down.
  std::function<void(const LinkedHome&)> whileDown;
  // Done as soon as the agent is started again.
  std::function<void(const LinkedHome&)> afterRestart;
  std::set<std::string> expected;  // folders the storage holds in the end
  std::set<std::string> gone;      // folders it must not hold
  // A file synced first, so that the account has a local database and the
  // next start is a restart rather than a new account's first scan.
  bool synced = true;
  // Folders of beforeKill that reach the storage before the kill.
  std::set<std::string> storedBeforeKill = {};
  double timeScale = kTimeScale;
};

bool holds(const std::set<std::string>& stored, const CrashCase& c) {
  for (const auto& e : c.expected) {
    if (!stored.count(e)) return false;
  }
  for (const auto& g : c.gone) {
    if (stored.count(g)) return false;
  }
  return true;
}

void runCrashCase(const CrashCase& c) {
  SCOPED_TRACE(c.what);
  testing::TestTempDir dir;
  testing::StandInService service(ULMORA_SERVICE_PATH);
  ASSERT_TRUE(service.start()) << service.why();
  LinkedHome a(dir, "a", service);
  ASSERT_TRUE(a.ok());
  {
    RunningAgent agent(a, c.timeScale);
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(agent.waitUntilListening()) << a.trace();
    if (c.synced) {
      std::FILE* f = std::fopen(a.at("seed.txt").c_str(), "wb");
      ASSERT_NE(f, nullptr);
      std::fputs("seed", f);
      std::fclose(f);
      ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] {
        return a.query("SELECT COUNT(*) FROM FILE_TABLE WHERE FILEPATH = '/seed.txt' AND BACKUP_STATUS = '1'") ==
               "1";
      })) << a.trace();
    }
    if (c.beforeKill) c.beforeKill(a);
    // A folder on the storage is recorded in the local database a few
    // seconds later (the write-behind); only then can a start tell it gone.
    ASSERT_TRUE(eventuallyWithin(kCrossPatience, [&] {
      const auto stored = storedFolders(service);
      for (const auto& f : c.storedBeforeKill) {
        if (!stored.count(f) || a.query("SELECT COUNT(*) FROM FILE_TABLE WHERE FILEPATH = '/" + f +
                                         "' AND FILE_OR_FOLDER = '1'") != "1")
          return false;
      }
      return true;
    })) << a.trace();
    // A moment missed (the agent was quicker: the folders are stored
    // already) still ends in a kill, at once rather than at the end of the
    // patience.
    eventuallyWithin(kCrossPatience, [&] { return reached(a, c.killAt) || holds(storedFolders(service), c); });
    agent.stop(SIGKILL);
  }
  if (c.whileDown) c.whileDown(a);
  RunningAgent again(a, c.timeScale);
  ASSERT_TRUE(again.start());
  if (c.afterRestart) c.afterRestart(a);
  std::set<std::string> stored;
  const bool arrived = eventuallyWithin(kCrossPatience, [&] {
    stored = storedFolders(service);
    return holds(stored, c);
  });
  EXPECT_TRUE(arrived) << "the storage holds" << listed(stored) << "\n" << a.trace();
  const ProcessResult result = again.stop();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
}

void mkdirs(const LinkedHome& home, const std::vector<std::string>& folders) {
  for (const auto& f : folders) std::filesystem::create_directories(home.at(f));
}

TEST(CrashRestartTest, EmptyFoldersMadeAroundAKillReachTheStorage) {
  const std::vector<CrashCase> cases = {
      // The suite's case at real speed.
      {"made just before the kill",
       KillAt::kAtOnce,
       [](const LinkedHome& a) { mkdirs(a, {"Empty", "Tree/Inner/Leaf"}); },
       nullptr,
       nullptr,
       {"Empty", "Tree", "Tree/Inner", "Tree/Inner/Leaf"},
       {},
       true,
       {},
       kRealTime},
      {"journalled, then killed",
       KillAt::kJournalled,
       [](const LinkedHome& a) { mkdirs(a, {"Empty", "Tree/Inner/Leaf"}); },
       nullptr,
       nullptr,
       {"Empty", "Tree", "Tree/Inner", "Tree/Inner/Leaf"},
       {}},
      {"taken by the cycle, then killed",
       KillAt::kTaken,
       [](const LinkedHome& a) { mkdirs(a, {"Empty", "Tree/Inner/Leaf"}); },
       nullptr,
       nullptr,
       {"Empty", "Tree", "Tree/Inner", "Tree/Inner/Leaf"},
       {}},
      {"made before anything was synced",
       KillAt::kAtOnce,
       [](const LinkedHome& a) { mkdirs(a, {"First", "Deep/Er/Est"}); },
       nullptr,
       nullptr,
       {"First", "Deep", "Deep/Er", "Deep/Er/Est"},
       {},
       false},
      {"made before anything was synced and moved right after the restart",
       KillAt::kAtOnce,
       [](const LinkedHome& a) { mkdirs(a, {"Early/Inside"}); },
       nullptr,
       [](const LinkedHome& a) { std::filesystem::rename(a.at("Early"), a.at("Later3")); },
       {"Later3", "Later3/Inside"},
       {"Early", "Early/Inside"},
       false},
      {"made while the agent was down",
       KillAt::kAtOnce,
       nullptr,
       [](const LinkedHome& a) { mkdirs(a, {"Later", "Later2/Sub"}); },
       nullptr,
       {"Later", "Later2", "Later2/Sub"},
       {}},
      {"made before the kill and moved right after the restart",
       KillAt::kAtOnce,
       [](const LinkedHome& a) { mkdirs(a, {"Moving/Inside"}); },
       nullptr,
       [](const LinkedHome& a) { std::filesystem::rename(a.at("Moving"), a.at("Moved")); },
       {"Moved", "Moved/Inside"},
       {"Moving", "Moving/Inside"}},
  };
  for (const CrashCase& c : cases) runCrashCase(c);
}

// A start compares the folder with the database's rows: an empty folder that
// had reached the storage and was removed or moved while the agent was not
// watching must lose its old name on the storage too.
TEST(CrashRestartTest, AnEmptyFolderGoneWhileTheAgentWasDownGoesFromTheStorage) {
  const std::vector<CrashCase> cases = {
      {"removed while the agent was down",
       KillAt::kAtOnce,
       [](const LinkedHome& a) { mkdirs(a, {"Kept", "Removed"}); },
       [](const LinkedHome& a) { std::filesystem::remove(a.at("Removed")); },
       nullptr,
       {"Kept"},
       {"Removed"},
       true,
       {"Kept", "Removed"}},
      {"moved right after the restart",
       KillAt::kAtOnce,
       [](const LinkedHome& a) { mkdirs(a, {"Before"}); },
       nullptr,
       [](const LinkedHome& a) { std::filesystem::rename(a.at("Before"), a.at("After")); },
       {"After"},
       {"Before"},
       true,
       {"Before"}},
  };
  for (const CrashCase& c : cases) runCrashCase(c);
}

}  // namespace
}  // namespace ulmora
