// Two agents on one account, seeded random work on either side and on the
// service, faults on the way; at every quiet point both folders and the
// storage must hold the tree the operations left (a delete stays deleted, a
// rename renamed; of two edits nobody could order, either may end at the
// path and the other must survive as a copy), no content the user wrote may
// be gone (from every live path, every conflict copy and cache folder; old
// versions and the service's trash do not count), each database must agree
// with its folder and the storage both ways, and nothing outside the run's
// folders may have changed. An operation on an item a side does not hold yet
// does nothing and is recorded as nothing.
//
//   ulmora-convergence --seed=N [--ops=M] [--scale=S] [--faults] [--hostile]
//                      [--keep] [--stall-seconds=T]
//
// Exit status 0 when every quiet point held, 1 on a broken invariant or a
// stall, 2 on a setup failure. The last line is a RESULT summary that
// scripts/soak adds up. --stall-seconds bounds how long nothing may move
// while the agents are not quiet (see quietPoint). The run folder is made
// under TMPDIR.
//
// After a broken invariant the driver keeps looking for longer than the
// agents' periodic listing and says whether the folders and the storage came
// to the expected tree later after all, and whether only that listing
// brought the change (late).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "StandInService.h"
#include "database/SqliteConnection.h"
#include "database/SqliteStatement.h"
#include "platform/FileUtil.h"
#include "platform/ProcessRunner.h"
#include "platform/PropertyList.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ulmora::ChildProcess;
using ulmora::ProcessOptions;
using ulmora::ProcessResult;
using ulmora::ProcessRunner;
using ulmora::PropertyList;

namespace {

const std::string kUser = "demo";
constexpr auto kCycle = 5s;  // the agent's sync cycle, before scaling
// Quiet after a round with no fault and no long wait traced: four cycles,
// longer than the agent's short pauses between steps (2, 5 and 10 s), in
// agent seconds.
constexpr double kShortSettle = 20.0;

struct Options {
  uint64_t seed = 1;
  int ops = 30;
  double scale = 10;
  bool faults = false;
  bool hostile = false;
  bool keep = false;
  int stallSeconds = 120;
};

std::string oneLine(std::string s) {
  for (char& c : s) {
    if (c == '\n') c = ' ';
  }
  return s;
}

// Printable form of a name that may hold any byte.
std::string shown(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

uint64_t fnv(const std::string& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::optional<std::string> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool writeAll(const std::string& path, const std::string& bytes, bool append = false) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << bytes;
  return static_cast<bool>(out);
}

std::string shiftedPassword(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    unsigned v = static_cast<unsigned>(c) << 1;
    if (v < 0x80) {
      out.push_back(static_cast<char>(v));
    } else {
      out.push_back(static_cast<char>(0xC0 | (v >> 6)));
      out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    }
  }
  return out;
}

// One entry of a tree: a folder, or a file with its content hash.
struct Entry {
  bool dir = false;
  uint64_t hash = 0;
  int64_t size = 0;  // not compared: the hash stands for the content
  bool operator==(const Entry& o) const { return dir == o.dir && hash == o.hash; }
};
using Tree = std::map<std::string, Entry>;

bool isCache(const std::string& rel) { return rel == ".UMSCache" || rel.rfind(".UMSCache/", 0) == 0; }

// Engine part files are in flight, not content.
bool isPartial(const std::string& name) { return !name.empty() && name[0] == '.' && name.find(".kvt-part.") != std::string::npos; }

// Walks `root` without following links; `all` includes the cache folder.
void walk(const std::string& root, const std::string& rel, bool all, Tree& tree,
          std::vector<std::string>* hashesOut, std::set<uint64_t>* contents) {
  const std::string here = rel.empty() ? root : root + "/" + rel;
  DIR* d = ::opendir(here.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  ::closedir(d);
  for (const std::string& n : names) {
    const std::string r = rel.empty() ? n : rel + "/" + n;
    if (!all && isCache(r)) continue;
    if (isPartial(n)) continue;
    struct stat st {};
    if (::lstat((root + "/" + r).c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) continue;
    if (S_ISDIR(st.st_mode)) {
      tree[r] = Entry{true, 0};
      walk(root, r, all, tree, hashesOut, contents);
    } else if (S_ISREG(st.st_mode)) {
      auto bytes = readAll(root + "/" + r);
      if (!bytes) continue;
      tree[r] = Entry{false, fnv(*bytes), static_cast<int64_t>(bytes->size())};
      if (contents && !bytes->empty()) contents->insert(fnv(*bytes));
    }
  }
}

Tree treeOf(const std::string& root, bool all = false, std::set<uint64_t>* contents = nullptr) {
  Tree t;
  walk(root, "", all, t, nullptr, contents);
  return t;
}

std::optional<std::string> queryText(const std::string& db, const std::string& sql) {
  auto conn = ulmora::SqliteConnection::open(db, ulmora::SqliteConnection::OpenMode::kReadOnly);
  if (!conn) return std::nullopt;
  return conn->queryText(sql);
}

// A set of the agent's processes and stand-ins for one seed.
class Run {
 public:
  explicit Run(const Options& o) : o_(o), rng_(o.seed) {}
  ~Run() {
    for (int i = 0; i < 2; ++i) stopAgent(i, SIGKILL);
    if (!o_.keep && !failed_ && !dir_.empty()) {
      std::error_code ec;
      fs::remove_all(dir_, ec);
    }
  }

  int main() {
    const auto began = std::chrono::steady_clock::now();
    if (!setUp()) {
      std::cerr << "setup failed: " << setupError_ << "\n";
      failed_ = true;
      return 2;
    }
    snapshotDecoy();
    for (int i = 0; i < 2; ++i) startAgent(i);
    log("agents started; waiting for the first quiet point");
    if (!quietPoint("start", !o_.hostile && o_.ops == 0)) return finish(began);
    if (o_.hostile) {
      hostileRound();
      if (!quietPoint("hostile names", o_.ops == 0)) return finish(began);
      checkHostile();
    }
    int done = 0;
    int round = 0;
    while (done < o_.ops && !failed_) {
      const int n = std::min<int>(std::uniform_int_distribution<int>(1, 10)(rng_), o_.ops - done);
      ++round;
      playRound(round, n);
      done += n;
      if (!quietPoint("round " + std::to_string(round), done >= o_.ops)) break;
    }
    opsDone_ = done;
    return finish(began);
  }

 private:
  // What the operations left: a path holds a folder, or a file with one
  // of `hashes` (any content when empty); `mayBeGone` when a race the
  // driver cannot order leaves it open whether the path survives.
  struct Expect {
    bool dir = false;
    std::set<uint64_t> hashes;
    bool mayBeGone = false;
  };

  // ---- setup ----
  std::string home(int i) const { return dir_ + (i == 0 ? "/A" : "/B") + "/home"; }
  std::string runtime(int i) const { return dir_ + (i == 0 ? "/A" : "/B") + "/run"; }
  std::string root(int i) const { return home(i) + "/UlmoraSync"; }
  std::string storageRoot() const { return dir_ + "/storage"; }
  std::string storage() const { return storageRoot() + "/localhost"; }
  std::string accountDir() const { return storage() + "/accounts/" + kUser; }
  std::string metaDb() const { return accountDir() + "/meta.db"; }
  std::string localDb(int i) const {
    return home(i) + "/.local/share/ulmora/" + kUser + "/Database/" + kUser + ".ql";
  }
  std::string traceLog(int i) const { return home(i) + "/.local/state/ulmora/Logs/SyncDaemonTrace.log"; }
  static const char* side(int i) { return i == 0 ? "A" : i == 1 ? "B" : "S"; }

  bool setUp() {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ulmora-conv.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      setupError_ = "mkdtemp in " + tmpl;
      return false;
    }
    dir_ = tmpl;
    service_ = std::make_unique<ulmora::testing::StandInService>(ULMORA_SERVICE_PATH);
    if (!service_->start()) {
      setupError_ = "stand-in service did not start: " + service_->why();
      return false;
    }
    fs::create_directories(storage());
    fs::create_directories(dir_ + "/stage");
    fs::create_directories(dir_ + "/sets");
    for (int i = 0; i < 2; ++i) {
      const std::string cfg = config(i);
      fs::create_directories(cfg + "/accounts/" + kUser);
      fs::create_directories(runtime(i));
      fs::create_directories(root(i));
      ::chmod(runtime(i).c_str(), 0700);
      if (!writeLogin(i)) {
        setupError_ = "login details";
        return false;
      }
      PropertyList folders(PropertyList::Dict{});
      folders.set(kUser, root(i));
      folders.writeFile(cfg + "/SyncFolders.plist");
      PropertyList details(PropertyList::Dict{});
      details.set("UlmoraUsername", kUser);
      details.set("ParentAccount", kUser);
      details.writeFile(cfg + "/AccountDetails.plist");
      std::error_code ec;
      fs::copy_file(service_->caFile(), cfg + "/ServiceCA.pem", ec);
    }
    // The decoy: a tree beside the homes, reached from both roots by links.
    fs::create_directories(dir_ + "/decoy/inner");
    writeAll(dir_ + "/decoy/target.txt", "decoy target\n");
    writeAll(dir_ + "/decoy/inner/deep.txt", "decoy deep\n");
    for (int i = 0; i < 2; ++i) {
      std::error_code ec;
      fs::create_symlink(dir_ + "/decoy/target.txt", root(i) + "/link-to-decoy-file", ec);
      fs::create_directory_symlink(dir_ + "/decoy/inner", root(i) + "/link-to-decoy-folder", ec);
    }
    log("run folder " + dir_ + ", service " + service_->hostAndPort());
    return true;
  }

  std::string config(int i) const { return home(i) + "/.config/ulmora"; }
  std::string lastLogin(int i) const { return config(i) + "/LastUserLoginDetails.plist"; }

  // The login details a user leaves by linking the account on this computer.
  bool writeLogin(int i) {
    PropertyList login(PropertyList::Dict{});
    const std::string svc = service_->hostAndPort();
    for (const auto& [k, v] : std::vector<std::pair<std::string, std::string>>{
             {"Ulmora username", kUser}, {"UlmoraUsername", kUser}, {"UlmoraSync username", kUser},
             {"UlmoraSync password", shiftedPassword(kUser)},
             {"UserAtServer", kUser + "@localhost::quellar"}, {"IP", "localhost"},
             {"serverName", "localhost"}, {"quotaServername", svc}, {"Pnsserver", svc},
             {"Account plan", "F"}, {"Pause", "0"}, {"Unlink status", "0"},
             {"Move in progress", "0"}}) {
      login.set(k, v);
    }
    return login.writeFile(lastLogin(i)) && login.writeFile(config(i) + "/accounts/" + kUser + "/LoginDetails.plist");
  }

  // An agent whose sync folder went away logs out (it removes its last
  // login); the user links the account again once the folder is back.
  void relinkIfLoggedOut() {
    for (int i = 0; i < 2; ++i) {
      if (!relink_[i] || fs::exists(lastLogin(i))) continue;
      log(std::string("  ") + side(i) + " logged out while its folder was away; the user links it again");
      writeLogin(i);
    }
  }

  // ---- agents ----
  void startAgent(int i) {
    ProcessOptions o;
    o.executable = ULMORA_AGENT_PATH;
    o.environment = {{"HOME", home(i)},
                     {"XDG_RUNTIME_DIR", runtime(i)},
                     {"ULMORA_STORAGE_ROOT", storageRoot()}};
    if (o_.scale > 1) o.environment.emplace_back("ULMORA_TIME_SCALE", std::to_string(o_.scale));
    agents_[i] = std::make_unique<ChildProcess>(o);
    if (!agents_[i]->start()) {
      fail(std::string("agent ") + side(i) + " did not start");
      return;
    }
    waiters_[i] = std::thread([c = agents_[i].get()] { c->wait(); });
  }

  void stopAgent(int i, int sig) {
    if (!agents_[i]) return;
    agents_[i]->kill(sig);
    if (waiters_[i].joinable()) waiters_[i].join();
    agents_[i].reset();
  }

  // Engines still running for this run, the agents' own or orphans of a
  // killed agent. A change listing that starts at the storage's current
  // change index cannot find anything, so it holds nothing back: after a
  // push that announced no change (an upload run whose files were all in
  // sync already), each agent lists again 5 times 2 s and 6 times 30 s apart
  // (its retry rule for an empty listing), and those listings are counted
  // apart from the engines that may still change something.
  struct Engines {
    int working = 0;
    int idleListings = 0;
  };
  Engines enginesRunning(std::optional<int64_t> index) const {
    Engines count;
    DIR* d = ::opendir("/proc");
    if (d == nullptr) return count;
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      auto cmd = readAll(std::string("/proc/") + e->d_name + "/cmdline");
      if (!cmd || cmd->empty()) continue;
      const std::string argv0 = cmd->substr(0, cmd->find('\0'));
      if (fs::path(argv0).filename().string().rfind("ulmora-kvt", 0) != 0) continue;
      if (cmd->find(dir_) == std::string::npos) continue;
      static const std::string kList = std::string(1, '\0') + "--list-changes=";
      const size_t at = cmd->find(kList);
      if (at != std::string::npos && index) {
        const int64_t from = std::strtoll(cmd->c_str() + at + kList.size(), nullptr, 10);
        if (from >= *index) {
          ++count.idleListings;
          continue;
        }
      }
      ++count.working;
    }
    ::closedir(d);
    return count;
  }

  // Journal files waiting to be read in the account's folders: names
  // readers take (not hidden, not being written).
  int journalFiles(int i) const {
    int count = 0;
    std::error_code ec;
    const std::string base = home(i) + "/.local/share/ulmora";
    for (auto it = fs::recursive_directory_iterator(base, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      const std::string p = it->path().string();
      if (p.find("/Journal/") == std::string::npos || !it->is_regular_file(ec)) continue;
      // Count files have no reader inside the agent.
      const std::string folder = it->path().parent_path().filename().string();
      if (folder.size() > 5 && folder.ends_with("Count")) continue;
      const std::string n = it->path().filename().string();
      // Hidden names are being written; "<name>.delete" was read already,
      // "<name>.read" was set aside by the event reader.
      if (n.empty() || n[0] == '.' || n.find(".tmp") != std::string::npos || n.ends_with(".delete") ||
          n.ends_with(".read") || n.ends_with(".progress"))
        continue;
      ++count;
    }
    return count;
  }

  std::string dbSignature(int i) const {
    return queryText(localDb(i),
                     "SELECT COUNT(*) || ':' || COALESCE(SUM(LENGTH(FILEPATH) * 7 + LENGTH(COALESCE(FILE_LMD,'')) "
                     "+ LENGTH(COALESCE(REF_ID,'')) + CAST(COALESCE(BACKUP_STATUS,'0') AS INTEGER) * 3), 0) "
                     "|| ':' || COALESCE(MAX(CAST(REF_ID AS INTEGER)), 0) FROM FILE_TABLE")
        .value_or("?");
  }
  std::optional<int64_t> changeIndex() const {
    auto text = queryText(metaDb(), "SELECT value FROM meta WHERE key = 'change_index'");
    if (!text || text->empty()) return std::nullopt;
    return std::strtoll(text->c_str(), nullptr, 10);
  }

  // ---- quiet ----
  std::chrono::milliseconds cycle() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(kCycle / std::max(1.0, o_.scale));
  }

  // Quiet: no engine that may change something, no journal file waiting,
  // and the storage's change index, both databases and both folders
  // unchanged for three looks and for as long as the agent's own waits (60 s
  // before a repeated set runs again, up to 150 s after a failure of the
  // service). A stall: not quiet, and nothing moved for the stall bound (a
  // stuck engine or journal file), or still moving three times that long
  // after the round (work that never settles).
  //
  // Those long waits are the agent's answer to a fault or to a repeated set,
  // and it traces each as it begins it. After a round with no fault, a few
  // cycles without a move past the end of every wait traced stand for quiet;
  // the run's last quiet point, and the look again after a quiet that was
  // not yet what the operations left, wait as long as the longest wait, so
  // that nothing delayed past a short quiet goes unjudged.
  //
  // The last quiet point after such a round ends sooner once the agents are
  // idle as far as can be seen (nothing traced, no engine of theirs running,
  // not even a listing, for a short settle past every wait traced) and the
  // folders, the storage and the databases hold what the operations left.
  // A change still missing there (one only the periodic listing would
  // bring, say) keeps it waiting the longest wait and is judged as before.
  bool quietPoint(const std::string& what, bool lastOfRun) {
    if (failed_) return false;
    using Steady = std::chrono::steady_clock;
    const auto began = Steady::now();
    // Never less than a few real seconds: the engine and the databases run
    // in real time whatever the scale.
    const auto step = std::max<std::chrono::milliseconds>(cycle(), 1000ms);
    const auto bound = std::chrono::seconds(o_.stallSeconds) + extraPatience_;
    const auto scaled = [&](double agentSeconds) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::duration<double>(agentSeconds / std::max(1.0, o_.scale)));
    };
    const auto longest = scaled(extraPatience_ > 0s ? 200.0 : 70.0);
    const bool faultInRound = std::exchange(faultInRound_, false) || extraPatience_ > 0s;
    static const char* const kParts[] = {"the storage's change index", "A's database", "B's database",
                                         "A's folder", "B's folder", "the journal files", "the engines"};
    std::vector<std::string> last;
    std::string lastMoved = "nothing";
    int same = 0;
    bool recheck = false;
    auto stableSince = Steady::now(), movedAt = Steady::now();
    while (true) {
      std::this_thread::sleep_for(step);
      relinkIfLoggedOut();
      for (int i = 0; i < 2; ++i) {
        if (agents_[i] && !agents_[i]->isRunning()) {
          fail(std::string("agent ") + side(i) + " exited by itself");
          return false;
        }
      }
      const auto index = changeIndex();
      const Engines engines = enginesRunning(index);
      const int journals = journalFiles(0) + journalFiles(1);
      const std::vector<std::string> look = {
          index ? std::to_string(*index) : "?", dbSignature(0), dbSignature(1), std::to_string(treeHash(0)),
          std::to_string(treeHash(1)), std::to_string(journals), std::to_string(engines.working)};
      const auto now = Steady::now();
      if (look != last) {
        lastMoved.clear();
        for (size_t k = 0; k < look.size(); ++k) {
          if (!last.empty() && look[k] == last[k]) continue;
          lastMoved += (lastMoved.empty() ? "" : ", ") + std::string(kParts[k]);
        }
        movedAt = now;
      }
      readWaits(now);
      const bool quietRound = !recheck && !faultInRound && !untimedWait_;
      const bool shortOver = now - stableSince >= scaled(kShortSettle) && now >= waitsEnd_ + scaled(kShortSettle);
      const bool settled = quietRound && !lastOfRun ? shortOver : now - stableSince >= longest;
      const bool idle = quietRound && shortOver && engines.idleListings == 0 &&
                        now - tracedAt_ >= scaled(kShortSettle);
      if (engines.working == 0 && journals == 0 && look == last) {
        if (++same >= 3 && settled && !recheck && !checkInvariants(what, false)) {
          // Work between two looks (a listing that finds a change, then its
          // download) can pass for quiet once: wait for quiet again before
          // judging.
          recheck = true;
          log("  quiet, but not yet what the operations left: waiting for quiet once more");
          same = 0;
          stableSince = now;
        } else if (same >= 3 && settled) {
          if (engines.idleListings > 0) {
            log("  " + std::to_string(engines.idleListings) +
                " listing(s) from the current change index still running");
          }
          break;
        } else if (same >= 3 && lastOfRun && idle && checkInvariants(what, false)) {
          log("  the agents idle and the work done: the last quiet point ends before the longest wait");
          break;
        }
      } else {
        same = 0;
        stableSince = now;
      }
      last = look;
      const bool stuck = now - movedAt > bound, endless = now - began > 3 * bound;
      if (stuck || endless) {
        ++stalls_;
        const auto secs = [](auto d) {
          return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(d).count());
        };
        fail("stall: not quiet " + secs(now - began) + " s after " + what + "; " +
             (stuck ? "nothing moved for " + secs(now - movedAt) + " s"
                    : "still moving; last moved " + secs(now - movedAt) + " s ago") +
             " (" + lastMoved + "); engines at work " + std::to_string(engines.working) +
             ", listings from the current index " + std::to_string(engines.idleListings) + ", journal files " +
             std::to_string(journals));
        return false;
      }
    }
    extraPatience_ = 0s;
    untimedWait_ = false;
    const double took = std::chrono::duration<double>(Steady::now() - began).count();
    slowest_ = std::max(slowest_, took);
    log("quiet after " + what + " in " + std::to_string(took) + " s");
    if (checkInvariants(what)) {
      // A crash is survived once the next quiet point holds.
      crashes_ += std::exchange(unjudgedCrashes_, 0);
      relink_[0] = relink_[1] = false;
      return true;
    }
    secondLook(what);
    return false;
  }

  // The agents' long waits, as each traces its start: a repeated set held
  // back, a folder creation or a journal folder tried again later, a fetch
  // of the login details during maintenance. Seconds of the agent's clock; 0
  // where the line tells them; -1 where it does not. A listing tried again
  // 30 s later is none: from the current change index it cannot find
  // anything, and a change it would find is missing from the folders, so the
  // quiet is judged again after the longest wait.
  struct TracedWait {
    const char* line;
    double seconds;
  };
  static constexpr TracedWait kTracedWaits[] = {
      {"same set as the last run; waiting before it starts", 60},
      {"folder creation failed as a whole; next try in ", 0},
      {"cannot be created; entries stay queued, trying again in ", 0},
      {"Retrying for folder creation", -1},
      {"getLoginDetailForUlmoraSyncUser will be called after 2 minutes", 120},
  };

  // Reads what the agents traced since the last look, notes that they did
  // (tracedAt_) and when the waits that began meanwhile end (at the latest:
  // a line is seen a look after it was written).
  void readWaits(std::chrono::steady_clock::time_point now) {
    for (int i = 0; i < 2; ++i) {
      std::ifstream in(traceLog(i), std::ios::binary);
      if (!in) continue;
      in.seekg(0, std::ios::end);
      const std::streamoff size = in.tellg();
      if (size < traceRead_[i]) traceRead_[i] = 0;  // a new trace file
      in.seekg(traceRead_[i]);
      std::string text(static_cast<size_t>(size - traceRead_[i]), '\0');
      in.read(text.data(), static_cast<std::streamsize>(text.size()));
      // Up to the last whole line; the rest is read with its end.
      const size_t whole = text.rfind('\n');
      if (whole == std::string::npos) continue;
      text.resize(whole + 1);
      traceRead_[i] += static_cast<std::streamoff>(text.size());
      tracedAt_ = now;
      for (const TracedWait& wait : kTracedWaits) {
        for (size_t at = text.find(wait.line); at != std::string::npos; at = text.find(wait.line, at + 1)) {
          double seconds = wait.seconds;
          if (seconds == 0) seconds = std::strtod(text.c_str() + at + std::strlen(wait.line), nullptr);
          if (seconds <= 0) {
            untimedWait_ = true;
          } else {
            waitsEnd_ = std::max(waitsEnd_, now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(seconds / std::max(1.0, o_.scale))));
          }
          log(std::string("  ") + side(i) + " began a wait: " + wait.line);
        }
      }
    }
  }

  // How often an agent ran its periodic listing, the one that finds what
  // no message announced.
  int periodicListings() const {
    static const std::string kLine = "periodicListening 10 mins pns timer called";
    int count = 0;
    for (int i = 0; i < 2; ++i) {
      const std::string t = readAll(traceLog(i)).value_or("");
      for (size_t at = t.find(kLine); at != std::string::npos; at = t.find(kLine, at + kLine.size())) ++count;
    }
    return count;
  }

  // After a broken invariant: do the folders and the storage come to what
  // the operations left a while later? Tells an agent that stopped short of
  // the work (never) from one whose quiet the rule above misread (later),
  // and a change that came only with the periodic listing (late). Looks for
  // longer than the scaled period of that listing.
  void secondLook(const std::string& what) {
    const auto began = std::chrono::steady_clock::now();
    const int listingsBefore = periodicListings();
    const double period = 900.0 / std::max(1.0, o_.scale);
    const auto patience = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(period * 1.3 + 20.0));
    const auto step = std::max<std::chrono::milliseconds>(cycle(), 1000ms);
    while (std::chrono::steady_clock::now() - began < patience) {
      std::this_thread::sleep_for(step);
      relinkIfLoggedOut();
      if (!checkInvariants(what, false)) continue;
      const std::string after =
          std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
      if (periodicListings() > listingsBefore) {
        ++late_;
        log("LATE: the folders and the storage hold what the operations left " + after +
            " s after the quiet point, after a periodic listing: a change reached an agent only through it");
      } else {
        log("second look: the folders and the storage hold what the operations left " + after +
            " s after the quiet point (the quiet came too soon)");
      }
      return;
    }
    log("second look: the folders and the storage still differ " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(patience).count()) +
        " s after the quiet point");
  }

  uint64_t treeHash(int i) const {
    uint64_t h = 0;
    for (const auto& [p, e] : treeOf(root(i))) h = h * 31 + fnv(p) + e.hash + (e.dir ? 1 : 0);
    return h;
  }

  // ---- the storage ----
  // One live entry of the storage (not in its trash).
  struct Stored {
    bool dir = false;
    int64_t refId = 0;
    int64_t size = 0;
    std::string blob;  // the file of its current version
  };
  std::map<std::string, Stored> storageItems() const {
    std::map<std::string, Stored> items;
    auto conn = ulmora::SqliteConnection::open(metaDb(), ulmora::SqliteConnection::OpenMode::kReadOnly);
    if (!conn) return items;
    auto st = conn->prepare("SELECT path, is_dir, ref_id, version, size FROM entries WHERE in_trash = 0");
    while (st && st->step() == ulmora::SqliteStatement::Step::kRow) {
      std::string p = st->columnText(0).value_or("");
      while (!p.empty() && p.front() == '/') p.erase(0, 1);
      while (!p.empty() && p.back() == '/') p.pop_back();
      if (p.empty()) continue;
      Stored& item = items[p];
      item.dir = st->columnInt64(1) != 0;
      item.refId = st->columnInt64(2);
      item.size = st->columnInt64(4);
      if (!item.dir) {
        item.blob = accountDir() + "/blobs/" + std::to_string(item.refId) + "." + std::to_string(st->columnInt64(3));
      }
    }
    return items;
  }

  // The storage as a tree; `kept` gathers the content of every live entry,
  // the cache folders' included (old versions and the trash do not count).
  Tree storageTree(std::set<uint64_t>* kept, bool report = true) const {
    Tree t;
    int cacheOnServer = 0;
    for (const auto& [p, item] : storageItems()) {
      std::optional<std::string> bytes;
      if (!item.dir) bytes = readAll(item.blob);
      if (kept && bytes && !bytes->empty()) kept->insert(fnv(*bytes));
      if (isCache(p)) {
        ++cacheOnServer;
        continue;
      }
      t[p] = item.dir ? Entry{true, 0, 0} : Entry{false, bytes ? fnv(*bytes) : 0, item.size};
    }
    if (cacheOnServer > 0 && report) {
      std::cout << "[seed " << o_.seed << "] storage holds " << cacheOnServer
                << " entries of a cache folder (not compared)" << std::endl;
    }
    return t;
  }

  // ---- invariants ----
  // At a quiet point: both folders and the storage hold one tree, the tree
  // the operations left (model_); every content the driver wrote and no
  // later operation replaced survives at a live path or in a cache folder;
  // nothing outside the run changed; each database agrees with its folder
  // and with the storage, both ways. With `report` false nothing is logged
  // and nothing counted (the second look).
  bool checkInvariants(const std::string& what, bool report = true) {
    quietReport_ = report;
    std::set<uint64_t> kept;
    const Tree a = treeOf(root(0), false, &kept), b = treeOf(root(1), false, &kept);
    const Tree s = storageTree(&kept, report);
    treeOf(root(0) + "/.UMSCache", true, &kept);
    treeOf(root(1) + "/.UMSCache", true, &kept);
    bool ok = true;
    // 1. one tree everywhere, the one the operations left
    ok &= compareTrees("A", a, "B", b);
    ok &= compareTrees("A", a, "storage", s);
    ok &= compareWithModel("A", a) & compareWithModel("B", b) & compareWithModel("storage", s);
    if (report) {
      const Tree cacheA = treeOf(root(0) + "/.UMSCache", true), cacheB = treeOf(root(1) + "/.UMSCache", true);
      if (!cacheA.empty() || !cacheB.empty()) {
        log("cache entries (not compared): A " + std::to_string(cacheA.size()) + ", B " +
            std::to_string(cacheB.size()));
      }
    }
    // 2. nothing the user wrote is gone
    int lost = 0;
    for (const auto& [hash, where] : required_) {
      if (!kept.count(hash)) {
        ++lost;
        problem("invariant 2: content written at " + shown(where) + " survives nowhere");
      }
    }
    if (report) lost_ += lost;
    ok &= lost == 0;
    // 3. nothing outside changed
    if (decoySnapshot() != decoy_) {
      problem("invariant 3: the decoy tree beside the homes changed");
      ok = false;
    }
    // 4. each database agrees with its folder and the storage
    const auto stored = storageItems();
    for (int i = 0; i < 2; ++i) ok &= checkRows(i, i == 0 ? a : b, stored);
    quietReport_ = true;
    if (!ok) {
      if (report) fail("invariants broken at the quiet point after " + what);
      return false;
    }
    // What the agents agreed on is where the next round starts.
    model_.clear();
    for (const auto& [p, e] : a) model_[p] = Expect{e.dir, e.dir ? std::set<uint64_t>{} : std::set<uint64_t>{e.hash}, false};
    return true;
  }

  // Every file has a row in sync; every row has its item (or an operation
  // waiting to be merged); a row's size is its file's and the storage's, its
  // reference id the storage's.
  bool checkRows(int i, const Tree& t, const std::map<std::string, Stored>& stored) {
    struct Row {
      std::string size, folder, status, refId;
    };
    std::map<std::string, Row> rows;
    auto conn = ulmora::SqliteConnection::open(localDb(i), ulmora::SqliteConnection::OpenMode::kReadOnly);
    if (conn) {
      auto st = conn->prepare("SELECT FILEPATH, FILE_SIZE, FILE_OR_FOLDER, BACKUP_STATUS, REF_ID FROM FILE_TABLE");
      while (st && st->step() == ulmora::SqliteStatement::Step::kRow) {
        std::string p = st->columnText(0).value_or("");
        if (!p.empty() && p.front() == '/') p.erase(0, 1);
        rows[p] = Row{st->columnText(1).value_or(""), st->columnText(2).value_or(""), st->columnText(3).value_or(""),
                      st->columnText(4).value_or("")};
      }
    }
    const std::set<std::string> pending = pendingPaths(i);
    int bad = 0;
    auto report = [&](const std::string& text) {
      if (++bad <= 10) problem(std::string("invariant 4: ") + side(i) + " " + text);
    };
    auto number = [](const std::string& text) -> std::optional<int64_t> {
      if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
      return std::strtoll(text.c_str(), nullptr, 10);
    };
    for (const auto& [p, e] : t) {
      if (e.dir) continue;
      auto it = rows.find(p);
      if (it == rows.end() || it->second.status != "1") report("has " + shown(p) + " without a row in sync");
    }
    for (const auto& [p, row] : rows) {
      auto it = t.find(p);
      const bool folder = row.folder == "1", kindKnown = folder || row.folder == "0";
      if (it == t.end() || (kindKnown && it->second.dir != folder)) {
        if (!pending.count("/" + p)) report("has a row for " + shown(p) + " but no such item in its folder");
        continue;
      }
      if (it->second.dir) continue;
      const auto size = number(row.size);
      if (size && *size != it->second.size) {
        report("row of " + shown(p) + " says " + row.size + " bytes, the file has " + std::to_string(it->second.size));
      }
      const auto at = stored.find(p);
      if (at == stored.end() || at->second.dir) continue;  // invariant 1 tells
      if (size && *size != at->second.size) {
        report("row of " + shown(p) + " says " + row.size + " bytes, the storage " + std::to_string(at->second.size));
      }
      if (const auto ref = number(row.refId); ref && *ref != at->second.refId) {
        report("row of " + shown(p) + " has reference id " + row.refId + ", the storage " +
               std::to_string(at->second.refId));
      }
    }
    return bad == 0;
  }

  // Paths of the row operations published and not yet merged.
  std::set<std::string> pendingPaths(int i) const {
    std::set<std::string> paths;
    const std::string folder = fs::path(localDb(i)).parent_path().string() + "/" + kUser + ".pending";
    std::error_code ec;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      if (it->path().extension() != ".db") continue;
      auto conn = ulmora::SqliteConnection::open(it->path().string(), ulmora::SqliteConnection::OpenMode::kReadOnly);
      auto st = conn ? conn->prepare("SELECT FILEPATH FROM PENDING_OPERATIONS") : nullptr;
      while (st && st->step() == ulmora::SqliteStatement::Step::kRow) paths.insert(st->columnText(0).value_or(""));
    }
    return paths;
  }

  bool compareWithModel(const char* name, const Tree& t) {
    int diffs = 0;
    auto report = [&](const std::string& text) {
      if (++diffs <= 20) problem(std::string("invariant 1: ") + text);
    };
    for (const auto& [p, e] : model_) {
      auto it = t.find(p);
      if (it == t.end()) {
        if (!e.mayBeGone) report(shown(p) + " missing at " + name + "; the operations left it there");
      } else if (it->second.dir != e.dir) {
        report(shown(p) + " at " + name + " is a " + (e.dir ? "file" : "folder") + "; the operations left a " +
               (e.dir ? "folder" : "file"));
      } else if (!e.dir && !e.hashes.empty() && !e.hashes.count(it->second.hash)) {
        report(shown(p) + " at " + name + " holds content the operations did not leave there");
      }
    }
    for (const auto& [p, e] : t) {
      if (!model_.count(p)) report(shown(p) + " at " + name + "; the operations left nothing there");
    }
    return diffs == 0;
  }

  bool compareTrees(const char* ln, const Tree& l, const char* rn, const Tree& r) {
    int diffs = 0;
    auto report = [&](const std::string& text) {
      if (++diffs <= 20) problem(std::string("invariant 1: ") + text);
    };
    for (const auto& [p, e] : l) {
      auto it = r.find(p);
      if (it == r.end()) {
        report(shown(p) + " at " + ln + " only, not at " + rn);
      } else if (!(it->second == e)) {
        report(shown(p) + " differs between " + ln + " and " + rn);
      }
    }
    for (const auto& [p, e] : r) {
      if (!l.count(p)) report(shown(p) + " at " + rn + " only, not at " + ln);
    }
    return diffs == 0;
  }

  std::map<std::string, uint64_t> decoySnapshot() const {
    std::map<std::string, uint64_t> m;
    for (const auto& [p, e] : treeOf(dir_ + "/decoy", true)) m[p] = e.hash + (e.dir ? 1 : 0);
    // The run folder itself holds only what the driver made.
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir_, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      m["top:" + it->path().filename().string()] = 0;
    }
    return m;
  }
  void snapshotDecoy() { decoy_ = decoySnapshot(); }

  // ---- operations ----
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

  std::string content(const std::string& tag) {
    std::string s = "seed " + std::to_string(o_.seed) + " write " + std::to_string(++writes_) + " " + tag + "\n";
    const int extra = 32 + pick(2000);
    for (int k = 0; k < extra; ++k) s.push_back(static_cast<char>('a' + pick(26)));
    s.push_back('\n');
    return s;
  }

  std::vector<std::string> modelItems(bool dirs) const {
    std::vector<std::string> v;
    for (const auto& [p, e] : plan_) {
      if (e.dir == dirs) v.push_back(p);
    }
    return v;
  }

  std::string freshName(bool dir) {
    static const char* const stems[] = {"notes", "Report", "photo", "a b", "data", "x", "draft", "été"};
    std::string n = std::string(stems[pick(8)]) + "-" + std::to_string(++names_);
    if (!dir) n += pick(2) ? ".txt" : ".bin";
    return n;
  }

  std::string placeIn(const std::vector<std::string>& dirs) {
    if (dirs.empty() || chance(0.3)) return "";
    return dirs[static_cast<size_t>(pick(static_cast<int>(dirs.size())))] + "/";
  }

  // Runs the stand-in engine on the account as the service side would.
  bool engine(std::vector<std::string> args, const std::string& what) {
    ProcessOptions o;
    o.executable = ULMORA_KVT_PATH;
    o.arguments = std::move(args);
    o.environment = {{"ULMORA_STORAGE_ROOT", storageRoot()}, {"RSYNC_PASSWORD", kUser}};
    o.timeout = 60s;
    const ProcessResult r = ProcessRunner::run(o);
    if (!r.succeeded()) {
      log("  service op '" + shown(what) + "' failed (status " + std::to_string(r.exitStatus) +
          "): " + oneLine(r.err));
      return false;
    }
    return true;
  }
  std::string remote(const std::string& path = "/") const { return kUser + "@localhost::quellar" + path; }
  std::string setFile(const std::string& lines) {
    const std::string f = dir_ + "/sets/" + std::to_string(++sets_);
    writeAll(f, lines);
    return f;
  }
  // The service tells both agents that something changed, as it would after
  // a change made on another device.
  // Comes after the round's faults are lifted, and is tried again until the
  // service takes it: a message the service never took reaches no one.
  void announce() {
    ProcessOptions o;
    o.executable = "/usr/bin/curl";
    const std::string payload = "{\"Id\":\"harness-" + std::to_string(++sets_) +
                                "\",\"UID\":\"harness\",\"Path\":\"/\",\"TOPIC\":\"" + kUser + "\"}";
    o.arguments = {"-s", "-f", "-m", "10", "--cacert", service_->caFile(), "--data-urlencode", "action=push",
                   "--data-urlencode", "payLoad=" + payload, service_->url("/pns/broadcast")};
    for (int attempt = 1; attempt <= 30; ++attempt) {
      if (ProcessRunner::run(o).succeeded()) return;
      std::this_thread::sleep_for(1s);
    }
    problem("the service never took the announcement of a change");
  }
  bool serviceWrite(const std::string& rel, const std::string& bytes) { return serviceWrite({{rel, bytes}}); }
  // Several files in one run of the engine, as another device's upload of a
  // set would bring them.
  bool serviceWrite(const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string stage = dir_ + "/stage";
    std::error_code ec;
    fs::remove_all(stage, ec);
    std::string set = stage + "\n";
    for (const auto& [rel, bytes] : files) {
      fs::create_directories(fs::path(stage + "/" + rel).parent_path(), ec);
      writeAll(stage + "/" + rel, bytes);
      set += rel + "\n";
    }
    const bool ok = engine({"--files-from=" + setFile(set), stage, remote("/")},
                           files.size() == 1 ? files.front().first : std::to_string(files.size()) + " files");
    fs::remove_all(stage, ec);
    fs::create_directories(stage, ec);
    return ok;
  }

  void playRound(int round, int n) {
    log("round " + std::to_string(round) + ": " + std::to_string(n) + " operations");
    // The fault of this round, if any, comes at a seeded operation.
    int faultAt = -1, faultKind = -1;
    if (o_.faults && chance(0.5)) {
      faultAt = pick(n);
      faultKind = pick(5);
    }
    bool serviceTouched = false;
    for (int k = 0; k < n; ++k) {
      if (k == faultAt) injectFault(faultKind);
      serviceTouched |= playOne();
    }
    endFaults();
    if (serviceTouched) announce();
  }

  // ---- what one side holds ----
  static std::string parentOf(const std::string& rel) {
    const size_t slash = rel.rfind('/');
    return slash == std::string::npos ? "" : rel.substr(0, slash);
  }
  // Whether `path` is `folder` or under it; everything is under the root ("").
  static bool within(const std::string& path, const std::string& folder) {
    return folder.empty() || path == folder || path.rfind(folder + "/", 0) == 0;
  }
  // The bytes of the file at `rel` on A (0), B (1) or the storage (2).
  std::optional<std::string> fileAt(int who, const std::string& rel) const {
    if (who == 2) {
      const auto items = storageItems();
      auto it = items.find(rel);
      if (it == items.end() || it->second.dir) return std::nullopt;
      return readAll(it->second.blob);
    }
    struct stat st {};
    if (::lstat((root(who) + "/" + rel).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return readAll(root(who) + "/" + rel);
  }
  bool folderAt(int who, const std::string& rel) const {
    if (rel.empty()) return true;
    if (who == 2) {
      const auto items = storageItems();
      auto it = items.find(rel);
      return it != items.end() && it->second.dir;
    }
    struct stat st {};
    return ::lstat((root(who) + "/" + rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  // What one side holds in and under the folder `rel`.
  Tree subtreeAt(int who, const std::string& rel) const {
    Tree all = who == 2 ? storageTree(nullptr, false) : treeOf(root(who));
    Tree t;
    for (const auto& [p, e] : all) {
      if (within(p, rel)) t[p] = e;
    }
    return t;
  }

  // ---- the model: what the operations leave ----
  // A side wrote `bytes` at `rel` over `before`. When it had seen what the
  // model holds there, the new content replaces it; when it had not (a
  // change from elsewhere had not reached it), either content may end at
  // the path and the other must survive as a copy.
  void expectWrite(const std::string& rel, const std::optional<std::string>& before, const std::string& bytes) {
    Expect& e = model_[rel];
    e.dir = false;
    if (before) release(e, fnv(*before));
    e.hashes.insert(fnv(bytes));
    if (!bytes.empty()) required_[fnv(bytes)] = rel;
  }
  // A content the user replaced or removed after seeing it is no longer owed.
  void release(Expect& e, uint64_t hash) {
    if (e.hashes.erase(hash) > 0) required_.erase(hash);
  }
  // The folders above `rel`, up to `top`, kept (as folders that may go).
  void keepFoldersAbove(const std::string& rel, const std::string& top, bool mayBeGone = true) {
    for (std::string p = parentOf(rel); !p.empty() && within(p, top); p = parentOf(p)) {
      auto [it, added] = model_.try_emplace(p, Expect{true, {}, mayBeGone});
      if (!added && !it->second.dir) break;
    }
  }

  void expectRename(const std::string& from, const std::string& to, const std::string& had) {
    Expect e = model_.count(from) ? model_[from] : Expect{};
    const uint64_t hash = fnv(had);
    model_.erase(from);
    std::set<uint64_t> others = e.hashes;
    others.erase(hash);
    if (!others.empty()) {
      // Renamed one of two contents nobody ordered, or an older copy: the
      // other may follow the rename or stay at the old name.
      model_[from] = Expect{false, others, true};
      e.hashes.insert(hash);
    }
    model_[to] = e;
  }

  void expectFolderMove(const Tree& before, const std::string& from, const std::string& to) {
    std::map<std::string, Expect> moved;
    for (auto it = model_.begin(); it != model_.end();) {
      if (!within(it->first, from)) {
        ++it;
        continue;
      }
      Expect e = it->second;
      const auto seen = before.find(it->first);
      if (!e.dir && seen != before.end() && !seen->second.dir && !e.hashes.empty()) e.hashes.insert(seen->second.hash);
      moved[to + it->first.substr(from.size())] = e;
      it = model_.erase(it);
    }
    // What this side still had that was removed elsewhere may come back
    // under the new name, or stay removed.
    for (const auto& [p, e] : before) {
      const std::string q = to + p.substr(from.size());
      if (!moved.count(q)) moved[q] = Expect{e.dir, e.dir ? std::set<uint64_t>{} : std::set<uint64_t>{e.hash}, true};
    }
    model_.insert(moved.begin(), moved.end());
  }

  void expectDelete(const std::string& rel, const std::string& had) {
    auto it = model_.find(rel);
    if (it == model_.end()) return;
    release(it->second, fnv(had));
    // A change this side had not seen may bring the file back.
    if (it->second.hashes.empty() || it->second.dir) {
      model_.erase(it);
    } else {
      it->second.mayBeGone = true;
    }
  }

  void expectTreeDelete(const Tree& before, const std::string& rel) {
    std::vector<std::string> kept;
    for (auto it = model_.begin(); it != model_.end();) {
      if (!within(it->first, rel)) {
        ++it;
        continue;
      }
      Expect& e = it->second;
      const auto seen = before.find(it->first);
      if (!e.dir && seen != before.end() && !seen->second.dir) release(e, seen->second.hash);
      const bool seenAsIs = seen != before.end() && (e.dir ? seen->second.dir : e.hashes.empty());
      if (seenAsIs || (e.dir && seen != before.end())) {
        it = model_.erase(it);
      } else {
        e.mayBeGone = true;  // not seen here: it may survive the delete
        kept.push_back(it->first);
        ++it;
      }
    }
    for (const auto& p : kept) keepFoldersAbove(p, rel);
  }

  // Returns whether it changed the service directly. What an operation
  // does follows the driver's own record (plan_), so that a seed replays the
  // same operations whatever the timing; what it left (model_) follows what
  // the side held: an operation on an item the side does not hold yet does
  // nothing and is recorded as nothing.
  bool playOne() {
    ++opCount_;
    const int who = pick(5) < 2 ? 0 : (pick(3) < 2 ? 1 : 2);  // A, B or the service
    const auto files = modelItems(false);
    const auto dirs = modelItems(true);
    int kind = pick(12);
    // An operation on an item when there is none creates one instead.
    if (files.empty() && ((kind >= 2 && kind <= 5) || kind == 7 || kind >= 10)) kind = 0;
    if (dirs.empty() && (kind == 6 || kind == 8)) kind = 9;
    if (who == 2 && kind == 10) kind = 3;
    const std::string r = who < 2 ? root(who) : "";
    auto note = [&](const std::string& what) {
      log(std::string("  op ") + std::to_string(opCount_) + " " + side(who) + ": " + shown(what));
    };
    auto nothing = [&](const std::string& why) {
      log(std::string("    nothing done: ") + why);
      return false;
    };
    // A service operation that reports an error may still have taken
    // effect (the connection dropped after the storage changed): the
    // storage tells which.
    auto serviceDid = [&](bool ok, const std::function<bool()>& tookEffect) {
      if (ok) return true;
      if (!tookEffect()) return nothing("the service refused it");
      log("    the service did it despite the error");
      return true;
    };
    const auto anyFile = [&] { return files[static_cast<size_t>(pick(static_cast<int>(files.size())))]; };
    std::error_code ec;
    switch (kind) {
      case 0:
      case 1: {  // create a file
        const std::string rel = placeIn(dirs) + freshName(false);
        const std::string bytes = content("create " + rel);
        note("create " + rel);
        plan_[rel] = Entry{false, fnv(bytes)};
        if (!folderAt(who, parentOf(rel))) return nothing("its folder is not there yet");
        if (who == 2) {
          if (!serviceDid(serviceWrite(rel, bytes), [&] { return fileAt(2, rel) == bytes; })) return false;
        } else if (!writeAll(r + "/" + rel, bytes)) {
          return nothing("could not write");
        }
        expectWrite(rel, std::nullopt, bytes);
        return who == 2;
      }
      case 2:
      case 3:
      case 4: {  // append, overwrite or truncate
        const std::string rel = anyFile();
        const std::string mode = kind == 2 ? "append" : kind == 3 ? "overwrite" : "truncate";
        note(mode + " " + rel);
        const auto had = fileAt(who, rel);
        const std::string current = had.value_or("");
        std::string bytes;
        if (kind == 2) bytes = current + content("append " + rel);
        if (kind == 3) bytes = content("overwrite " + rel);
        if (kind == 4) bytes = current.substr(0, current.size() / 2);
        if (!had) return nothing("the file is not there yet");
        if (who == 2) {
          if (!serviceDid(serviceWrite(rel, bytes), [&] { return fileAt(2, rel) == bytes; })) return false;
        } else if (!writeAll(r + "/" + rel, kind == 2 ? bytes.substr(current.size()) : bytes, kind == 2)) {
          return nothing("could not write");
        }
        expectWrite(rel, had, bytes);
        return who == 2;
      }
      case 5: {  // rename or move a file
        const std::string from = anyFile();
        const std::string to = placeIn(dirs) + freshName(false);
        note("rename " + from + " -> " + to);
        plan_[to] = plan_[from];
        plan_.erase(from);
        const auto had = fileAt(who, from);
        if (!had || !folderAt(who, parentOf(to))) return nothing("the file or its new folder is not there yet");
        if (who == 2) {
          const bool ok = engine({"--rename", "--files-from=" + setFile("/" + from + "\n/" + to + "\n"), remote("/")}, from);
          if (!serviceDid(ok, [&] { return !fileAt(2, from) && fileAt(2, to); })) return false;
        } else if (fs::rename(r + "/" + from, r + "/" + to, ec); ec) {
          return nothing(ec.message());
        }
        expectRename(from, to, *had);
        return who == 2;
      }
      case 6: {  // rename or move a folder
        const std::string from = dirs[static_cast<size_t>(pick(static_cast<int>(dirs.size())))];
        std::string parent = placeIn(dirs);
        if ((parent + "/").rfind(from + "/", 0) == 0) parent = "";
        const std::string to = parent + freshName(true);
        note("move folder " + from + " -> " + to);
        Tree moved;
        for (auto it = plan_.begin(); it != plan_.end();) {
          if (within(it->first, from)) {
            moved[to + it->first.substr(from.size())] = it->second;
            it = plan_.erase(it);
          } else {
            ++it;
          }
        }
        plan_.insert(moved.begin(), moved.end());
        if (!folderAt(who, from) || !folderAt(who, parentOf(to))) return nothing("the folder or its new parent is not there yet");
        const Tree before = subtreeAt(who, from);
        if (who == 2) {
          const bool ok = engine({"--rename", "--files-from=" + setFile("/" + from + "/\n/" + to + "/\n"), remote("/")}, from);
          if (!serviceDid(ok, [&] { return !folderAt(2, from) && folderAt(2, to); })) return false;
        } else if (fs::rename(r + "/" + from, r + "/" + to, ec); ec) {
          return nothing(ec.message());
        }
        expectFolderMove(before, from, to);
        return who == 2;
      }
      case 7: {  // delete a file
        const std::string rel = anyFile();
        note("delete " + rel);
        plan_.erase(rel);
        const auto had = fileAt(who, rel);
        if (!had) return nothing("the file is not there yet");
        if (who == 2) {
          const bool ok = engine({"--remove", "--files-from=" + setFile("/" + rel + "\n"), remote("/")}, rel);
          if (!serviceDid(ok, [&] { return !fileAt(2, rel); })) return false;
        } else if (!fs::remove(r + "/" + rel, ec)) {
          return nothing(ec.message());
        }
        expectDelete(rel, *had);
        return who == 2;
      }
      case 8: {  // delete a folder tree
        const std::string rel = dirs[static_cast<size_t>(pick(static_cast<int>(dirs.size())))];
        note("delete tree " + rel);
        for (auto it = plan_.begin(); it != plan_.end();) it = within(it->first, rel) ? plan_.erase(it) : std::next(it);
        if (!folderAt(who, rel)) return nothing("the folder is not there yet");
        const Tree before = subtreeAt(who, rel);
        if (who == 2) {
          const bool ok = engine({"--remove", "--files-from=" + setFile("/" + rel + "/\n"), remote("/")}, rel);
          if (!serviceDid(ok, [&] { return !folderAt(2, rel); })) return false;
        } else {
          fs::remove_all(r + "/" + rel, ec);
        }
        expectTreeDelete(before, rel);
        return who == 2;
      }
      case 9: {  // an empty folder
        const std::string rel = placeIn(dirs) + freshName(true);
        note("mkdir " + rel);
        plan_[rel] = Entry{true, 0};
        if (!folderAt(who, parentOf(rel))) return nothing("its parent is not there yet");
        if (who == 2) {
          if (!serviceDid(engine({"--mkdir", remote("/" + rel + "/")}, rel), [&] { return folderAt(2, rel); })) return false;
        } else if (!fs::create_directory(r + "/" + rel, ec)) {
          return nothing(ec ? ec.message() : "it is there already");
        }
        model_[rel] = Expect{true, {}, false};
        return who == 2;
      }
      case 10: {  // touch without change
        if (who == 2) return false;
        const std::string rel = anyFile();
        note("touch " + rel);
        const auto had = fileAt(who, rel);
        if (!had) return nothing("the file is not there yet");
        ::utimensat(AT_FDCWD, (r + "/" + rel).c_str(), nullptr, 0);
        // A new time is a new version of what this side holds: when an edit
        // from elsewhere had not reached it yet, that edit and this content
        // are two versions of one cycle, and either may end at the path.
        expectWrite(rel, *had, *had);
        return false;
      }
      default: {  // the same path edited on both sides within one cycle
        const std::string rel = anyFile();
        note("edit on both sides " + rel);
        for (int i = 0; i < 2; ++i) {
          const std::string bytes = content(std::string("both ") + side(i) + " " + rel);
          const auto had = fileAt(i, rel);
          if (!had) {
            log(std::string("    nothing done at ") + side(i) + ": the file is not there yet");
          } else if (writeAll(root(i) + "/" + rel, bytes)) {
            expectWrite(rel, had, bytes);
          }
        }
        return false;
      }
    }
  }

  // ---- faults ----
  void injectFault(int kind) {
    std::error_code ec;
    switch (kind) {
      case 0: {
        const int i = pick(2);
        log(std::string("  fault: kill -9 agent ") + side(i));
        stopAgent(i, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(1500)));
        startAgent(i);
        ++faults_["kill"];
        faultInRound_ = true;
        ++unjudgedCrashes_;
        break;
      }
      case 1: {
        static const char* const plans[] = {"reset-after 1\n", "stall-after 1\n", "crash-after 2\n",
                                            "umkvt-error harness says no\n"};
        const char* plan = plans[pick(4)];
        log(std::string("  fault: engine ") + oneLine(plan));
        writeAll(storage() + "/faults", plan);
        engineFault_ = true;
        ++faults_["engine"];
        extraPatience_ = 180s;
        break;
      }
      case 2:
      case 3: {
        const char* plan = kind == 2 ? "maintenance\n" : "refuse\n";
        log(std::string("  fault: service ") + oneLine(plan));
        service_->setFaults(plan);
        serviceFault_ = true;
        ++faults_["service"];
        extraPatience_ = 180s;
        break;
      }
      default: {
        const int i = pick(2);
        log(std::string("  fault: sync root of ") + side(i) + " renamed away");
        fs::rename(root(i), root(i) + ".away", ec);
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + pick(2000)));
        fs::rename(root(i) + ".away", root(i), ec);
        if (ec) problem("could not put the sync root back: " + ec.message());
        relink_[i] = true;
        relinkIfLoggedOut();
        ++faults_["root-away"];
        faultInRound_ = true;
        break;
      }
    }
  }

  void endFaults() {
    if (!engineFault_ && !serviceFault_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 + pick(4000)));
    std::error_code ec;
    if (engineFault_) fs::remove(storage() + "/faults", ec);
    if (serviceFault_) service_->setFaults("");
    engineFault_ = serviceFault_ = false;
    log("  faults lifted");
  }

  // ---- hostile names ----
  static std::vector<std::string> hostileNames() {
    std::vector<std::string> v;
    const std::vector<std::string> parts = {
        "with space", " leading space", "trailing space ", "quote\"d", "apos'trophe", "back\\slash",
        "per%cent", "%2F", "-leading-dash", "--double", "caf\xC3\xA9", "cafe\xCC\x81",  // NFC and NFD
        "\xEF\xAC\x81" "ligature", "A\xCC\x8A" "ngstr\xC3\xB6m", "\xC3\x85ngstr\xC3\xB6m", "emoji\xF0\x9F\x98\x80",
        "family\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9", "rtl\xE2\x80\x8F" "mark", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D",
        "zero\xE2\x80\x8Bwidth", "Case", "case", "CASE", "name.UMSCache", ".UMSCache2", "x.kvt-part.1",
        "ConflictData", "file~", "#hash#", "semi;colon", "star*", "q?mark", "pipe|bar", "lt<gt>", "tab\tname",
        "\xE4\xB8\xAD\xE6\x96\x87", "\xED\x95\x9C\xEA\xB8\x80", "dots...", "..double-dot-start", "amp&",
        "dollar$HOME", "`tick`", "brace{}", "[bracket]", "comma,", "eq=", "at@", "plus+", "caret^", "bang!",
    };
    for (const auto& p : parts) {
      v.push_back(p);
      v.push_back(p + ".txt");
      v.push_back("dir " + p + "/" + p);
      v.push_back("n-" + p + "-end");
      v.push_back(p + "-" + p);
      v.push_back("deep/" + p + "/a/b/" + p + ".txt");
    }
    v.push_back(std::string(251, 'L') + ".txt");
    v.push_back(std::string(255, 'M'));
    v.push_back(std::string(63, 'd') + "/" + std::string(63, 'e') + "/" + std::string(63, 'f') + "/" +
                std::string(63, 'g') + "/" + std::string(200, 'h'));
    std::string deep;
    for (int k = 0; k < 40; ++k) deep += "level" + std::to_string(k) + "/";
    v.push_back(deep + "bottom.txt");
    return v;
  }

  void hostileRound() {
    const auto names = hostileNames();
    log("hostile names: " + std::to_string(names.size()));
    int k = 0;
    std::vector<std::pair<std::string, std::string>> atService;
    for (const std::string& n : names) {
      const std::string rel = (k % 2 ? "hostile-svc/" : "hostile-a/") + n;
      const std::string bytes = "hostile " + std::to_string(k) + "\n";
      if (k % 2) {
        atService.emplace_back(rel, bytes);
      } else {
        std::error_code ec;
        fs::create_directories(fs::path(root(0) + "/" + rel).parent_path(), ec);
        writeAll(root(0) + "/" + rel, bytes);
      }
      hostile_.emplace_back(rel, bytes);
      expectWrite(rel, std::nullopt, bytes);
      keepFoldersAbove(rel, "", false);
      ++k;
    }
    serviceWrite(atService);
    announce();
  }

  void checkHostile() {
    const std::string traces = readAll(traceLog(0)).value_or("") + readAll(traceLog(1)).value_or("");
    int arrived = 0, refused = 0, missing = 0;
    for (const auto& [rel, bytes] : hostile_) {
      const bool atA = readAll(root(0) + "/" + rel) == bytes, atB = readAll(root(1) + "/" + rel) == bytes;
      if (atA && atB) {
        ++arrived;
      } else if (traces.find(fs::path(rel).filename().string()) != std::string::npos) {
        ++refused;
      } else {
        ++missing;
        if (missing <= 20) problem("hostile name " + shown(rel) + " neither arrived nor refused with a trace line");
      }
    }
    log("hostile names: " + std::to_string(arrived) + " arrived, " + std::to_string(refused) +
        " refused with a trace line, " + std::to_string(missing) + " missing");
    if (missing > 0) fail("hostile names lost without a trace line");
  }

  // ---- reporting ----
  void log(const std::string& line) {
    opLog_.push_back(line);
    std::cout << "[seed " << o_.seed << "] " << line << std::endl;
  }
  void problem(const std::string& line) {
    if (quietReport_) log("PROBLEM " + line);
  }
  void fail(const std::string& why) {
    if (!failed_) log("FAILED: " + why);
    failed_ = true;
  }

  int finish(std::chrono::steady_clock::time_point began) {
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (failed_) {
      std::cout << "---- replay: " << ULMORA_CONVERGENCE_PATH << " --seed=" << o_.seed << " --ops=" << o_.ops
                << " --scale=" << o_.scale << (o_.faults ? " --faults" : "") << (o_.hostile ? " --hostile" : "")
                << " --keep\n---- run folder kept: " << dir_ << "\n";
      for (int i = 0; i < 2; ++i) {
        const std::string t = readAll(traceLog(i)).value_or("(no trace log)");
        const size_t from = t.size() > 20000 ? t.size() - 20000 : 0;
        std::cout << "---- trace of agent " << side(i) << " (" << traceLog(i) << ", last 20000 bytes)\n"
                  << t.substr(from) << "\n";
      }
    }
    std::cout << "RESULT seed=" << o_.seed << " ok=" << (failed_ ? 0 : 1) << " ops=" << opsDone_
              << " kill=" << faults_["kill"] << " engine=" << faults_["engine"] << " service=" << faults_["service"]
              << " rootaway=" << faults_["root-away"] << " crashes_survived=" << crashes_
              << " lost=" << lost_ << " late=" << late_ << " stalls=" << stalls_ << " slowest=" << slowest_ << " wall=" << wall
              << std::endl;
    return failed_ ? 1 : 0;
  }

  const Options o_;
  std::mt19937_64 rng_;
  std::string dir_, setupError_;
  std::unique_ptr<ulmora::testing::StandInService> service_;
  std::unique_ptr<ChildProcess> agents_[2];
  std::thread waiters_[2];
  std::map<std::string, uint64_t> decoy_;
  std::map<std::string, Expect> model_;
  // The driver's own record of the operations, which choices follow.
  Tree plan_;
  // Every content the driver wrote and no later operation replaced after
  // seeing it, with the path it was written at: each must survive.
  std::map<uint64_t, std::string> required_;
  bool relink_[2] = {false, false};
  bool quietReport_ = true;
  int late_ = 0;
  std::vector<std::pair<std::string, std::string>> hostile_;
  std::vector<std::string> opLog_;
  std::map<std::string, int> faults_;
  std::chrono::seconds extraPatience_{0};
  // A kill or a sync folder renamed away in the round: the agent starts over
  // or logs out, which its trace does not announce as a wait.
  bool faultInRound_ = false;
  // What the agents' traces told of their waits since the last quiet point.
  bool untimedWait_ = false;
  std::chrono::steady_clock::time_point waitsEnd_{};
  std::streamoff traceRead_[2] = {0, 0};
  // When either agent last traced anything (as seen by the looks).
  std::chrono::steady_clock::time_point tracedAt_{};
  bool failed_ = false, engineFault_ = false, serviceFault_ = false;
  int writes_ = 0, names_ = 0, sets_ = 0, opCount_ = 0, opsDone_ = 0, crashes_ = 0, unjudgedCrashes_ = 0, lost_ = 0, stalls_ = 0;
  double slowest_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      const std::string prefix = std::string(name) + "=";
      if (a.rfind(prefix, 0) == 0) return a.substr(prefix.size());
      return std::nullopt;
    };
    if (auto v = value("--seed")) {
      o.seed = std::stoull(*v);
    } else if (auto v = value("--ops")) {
      o.ops = std::stoi(*v);
    } else if (auto v = value("--scale")) {
      o.scale = std::stod(*v);
    } else if (auto v = value("--stall-seconds")) {
      o.stallSeconds = std::stoi(*v);
    } else if (a == "--faults") {
      o.faults = true;
    } else if (a == "--hostile") {
      o.hostile = true;
    } else if (a == "--keep") {
      o.keep = true;
    } else {
      std::cerr << "usage: ulmora-convergence --seed=N [--ops=M] [--scale=S] [--faults] [--hostile] [--keep] "
                   "[--stall-seconds=T]\n";
      return 2;
    }
  }
  Run run(o);
  return run.main();
}
