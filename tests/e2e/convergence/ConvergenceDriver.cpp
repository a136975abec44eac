// Two agents on one account, seeded random work on either side and on the
// service, faults on the way; at every quiet point both folders and the
// storage must hold the same tree, no content the user had may be gone, and
// nothing outside the run's folders may have changed.
//
//   ulmora-convergence --seed=N [--ops=M] [--scale=S] [--faults] [--hostile]
//                      [--keep] [--stall-seconds=T]
//
// Exit status 0 when every quiet point held, 1 on a broken invariant or a
// stall, 2 on a setup failure. The last line is a RESULT summary that
// scripts/soak adds up. --stall-seconds bounds how long nothing may move
// while the agents are not quiet (see quietPoint).
//
// After a broken invariant the driver keeps looking for a while and says
// whether the folders and the storage came to one tree later after all.
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
      tree[r] = Entry{false, fnv(*bytes)};
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
    if (!quietPoint("start")) return finish(began);
    if (o_.hostile) {
      hostileRound();
      if (!quietPoint("hostile names")) return finish(began);
      checkHostile();
    }
    int done = 0;
    int round = 0;
    while (done < o_.ops && !failed_) {
      const int n = std::min<int>(std::uniform_int_distribution<int>(1, 10)(rng_), o_.ops - done);
      ++round;
      playRound(round, n);
      done += n;
      if (!quietPoint("round " + std::to_string(round))) break;
    }
    opsDone_ = done;
    return finish(began);
  }

 private:
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
    char tmpl[] = "/tmp/ulmora-conv.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
      setupError_ = "mkdtemp";
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
      const std::string config = home(i) + "/.config/ulmora";
      fs::create_directories(config + "/accounts/" + kUser);
      fs::create_directories(runtime(i));
      fs::create_directories(root(i));
      ::chmod(runtime(i).c_str(), 0700);
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
      if (!login.writeFile(config + "/LastUserLoginDetails.plist") ||
          !login.writeFile(config + "/accounts/" + kUser + "/LoginDetails.plist")) {
        setupError_ = "login details";
        return false;
      }
      PropertyList folders(PropertyList::Dict{});
      folders.set(kUser, root(i));
      folders.writeFile(config + "/SyncFolders.plist");
      PropertyList details(PropertyList::Dict{});
      details.set("UlmoraUsername", kUser);
      details.set("ParentAccount", kUser);
      details.writeFile(config + "/AccountDetails.plist");
      std::error_code ec;
      fs::copy_file(service_->caFile(), config + "/ServiceCA.pem", ec);
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
  bool quietPoint(const std::string& what) {
    if (failed_) return false;
    using Steady = std::chrono::steady_clock;
    const auto began = Steady::now();
    // Never less than a few real seconds: the engine and the databases run
    // in real time whatever the scale.
    const auto step = std::max<std::chrono::milliseconds>(cycle(), 1000ms);
    const auto bound = std::chrono::seconds(o_.stallSeconds) + extraPatience_;
    const auto settle = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>((extraPatience_ > 0s ? 200.0 : 70.0) / std::max(1.0, o_.scale)));
    static const char* const kParts[] = {"the storage's change index", "A's database", "B's database",
                                         "A's folder", "B's folder", "the journal files", "the engines"};
    std::vector<std::string> last;
    std::string lastMoved = "nothing";
    int same = 0;
    auto stableSince = Steady::now(), movedAt = Steady::now();
    while (true) {
      std::this_thread::sleep_for(step);
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
      if (engines.working == 0 && journals == 0 && look == last) {
        if (++same >= 3 && now - stableSince >= settle) {
          if (engines.idleListings > 0) {
            log("  " + std::to_string(engines.idleListings) +
                " listing(s) from the current change index still running");
          }
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
    const double took = std::chrono::duration<double>(Steady::now() - began).count();
    slowest_ = std::max(slowest_, took);
    log("quiet after " + what + " in " + std::to_string(took) + " s");
    if (checkInvariants(what)) {
      // A crash is survived once the next quiet point holds.
      crashes_ += std::exchange(unjudgedCrashes_, 0);
      return true;
    }
    secondLook();
    return false;
  }

  // After a broken invariant: do the folders and the storage come to one
  // tree a while later? Tells an agent that stopped short of the work
  // (never) from one whose quiet the rule above misread (later).
  void secondLook() {
    const auto began = std::chrono::steady_clock::now();
    const auto patience = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(std::max(60.0, 200.0 / std::max(1.0, o_.scale))));
    const auto step = std::max<std::chrono::milliseconds>(cycle(), 1000ms);
    while (std::chrono::steady_clock::now() - began < patience) {
      std::this_thread::sleep_for(step);
      const Tree a = treeOf(root(0)), b = treeOf(root(1)), s = storageTree(nullptr, false);
      if (a == b && a == s) {
        log("second look: the folders and the storage agree " +
            std::to_string(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count()) +
            " s after the quiet point (the quiet came too soon)");
        return;
      }
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
  Tree storageTree(std::set<uint64_t>* allBlobs, bool report = true) {
    Tree t;
    int cacheOnServer = 0;
    auto conn = ulmora::SqliteConnection::open(metaDb(), ulmora::SqliteConnection::OpenMode::kReadOnly);
    if (conn) {
      auto st = conn->prepare("SELECT path, is_dir, ref_id, version FROM entries WHERE in_trash = 0");
      while (st && st->step() == ulmora::SqliteStatement::Step::kRow) {
        std::string p = st->columnText(0).value_or("");
        while (!p.empty() && p.front() == '/') p.erase(0, 1);
        while (!p.empty() && p.back() == '/') p.pop_back();
        if (p.empty()) continue;
        if (isCache(p)) {
          ++cacheOnServer;
          continue;
        }
        if (st->columnInt64(1) != 0) {
          t[p] = Entry{true, 0};
        } else {
          auto bytes = readAll(accountDir() + "/blobs/" + std::to_string(st->columnInt64(2)) + "." +
                               std::to_string(st->columnInt64(3)));
          t[p] = Entry{false, bytes ? fnv(*bytes) : 0};
        }
      }
    }
    if (cacheOnServer > 0 && report) log("storage holds " + std::to_string(cacheOnServer) + " entries of a cache folder (not compared)");
    if (allBlobs) {
      std::error_code ec;
      for (auto it = fs::directory_iterator(accountDir() + "/blobs", ec); !ec && it != fs::directory_iterator();
           it.increment(ec)) {
        if (auto bytes = readAll(it->path().string()); bytes && !bytes->empty()) allBlobs->insert(fnv(*bytes));
      }
    }
    return t;
  }

  // ---- invariants ----
  bool checkInvariants(const std::string& what) {
    std::set<uint64_t> kept;
    const Tree a = treeOf(root(0)), b = treeOf(root(1));
    const Tree s = storageTree(&kept);
    treeOf(root(0), true, &kept);
    treeOf(root(1), true, &kept);
    bool ok = true;
    // 1. one tree everywhere
    ok &= compareTrees("A", a, "B", b);
    ok &= compareTrees("A", a, "storage", s);
    const Tree cacheA = treeOf(root(0) + "/.UMSCache", true), cacheB = treeOf(root(1) + "/.UMSCache", true);
    if (!cacheA.empty() || !cacheB.empty()) {
      log("cache entries (not compared): A " + std::to_string(cacheA.size()) + ", B " +
          std::to_string(cacheB.size()));
    }
    // 2. nothing the user had is gone
    int lost = 0;
    for (const auto& [hash, where] : previousContents_) {
      if (!kept.count(hash)) {
        ++lost;
        problem("invariant 2: content last seen at " + shown(where) + " survives nowhere");
      }
    }
    lost_ += lost;
    ok &= lost == 0;
    // 3. nothing outside changed
    if (decoySnapshot() != decoy_) {
      problem("invariant 3: the decoy tree beside the homes changed");
      ok = false;
    }
    // 4. each database agrees with its folder
    for (int i = 0; i < 2; ++i) {
      const Tree& t = i == 0 ? a : b;
      std::set<std::string> inSync;
      auto conn = ulmora::SqliteConnection::open(localDb(i), ulmora::SqliteConnection::OpenMode::kReadOnly);
      if (conn) {
        auto st = conn->prepare("SELECT FILEPATH FROM FILE_TABLE WHERE BACKUP_STATUS = '1'");
        while (st && st->step() == ulmora::SqliteStatement::Step::kRow) inSync.insert(st->columnText(0).value_or(""));
      }
      int missing = 0;
      for (const auto& [p, e] : t) {
        if (e.dir || inSync.count("/" + p)) continue;
        if (++missing <= 10) problem(std::string("invariant 4: ") + side(i) + " has " + shown(p) + " without a row in sync");
      }
      ok &= missing == 0;
    }
    previousContents_.clear();
    for (const Tree* t : {&a, &b}) {
      for (const auto& [p, e] : *t) {
        if (!e.dir && e.hash != fnv("")) previousContents_[e.hash] = p;
      }
    }
    if (!ok) fail("invariants broken at the quiet point after " + what);
    // The driver's choices follow its own record of what it did, never what
    // the agents made of it, so that a seed replays the same operations and
    // faults whatever the timing.
    return ok;
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
    for (const auto& [p, e] : model_) {
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
  void announce() {
    ProcessOptions o;
    o.executable = "/usr/bin/curl";
    const std::string payload = "{\"Id\":\"harness-" + std::to_string(++sets_) +
                                "\",\"UID\":\"harness\",\"Path\":\"/\",\"TOPIC\":\"" + kUser + "\"}";
    o.arguments = {"-s", "-m", "10", "--cacert", service_->caFile(), "--data-urlencode", "action=push",
                   "--data-urlencode", "payLoad=" + payload, service_->url("/pns/broadcast")};
    ProcessRunner::run(o);
  }
  bool serviceWrite(const std::string& rel, const std::string& bytes) {
    const std::string stage = dir_ + "/stage";
    std::error_code ec;
    fs::remove_all(stage, ec);
    fs::create_directories(fs::path(stage + "/" + rel).parent_path(), ec);
    writeAll(stage + "/" + rel, bytes);
    const bool ok = engine({"--files-from=" + setFile(stage + "\n" + rel + "\n"), stage, remote("/")}, rel);
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
    if (serviceTouched) announce();
    endFaults();
  }

  // Returns whether it changed the service directly.
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
    std::error_code ec;
    switch (kind) {
      case 0:
      case 1: {  // create a file
        const std::string rel = placeIn(dirs) + freshName(false);
        const std::string bytes = content("create " + rel);
        note("create " + rel);
        model_[rel] = Entry{false, fnv(bytes)};
        if (who == 2) return serviceWrite(rel, bytes), true;
        writeAll(r + "/" + rel, bytes);
        return false;
      }
      case 2:
      case 3:
      case 4: {  // append, overwrite or truncate
        if (files.empty()) return false;
        const std::string rel = files[static_cast<size_t>(pick(static_cast<int>(files.size())))];
        const std::string mode = kind == 2 ? "append" : kind == 3 ? "overwrite" : "truncate";
        note(mode + " " + rel);
        std::string bytes;
        const std::string current = readAll(root(0) + "/" + rel).value_or("");
        if (kind == 2) bytes = current + content("append " + rel);
        if (kind == 3) bytes = content("overwrite " + rel);
        if (kind == 4) bytes = current.substr(0, current.size() / 2);
        if (who == 2) return serviceWrite(rel, bytes), true;
        if (kind == 2) {
          writeAll(r + "/" + rel, bytes.substr(std::min(bytes.size(), current.size())), true);
        } else {
          writeAll(r + "/" + rel, bytes);
        }
        return false;
      }
      case 5: {  // rename or move a file
        if (files.empty()) return false;
        const std::string from = files[static_cast<size_t>(pick(static_cast<int>(files.size())))];
        const std::string to = placeIn(dirs) + freshName(false);
        note("rename " + from + " -> " + to);
        model_[to] = model_[from];
        model_.erase(from);
        if (who == 2) return engine({"--rename", "--files-from=" + setFile("/" + from + "\n/" + to + "\n"), remote("/")}, from), true;
        fs::rename(r + "/" + from, r + "/" + to, ec);
        return false;
      }
      case 6: {  // rename or move a folder
        if (dirs.empty()) return false;
        const std::string from = dirs[static_cast<size_t>(pick(static_cast<int>(dirs.size())))];
        std::string parent = placeIn(dirs);
        if ((parent + "/").rfind(from + "/", 0) == 0) parent = "";
        const std::string to = parent + freshName(true);
        note("move folder " + from + " -> " + to);
        Tree moved;
        for (auto it = model_.begin(); it != model_.end();) {
          if (it->first == from || it->first.rfind(from + "/", 0) == 0) {
            moved[to + it->first.substr(from.size())] = it->second;
            it = model_.erase(it);
          } else {
            ++it;
          }
        }
        model_.insert(moved.begin(), moved.end());
        if (who == 2) return engine({"--rename", "--files-from=" + setFile("/" + from + "/\n/" + to + "/\n"), remote("/")}, from), true;
        fs::rename(r + "/" + from, r + "/" + to, ec);
        return false;
      }
      case 7: {  // delete a file
        if (files.empty()) return false;
        const std::string rel = files[static_cast<size_t>(pick(static_cast<int>(files.size())))];
        note("delete " + rel);
        model_.erase(rel);
        if (who == 2) return engine({"--remove", "--files-from=" + setFile("/" + rel + "\n"), remote("/")}, rel), true;
        fs::remove(r + "/" + rel, ec);
        return false;
      }
      case 8: {  // delete a folder tree
        if (dirs.empty()) return false;
        const std::string rel = dirs[static_cast<size_t>(pick(static_cast<int>(dirs.size())))];
        note("delete tree " + rel);
        for (auto it = model_.begin(); it != model_.end();) {
          it = (it->first == rel || it->first.rfind(rel + "/", 0) == 0) ? model_.erase(it) : std::next(it);
        }
        if (who == 2) return engine({"--remove", "--files-from=" + setFile("/" + rel + "/\n"), remote("/")}, rel), true;
        fs::remove_all(r + "/" + rel, ec);
        return false;
      }
      case 9: {  // an empty folder, sometimes with a file
        const std::string rel = placeIn(dirs) + freshName(true);
        note("mkdir " + rel);
        model_[rel] = Entry{true, 0};
        if (who == 2) return engine({"--mkdir", remote("/" + rel + "/")}, rel), true;
        fs::create_directories(r + "/" + rel, ec);
        return false;
      }
      case 10: {  // touch without change
        if (files.empty() || who == 2) return false;
        const std::string rel = files[static_cast<size_t>(pick(static_cast<int>(files.size())))];
        note("touch " + rel);
        ::utimensat(AT_FDCWD, (r + "/" + rel).c_str(), nullptr, 0);
        return false;
      }
      default: {  // the same path edited on both sides within one cycle
        if (files.empty()) return false;
        const std::string rel = files[static_cast<size_t>(pick(static_cast<int>(files.size())))];
        note("edit on both sides " + rel);
        writeAll(root(0) + "/" + rel, content("both A " + rel));
        writeAll(root(1) + "/" + rel, content("both B " + rel));
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
        ++faults_["root-away"];
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
    for (const std::string& n : names) {
      const std::string rel = (k % 2 ? "hostile-svc/" : "hostile-a/") + n;
      const std::string bytes = "hostile " + std::to_string(k) + "\n";
      if (k % 2) {
        serviceWrite(rel, bytes);
      } else {
        std::error_code ec;
        fs::create_directories(fs::path(root(0) + "/" + rel).parent_path(), ec);
        writeAll(root(0) + "/" + rel, bytes);
      }
      hostile_.emplace_back(rel, bytes);
      ++k;
    }
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
  void problem(const std::string& line) { log("PROBLEM " + line); }
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
              << " lost=" << lost_ << " stalls=" << stalls_ << " slowest=" << slowest_ << " wall=" << wall
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
  std::map<uint64_t, std::string> previousContents_;
  Tree model_;
  std::vector<std::pair<std::string, std::string>> hostile_;
  std::vector<std::string> opLog_;
  std::map<std::string, int> faults_;
  std::chrono::seconds extraPatience_{0};
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
