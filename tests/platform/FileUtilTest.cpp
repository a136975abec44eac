#include "platform/FileUtil.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "TestTempDir.h"
#include "platform/Trace.h"

namespace ulmora::fileutil {
namespace detail {
RenameResult renameNoReplaceByLink(const std::string& from, const std::string& to);
}  // namespace detail

namespace {

constexpr uid_t kNobody = 65534;

mode_t modeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

uid_t ownerOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

std::string contentsOf(const std::string& path) {
  return readFile(path).value_or("<unreadable>");
}

// Runs `body` without privileges: when the tests run as root, in a forked
// child that has dropped to the unprivileged user. The child's result is its
// exit code, since test assertions there would not reach the parent.
bool asUnprivileged(const std::function<bool()>& body) {
  if (::geteuid() != 0)
    return body();
  pid_t pid = ::fork();
  if (pid == 0) {
    bool ok =
        ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 && body();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
    return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A temporary folder the unprivileged user may enter.
class SharedTempDir : public testing::TestTempDir {
 public:
  SharedTempDir() { ::chmod(path().c_str(), 0755); }
  // A folder owned by the unprivileged user (when running as root).
  std::string ownedFolder(const std::string& name) const {
    std::string p = sub(name);
    makeDirectories(p, 0755);
    if (::geteuid() == 0)
      setOwner(p, kNobody, kNobody);
    return p;
  }
};

using RenameFn = RenameResult (*)(const std::string&, const std::string&);

class RenameTest : public ::testing::TestWithParam<RenameFn> {};

TEST_P(RenameTest, NeverReplacesAnything) {
  RenameFn rename = GetParam();
  testing::TestTempDir tmp;
  std::string from = tmp.writeFile("from", "new");

  EXPECT_EQ(rename(tmp.sub("missing"), tmp.sub("other")), RenameResult::kFailed);

  std::string taken = tmp.writeFile("taken", "old");
  EXPECT_EQ(rename(from, taken), RenameResult::kTargetExists);
  EXPECT_EQ(contentsOf(from), "new");
  EXPECT_EQ(contentsOf(taken), "old");

  ASSERT_EQ(::symlink("nowhere", tmp.sub("dangling").c_str()), 0);
  EXPECT_EQ(rename(from, tmp.sub("dangling")), RenameResult::kTargetExists);
  EXPECT_TRUE(isSymlink(tmp.sub("dangling")));

  EXPECT_EQ(rename(from, tmp.sub("free")), RenameResult::kOk);
  EXPECT_FALSE(exists(from));
  EXPECT_EQ(contentsOf(tmp.sub("free")), "new");
}

INSTANTIATE_TEST_SUITE_P(BothWays,
                         RenameTest,
                         ::testing::Values(&renameNoReplace, &detail::renameNoReplaceByLink));

TEST(FileUtilTest, RenamingAFolderNeverReplacesAnEmptyOne) {
  testing::TestTempDir tmp;
  ASSERT_TRUE(makeDirectories(tmp.sub("src/inner")));
  ASSERT_TRUE(makeDirectories(tmp.sub("empty")));
  EXPECT_EQ(renameNoReplace(tmp.sub("src"), tmp.sub("empty")), RenameResult::kTargetExists);
  EXPECT_TRUE(isDirectory(tmp.sub("src/inner")));
  // Hard links cannot do folders; the fallback refuses rather than replacing.
  EXPECT_EQ(detail::renameNoReplaceByLink(tmp.sub("src"), tmp.sub("empty")), RenameResult::kFailed);
  EXPECT_EQ(renameNoReplace(tmp.sub("src"), tmp.sub("moved")), RenameResult::kOk);
  EXPECT_TRUE(isDirectory(tmp.sub("moved/inner")));
}

TEST(FileUtilTest, AtomicWriteSetsModeAndLeavesNothingBehind) {
  testing::TestTempDir tmp;
  const std::string longName(240, 'n');
  struct Case {
    std::string name;
    mode_t mode;
  };
  const Case cases[] = {{"plain", kOwnerOnlyFile}, {"shared", 0644}, {longName, 0600}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 20));
    std::string path = tmp.sub(c.name);
    ASSERT_TRUE(writeFileAtomically(path, "first", c.mode));
    ::chmod(path.c_str(), 0666);
    ASSERT_TRUE(writeFileAtomically(path, std::string("sec\0nd", 6), c.mode));
    EXPECT_EQ(contentsOf(path), std::string("sec\0nd", 6));
    EXPECT_EQ(modeOf(path), c.mode);
  }
  EXPECT_FALSE(writeFileAtomically(tmp.sub("no/such/folder/file"), "x"));
  EXPECT_FALSE(writeFileAtomically(tmp.sub("plain/"), "x")) << "a folder name is not a file";
  EXPECT_EQ(listDirectory(tmp.path()), (std::vector<std::string>{longName, "plain", "shared"}))
      << "a .progress file was left behind";
}

// Each case: what is at the target before two writes, what must hold after.
TEST(FileUtilTest, WriteByExchangeTradesPlacesWithASideFileOnlyForPlainFiles) {
  struct Case {
    const char* name;
    std::function<void(testing::TestTempDir&, const std::string& path)> before;
    bool written;        // the writes succeed
    bool sideKeepsLast;  // the side file holds the contents replaced last
  };
  const Case cases[] = {
      {"existing_file", [](auto&, const std::string& p) { ASSERT_TRUE(writeFileAtomically(p, "old", 0666)); }, true,
       true},
      {"missing_file", [](auto&, const std::string&) {}, true, true},
      {"symlink_is_replaced_not_followed",
       [](auto& t, const std::string& p) { ASSERT_EQ(::symlink(t.writeFile("outside", "keep").c_str(), p.c_str()), 0); },
       true, true},
      {"planted_side_symlink_is_not_followed",
       [](auto& t, const std::string& p) {
         ASSERT_TRUE(writeFileAtomically(p, "old"));
         ASSERT_EQ(::symlink(t.writeFile("outside", "keep").c_str(), t.sub(".f.swap").c_str()), 0);
       },
       true, true},
      {"folder_is_left_alone", [](auto&, const std::string& p) { ASSERT_TRUE(makeDirectories(p)); }, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestTempDir tmp;
    const std::string path = tmp.sub("f");
    c.before(tmp, path);
    // The second write is shorter: what the side file held must not show.
    EXPECT_EQ(writeFileByExchange(path, "first, longer"), c.written);
    EXPECT_EQ(writeFileByExchange(path, "2nd"), c.written);
    if (c.written) {
      EXPECT_EQ(contentsOf(path), "2nd");
      EXPECT_EQ(modeOf(path), kOwnerOnlyFile);
      EXPECT_FALSE(isSymlink(path) || isDirectory(path));
    } else {
      EXPECT_TRUE(isDirectory(path));
    }
    if (c.sideKeepsLast) {
      EXPECT_EQ(contentsOf(tmp.sub(".f.swap")), "first, longer");
    }
    if (exists(tmp.sub("outside"))) {
      EXPECT_EQ(contentsOf(tmp.sub("outside")), "keep");
    }
    for (const std::string& name : listDirectory(tmp.path()).value_or(std::vector<std::string>{}))
      EXPECT_EQ(name.find(".progress"), std::string::npos) << name;
  }
}

TEST(FileUtilTest, WriteByExchangeLeavesAnOpenReaderTheWholeOldFile) {
  testing::TestTempDir tmp;
  const std::string path = tmp.sub("f");
  ASSERT_TRUE(writeFileByExchange(path, "old contents"));
  ASSERT_TRUE(writeFileByExchange(path, "older, kept in the side file"));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(writeFileByExchange(path, "new"));
  char buffer[64] = {};
  ssize_t n = ::pread(fd, buffer, sizeof(buffer), 0);
  ::close(fd);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "older, kept in the side file");
  EXPECT_EQ(contentsOf(path), "new");
}

TEST(FileUtilTest, AppendCreatesWithModeThenAppends) {
  testing::TestTempDir tmp;
  std::string path = tmp.sub("log");
  ASSERT_TRUE(appendToFile(path, "one\n"));
  ASSERT_TRUE(appendToFile(path, "two\n", 0644));
  EXPECT_EQ(contentsOf(path), "one\ntwo\n");
  EXPECT_EQ(modeOf(path), kOwnerOnlyFile);
  EXPECT_FALSE(appendToFile(tmp.sub("missing/log"), "x"));
}

TEST(FileUtilTest, ReadFileRefusesWhatIsNotARegularFile) {
  testing::TestTempDir tmp;
  ASSERT_EQ(::mkfifo(tmp.sub("fifo").c_str(), 0600), 0);
  ASSERT_TRUE(makeDirectories(tmp.sub("folder")));
  EXPECT_EQ(readFile(tmp.sub("missing")), std::nullopt);
  EXPECT_EQ(readFile(tmp.sub("fifo")), std::nullopt) << "must not wait for a writer";
  EXPECT_EQ(readFile(tmp.sub("folder")), std::nullopt);
  EXPECT_EQ(readFile(tmp.writeFile("empty", "")), "");
}

TEST(FileUtilTest, RefusedPermissionsAreReportedAsFailures) {
  SharedTempDir tmp;
  std::string secret = tmp.writeFile("locked/secret", "s");
  ::chmod(secret.c_str(), 0600);
  std::string readOnly = tmp.sub("readonly");
  ASSERT_TRUE(makeDirectories(readOnly, 0755));
  std::string existing = tmp.writeFile("readonly/file", "before");
  ::chmod(existing.c_str(), 0666);  // writable in place, but the folder is not
  ::chmod(tmp.sub("locked").c_str(), 0711);

  EXPECT_TRUE(asUnprivileged([&] {
    return !readFile(secret) && !writeFileAtomically(existing, "after", 0666) &&
           !makeDirectories(readOnly + "/new/deeper") && !listDirectory(tmp.sub("locked")) &&
           !appendToFile(readOnly + "/other", "x");
  }));
  EXPECT_EQ(contentsOf(existing), "before");
  EXPECT_EQ(listDirectory(readOnly), std::vector<std::string>{"file"});
}

TEST(FileUtilTest, MakeDirectoriesGivesEachNewFolderTheMode) {
  testing::TestTempDir tmp;
  mode_t oldMask = ::umask(027);
  ASSERT_TRUE(makeDirectories(tmp.sub("pre"), 0755));
  EXPECT_TRUE(makeDirectories(tmp.sub("pre/a/b/c/"), 0770));
  ::umask(oldMask);
  EXPECT_EQ(modeOf(tmp.sub("pre")), 0755u) << "an existing folder keeps its mode";
  for (const char* p : {"pre/a", "pre/a/b", "pre/a/b/c"})
    EXPECT_EQ(modeOf(tmp.sub(p)), 0770u) << p;

  EXPECT_TRUE(makeDirectories(tmp.sub("pre/a"))) << "already there";
  EXPECT_EQ(modeOf(tmp.sub("pre/a")), 0770u);
  tmp.writeFile("file", "x");
  EXPECT_FALSE(makeDirectories(tmp.sub("file/sub")));
  EXPECT_FALSE(makeDirectories(tmp.sub("file")));
  ASSERT_EQ(::symlink("pre", tmp.sub("link").c_str()), 0);
  EXPECT_TRUE(makeDirectories(tmp.sub("link/through")));
  EXPECT_TRUE(isDirectory(tmp.sub("pre/through")));
}

// A tree with symlinks that lead out of it, and the outside they lead to.
struct TreeWithEscapes {
  explicit TreeWithEscapes(const testing::TestTempDir& tmp)
      : top(tmp.sub("tree")), outside(tmp.sub("outside")) {
    tmp.writeFile("tree/f", "f");
    tmp.writeFile("tree/sub/g", "g");
    tmp.writeFile("outside/keep", "keep");
    ::chmod(outside.c_str(), 0755);
    ::chmod((outside + "/keep").c_str(), 0644);
    ::symlink((outside + "/keep").c_str(), (top + "/sub/to-file").c_str());
    ::symlink(outside.c_str(), (top + "/to-folder").c_str());
  }
  bool outsideIntact() const {
    return modeOf(outside) == 0755 && modeOf(outside + "/keep") == 0644 &&
           readFile(outside + "/keep") == "keep" && ownerOf(outside + "/keep") == ::geteuid();
  }
  std::string top, outside;
};

TEST(FileUtilTest, RecursiveModeAndOwnerStayInsideTheTree) {
  SharedTempDir tmp;
  TreeWithEscapes tree(tmp);
  ASSERT_TRUE(setMode(tree.top, 0700, true));
  for (const char* p : {"", "/f", "/sub", "/sub/g"})
    EXPECT_EQ(modeOf(tree.top + p), 0700u) << p;
  EXPECT_TRUE(tree.outsideIntact());

  ASSERT_TRUE(setOwner(tree.top, kNobody, kNobody, true));
  uid_t expected = ::geteuid() == 0 ? kNobody : ::geteuid();
  for (const char* p : {"", "/f", "/sub/g", "/sub/to-file", "/to-folder"})
    EXPECT_EQ(ownerOf(tree.top + p), expected) << p;
  EXPECT_TRUE(tree.outsideIntact());

  // A mode without owner access must still reach the whole tree, which needs
  // the folders to be changed after what they contain.
  EXPECT_TRUE(asUnprivileged([&] { return setMode(tree.top, 0600, true); }));
  ::chmod(tree.top.c_str(), 0700);
  ::chmod((tree.top + "/sub").c_str(), 0700);
  EXPECT_EQ(modeOf(tree.top + "/sub/g"), 0600u);
  EXPECT_EQ(modeOf(tree.top + "/f"), 0600u);
}

TEST(FileUtilTest, RemoveAllNeverFollowsSymlinks) {
  SharedTempDir tmp;
  TreeWithEscapes tree(tmp);
  EXPECT_TRUE(removeAll(tree.top + "/to-folder"));
  EXPECT_TRUE(tree.outsideIntact());
  ::symlink(tree.outside.c_str(), (tree.top + "/to-folder").c_str());

  EXPECT_TRUE(removeAll(tree.top));
  EXPECT_FALSE(exists(tree.top));
  EXPECT_TRUE(tree.outsideIntact());
  EXPECT_TRUE(removeAll(tmp.sub("missing")));
  EXPECT_FALSE(removeAll(""));
  EXPECT_FALSE(removeAll("/"));
}

TEST(FileUtilTest, RemoveAllTakesReadOnlyFoldersOfItsOwn) {
  SharedTempDir tmp;
  std::string mine = tmp.ownedFolder("mine");
  EXPECT_TRUE(asUnprivileged([&] {
    return makeDirectories(mine + "/ro/inner", 0700) &&
           writeFileAtomically(mine + "/ro/inner/file", "x") && setMode(mine + "/ro/inner", 0500) &&
           setMode(mine + "/ro", 0500) && removeAll(mine + "/ro");
  }));
  EXPECT_FALSE(exists(mine + "/ro"));
}

TEST(FileUtilTest, ListDirectorySortsBytewise) {
  testing::TestTempDir tmp;
  for (const char* name : {"b", "B", "a", ".hidden", "\xC3\xA9", "10", "9"})
    tmp.writeFile(name, "");
  ASSERT_TRUE(makeDirectories(tmp.sub("dir")));
  EXPECT_EQ(listDirectory(tmp.path()),
            (std::vector<std::string>{".hidden", "10", "9", "B", "a", "b", "dir", "\xC3\xA9"}));
  EXPECT_EQ(listDirectory(tmp.sub("dir")), std::vector<std::string>{});
  EXPECT_EQ(listDirectory(tmp.sub("missing")), std::nullopt);
  EXPECT_EQ(listDirectory(tmp.sub("a")), std::nullopt);
}

TEST(FileUtilTest, PredicatesLookAtThePathItself) {
  testing::TestTempDir tmp;
  tmp.writeFile("folder/file", "12345");
  ::symlink("folder", tmp.sub("to-folder").c_str());
  ::symlink("gone", tmp.sub("dangling").c_str());
  struct Case {
    const char* name;
    bool exists, isDirectory, isSymlink;
    std::optional<int64_t> size;
  };
  const Case cases[] = {
      {"folder/file", true, false, false, 5},
      {"folder", true, true, false, fileSize(tmp.sub("folder"))},
      {"to-folder", true, false, true, 6},  // the link's own size: its text
      {"dangling", true, false, true, 4},
      {"missing", false, false, false, std::nullopt},
      {"folder/file/below", false, false, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string p = tmp.sub(c.name);
    EXPECT_EQ(exists(p), c.exists);
    EXPECT_EQ(isDirectory(p), c.isDirectory);
    EXPECT_EQ(isSymlink(p), c.isSymlink);
    EXPECT_EQ(fileSize(p), c.size);
  }
}

TEST(FileUtilTest, FailuresReachTheTraceSink) {
  testing::TestTempDir tmp;
  std::mutex linesMutex;
  std::vector<std::string> lines;
  // The sink writes a file of its own, as the process logger does; its
  // failure traces again from inside the sink, which must not deadlock.
  setTraceSink([&](std::string_view line) {
    {
      std::lock_guard<std::mutex> lock(linesMutex);
      lines.emplace_back(line);
    }
    appendToFile(tmp.sub("no-such-folder/trace.log"), std::string(line));
  });
  EXPECT_FALSE(readFile(tmp.sub("folder-missing/") + "x").has_value()) << "missing: quiet";
  EXPECT_FALSE(appendToFile(tmp.sub("nowhere/log"), "x"));
  setTraceSink({});
  EXPECT_FALSE(appendToFile(tmp.sub("nowhere/after"), "x"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(tmp.sub("nowhere/log")), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("errno 2"), std::string::npos) << lines[0];
}

TEST(FileUtilTest, TraceLinesWithoutASinkStayOneLineOnStandardError) {
  setTraceSink({});
  ::testing::internal::CaptureStderr();
  traceLine("file inj\n12-07-2026 00:00:00 : session: forged\x1b[2J\t.");
  traceLine("ends with its own newline\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "file inj\\n12-07-2026 00:00:00 : session: forged\\x1b[2J\\t.\n"
            "ends with its own newline\n");
}

// Sinks own what they capture; swapping one out while other threads trace
// must never call into a destroyed sink (AddressSanitizer watches).
TEST(FileUtilTest, TraceSinkCanBeSwappedWhileOthersTrace) {
  std::atomic<int> delivered{0};
  std::atomic<bool> stop{false};
  auto install = [&] {
    auto owned = std::make_shared<std::string>("captured");
    setTraceSink([owned, &delivered](std::string_view) {
      if (owned->size() == 8)
        ++delivered;
    });
  };
  install();
  std::vector<std::thread> tracers;
  for (int t = 0; t < 3; ++t)
    tracers.emplace_back([&] {
      while (!stop)
        traceLine("busy");
    });
  for (int i = 0; i < 100000 && delivered < 5000; ++i)
    install();
  stop = true;
  for (std::thread& t : tracers)
    t.join();
  setTraceSink({});
  EXPECT_GE(delivered, 5000);
}

TEST(FileUtilTest, PathPieces) {
  struct Join {
    const char *base, *name, *expected;
  };
  for (const Join& c : {Join{"a/b", "c", "a/b/c"}, Join{"a/b/", "c", "a/b/c"},
                        Join{"a/b", "/c", "a/b/c"}, Join{"/", "x", "/x"}, Join{"", "c", "c"},
                        Join{"a", "", "a"}, Join{"a//", "//c/d", "a/c/d"}})
    EXPECT_EQ(joinPath(c.base, c.name), c.expected) << c.base << " + " << c.name;

  struct Split {
    const char *path, *last, *parent;
  };
  for (const Split& c : {Split{"a/b/c", "c", "a/b"}, Split{"/x", "x", "/"}, Split{"x", "x", ""},
                         Split{"a/b/", "", "a/b"}, Split{"/", "", "/"}, Split{"", "", ""}}) {
    EXPECT_EQ(lastComponent(c.path), c.last) << c.path;
    EXPECT_EQ(parentPath(c.path), c.parent) << c.path;
  }
}

}  // namespace
}  // namespace ulmora::fileutil
