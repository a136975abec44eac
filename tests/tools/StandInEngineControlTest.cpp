// How the stand-in engine obeys the driver (cancel, throttle, set files) and
// acts out the service's failures.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>

#include "EngineHarness.h"

namespace ulmora::testing {
namespace {

using ::testing::HasSubstr;
using Steady = std::chrono::steady_clock;

class StandInEngineControlTest : public EngineHarness {
 protected:
  bool existsAt(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
  }
  size_t entriesIn(const std::string& folder) {
    size_t count = 0;
    if (DIR* dir = opendir(folder.c_str())) {
      while (dirent* e = readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++count;
      closedir(dir);
    }
    return count;
  }
};

TEST_F(StandInEngineControlTest, CancelStopsAnUploadMidFileAndLeavesNothingBehind) {
  writeLocal("/big.bin", std::string(8 * 1024 * 1024, 'x'));
  writeControl("QLThrottle", "1000000");
  Steady::time_point cancelledAt;
  EngineResult result = upload({"/big.bin"}, [&](const std::vector<std::string>& line) {
    if (line[0] == "ALIVE" && cancelledAt == Steady::time_point()) {
      writeControl("intCancel", "3");
      cancelledAt = Steady::now();
    }
  });
  ASSERT_NE(cancelledAt, Steady::time_point()) << result.text();
  EXPECT_LT(Steady::now() - cancelledAt, std::chrono::seconds(1));
  EXPECT_EQ(result.status, 20) << result.text();
  EXPECT_EQ(result.withKeyword("PROGRESS").size(), 0u);
  EXPECT_EQ(result.withKeyword("SUMMARY").size(), 1u);
  EXPECT_EQ(listed(0).count("/big.bin"), 0u);
  EXPECT_EQ(entriesIn(storage() + "/accounts/alice/tmp"), 0u);
}

TEST_F(StandInEngineControlTest, SigtermStopsLikeACancel) {
  writeLocal("/big.bin", std::string(4 * 1024 * 1024, 'z'));
  writeControl("QLThrottle", "1000000");
  EngineResult result = upload({"/big.bin"}, [&](const std::vector<std::string>& line) {
    if (line[0] == "ALIVE") running_.load()->kill(SIGTERM);
  });
  EXPECT_EQ(result.status, 20) << result.text();
  EXPECT_EQ(result.lines.back().at(0), "SUMMARY");
  EXPECT_EQ(entriesIn(storage() + "/accounts/alice/tmp"), 0u);
}

TEST_F(StandInEngineControlTest, CancelStopsADownloadWithoutAHalfFile) {
  writeLocal("/big.bin", std::string(8 * 1024 * 1024, 'y'));
  ASSERT_EQ(upload({"/big.bin"}).status, 0);
  std::string into = tmp_.sub("into");
  mkdir(into.c_str(), 0700);
  writeControl("QLThrottle", "1000000");
  EngineResult result = download({"/big.bin"}, into, [&](const std::vector<std::string>& line) {
    if (line[0] == "ALIVE") writeControl("intCancel", "3");
  });
  EXPECT_EQ(result.status, 20) << result.text();
  EXPECT_EQ(entriesIn(into), 0u);  // neither the file nor its temporary
}

TEST_F(StandInEngineControlTest, AfterACancelDoneMeansOnTheServerAndNothingElseIs) {
  std::vector<std::string> paths;
  for (int i = 0; i < 2000; ++i) {
    paths.push_back("/many/f" + std::to_string(i));
    writeLocal(paths.back(), std::to_string(i));
  }
  std::vector<std::string> args{"--work-dir=" + work()};
  for (size_t first = 0; first < paths.size(); first += 950) {
    std::vector<std::string> part(paths.begin() + first,
                                  paths.begin() + std::min(paths.size(), first + 950));
    args.push_back("--files-from=" + writeSet(part, local()));
  }
  args.push_back(local());
  args.push_back(remote());
  std::set<std::string> reported;
  EngineResult result = run(args, [&](const std::vector<std::string>& line) {
    if (line[0] != "PROGRESS") return;
    if (reported.empty()) writeControl("intCancel", "3");
    reported.insert(line.at(10));
  });
  EXPECT_EQ(result.status, 20) << result.text();
  std::set<std::string> stored;
  for (const auto& [name, record] : listed(0))
    if (name.back() != '/') stored.insert(name);
  EXPECT_EQ(stored, reported);
  EXPECT_LT(reported.size(), paths.size());
}

TEST_F(StandInEngineControlTest, ThrottleHoldsUntilTheFileChangesThenPaces) {
  writeLocal("/paced.bin", std::string(400000, 'p'));
  writeControl("QLThrottle", "-1");
  Steady::time_point released;
  std::vector<std::string> order;
  EngineResult result = upload({"/paced.bin"}, [&](const std::vector<std::string>& line) {
    if (line[0] != "ALIVE") order.push_back(line[0] + (line[0] == "HOLD" ? line.at(1) : ""));
    if (line[0] == "HOLD" && line.at(1) == "1") {
      EXPECT_EQ(listed(0).count("/paced.bin"), 0u);  // nothing moves while held
      writeControl("QLThrottle", "200000");
      released = Steady::now();
    }
  });
  ASSERT_EQ(result.status, 0) << result.text();
  EXPECT_EQ(order, (std::vector<std::string>{"START", "HOLD1", "HOLD0", "PROGRESS", "SUMMARY"}));
  // 400 kB at 200 kB/s: the last chunk may go out unpaced, no more.
  EXPECT_GE(Steady::now() - released, std::chrono::milliseconds(1500));
}

TEST_F(StandInEngineControlTest, EachInjectedFailureGivesTheServiceTextAndStatus) {
  writeLocal("/a.txt", "a");
  writeLocal("/b.txt", "b");
  struct Case {
    std::string fault;
    int status;
    std::string text;
  } cases[] = {
      {"maintenance", 41, "@ERROR: account is under maintenance"},
      {"blocked", 42, "@ERROR: account has been blocked"},
      {"account-cancelled", 43, "@ERROR: account has been cancelled"},
      {"auth-failed", 5, "@ERROR: auth failed on module quellar"},
      {"password-mismatch", 5, "@ERROR: password mismatch"},
      {"protocol-mismatch", 2, "@ERROR: protocol version mismatch"},
      {"connect-fail", 10, "umkvt: failed to connect"},
      {"umkvt-error timeout", 1, "umkvt error: timeout"},
      {"over-quota", 40, "@ERROR: quota exceeded"},
      {"quota-total 1", 40, "@ERROR: quota exceeded"},
      {"reset-after 1", 12, "reset by peer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    writeFaults(c.fault + "\n");
    EngineResult result = upload({"/a.txt", "/b.txt"});
    EXPECT_EQ(result.status, c.status) << result.text();
    EXPECT_THAT(result.err, HasSubstr(c.text));
    auto fatal = result.withKeyword("FATAL");
    ASSERT_EQ(fatal.size(), 1u);
    EXPECT_EQ(fatal[0].at(1), std::to_string(c.status));
    EXPECT_THAT(fatal[0].at(2), HasSubstr(c.text));
    EXPECT_EQ(result.lines.back().at(0), "SUMMARY");
    EXPECT_EQ(result.lines.back().at(2), std::to_string(c.status));
  }
}

TEST_F(StandInEngineControlTest, InjectedMissingPathFailsOnlyThatFile) {
  writeLocal("/a.txt", "a");
  writeLocal("/b.txt", "b");
  writeFaults("missing /a.txt\n");
  EngineResult up = upload({"/a.txt", "/b.txt"});
  EXPECT_EQ(up.status, 23);
  ASSERT_EQ(up.withKeyword("IOERROR").size(), 1u) << up.text();
  EXPECT_EQ(up.withKeyword("IOERROR")[0].at(1), "/a.txt");
  EXPECT_THAT(up.withKeyword("IOERROR")[0].at(2), HasSubstr("Reason: No such file or directory"));
  EXPECT_EQ(up.withKeyword("PROGRESS").size(), 1u);

  writeFaults("missing /b.txt\n");
  std::string into = tmp_.sub("into");
  mkdir(into.c_str(), 0700);
  EngineResult down = download({"/b.txt"}, into);
  EXPECT_EQ(down.status, 23);
  EXPECT_THAT(down.withKeyword("SFERROR")[0].at(2), HasSubstr("Reason: No such file or directory"));
}

TEST_F(StandInEngineControlTest, QuotaUnavailableIsOnStdoutOnly) {
  writeFaults("quota-unavailable\n");
  EngineResult result = run({"--get-quota", "--xml-output", remote()});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "");
  EXPECT_THAT(result.text(), HasSubstr("Unable to retrieve the quota"));
}

TEST_F(StandInEngineControlTest, StallGoesSilentUntilCancelledAndCrashEndsWithoutSummary) {
  writeLocal("/a.txt", "a");
  writeLocal("/b.txt", "b");
  writeFaults("stall-after 1\n");
  EngineResult stalled = upload({"/a.txt", "/b.txt"}, [&](const std::vector<std::string>& line) {
    if (line[0] == "PROGRESS") writeControl("intCancel", "3");
  });
  EXPECT_EQ(stalled.status, 20);
  EXPECT_EQ(stalled.withKeyword("PROGRESS").size(), 1u);

  writeControl("intCancel", "0");
  writeFaults("crash-after 1\n");
  EngineResult crashed = upload({"/a.txt", "/b.txt"});
  EXPECT_EQ(crashed.signal, SIGKILL);
  EXPECT_EQ(crashed.withKeyword("SUMMARY").size(), 0u);
}

TEST_F(StandInEngineControlTest, SetPathsThatLeaveTheRootAreRefused) {
  writeLocal("/ok.txt", "fine");
  tmp_.writeFile("secret.txt", "outside the root");
  std::string nul = std::string("/ok") + '\0' + ".txt";
  for (const std::string& bad : {std::string("/../secret.txt"), std::string("a/../../secret.txt"),
                                 std::string(".."), std::string("/./ok.txt"), nul,
                                 std::string("/")}) {
    SCOPED_TRACE(bad);
    EngineResult up = upload({bad, "/ok.txt"});
    EXPECT_EQ(up.status, 23) << up.text();
    ASSERT_EQ(up.withKeyword("SFERROR").size(), 1u);
    EXPECT_THAT(up.withKeyword("SFERROR")[0].at(2), HasSubstr("Reason: Invalid argument"));
    EXPECT_EQ(up.withKeyword("PROGRESS").size(), 1u);

    EngineResult down = download({bad}, local());
    EXPECT_EQ(down.status, 23);
  }
  EXPECT_EQ(listed(0).size(), 1u);
  EXPECT_EQ(readWholeFile(tmp_.sub("secret.txt")), "outside the root");
  EXPECT_EQ(run({"--get-quota", remote("/../x")}).status, 1);
}

TEST_F(StandInEngineControlTest, LinksInsideTheRootNeverLeadOutOfIt) {
  tmp_.writeFile("outside/secret.txt", "private");
  ASSERT_EQ(symlink(tmp_.sub("outside").c_str(), (local() + "/link").c_str()), 0);
  ASSERT_EQ(symlink(tmp_.sub("outside/secret.txt").c_str(), (local() + "/file-link").c_str()), 0);
  EngineResult up = upload({"/link/secret.txt", "/file-link", "/link/"});
  EXPECT_EQ(up.status, 23) << up.text();
  EXPECT_EQ(up.withKeyword("PROGRESS").size(), 0u);
  EXPECT_EQ(listed(0).count("/link/secret.txt"), 0u);

  // A download into the same root must not write through the link either.
  std::string other = tmp_.sub("other");
  mkdir(other.c_str(), 0700);
  tmp_.writeFile("other/link/secret.txt", "server copy");
  std::string set = writeSet({other, "/link/secret.txt"}, "");
  ASSERT_EQ(run({"--files-from=" + set, other, remote()}).status, 0);
  EngineResult down = download({"/link/secret.txt"}, local());
  EXPECT_EQ(down.status, 23) << down.text();
  EXPECT_EQ(readWholeFile(tmp_.sub("outside/secret.txt")), "private");
}

TEST_F(StandInEngineControlTest, LinksInsideTheStorageAreNeverFollowed) {
  tmp_.writeFile("outside/hostname", "not a blob");
  writeLocal("/a.txt", "server bytes");
  ASSERT_EQ(upload({"/a.txt"}).status, 0);
  const std::string account = storage() + "/accounts/alice";
  const std::string blobs = account + "/blobs";
  std::string blob;
  if (DIR* dir = opendir(blobs.c_str())) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') blob = blobs + "/" + e->d_name;
    closedir(dir);
  }
  ASSERT_FALSE(blob.empty());

  // A blob swapped for a link to another file is not served.
  ASSERT_EQ(unlink(blob.c_str()), 0);
  ASSERT_EQ(symlink(tmp_.sub("outside/hostname").c_str(), blob.c_str()), 0);
  std::string other = tmp_.sub("other");
  mkdir(other.c_str(), 0700);
  EngineResult down = download({"/a.txt"}, other);
  EXPECT_EQ(down.status, 23) << down.text();
  ASSERT_EQ(down.withKeyword("SFERROR").size(), 1u);
  EXPECT_FALSE(existsAt(other + "/a.txt"));

  // A planted account table that is a link admits nobody.
  tmp_.writeFile("outside/passwd", "alice:whatever\n");
  ASSERT_EQ(symlink(tmp_.sub("outside/passwd").c_str(), (storage() + "/passwd").c_str()), 0);
  EXPECT_NE(run({"--get-quota", remote()}).status, 0);
  ASSERT_EQ(unlink((storage() + "/passwd").c_str()), 0);

  // The account's own folders must be folders, not links to elsewhere.
  ASSERT_EQ(rename(blobs.c_str(), tmp_.sub("outside/blobs").c_str()), 0);
  ASSERT_EQ(symlink(tmp_.sub("outside/blobs").c_str(), blobs.c_str()), 0);
  EngineResult linked = run({"--get-quota", remote()});
  EXPECT_EQ(linked.status, 1);
  EXPECT_THAT(linked.err, HasSubstr("storage:"));
}

TEST_F(StandInEngineControlTest, OverlongSetLinesAreRefusedAndNotEchoedWhole) {
  writeLocal("/ok.txt", "fine");
  const std::string longLine = "/" + std::string(200000, 'x');
  EngineResult up = upload({longLine, "/ok.txt"});
  EXPECT_EQ(up.status, 23) << up.err;
  ASSERT_EQ(up.withKeyword("SFERROR").size(), 1u);
  EXPECT_LT(up.withKeyword("SFERROR")[0].at(1).size(), 300u);
  EXPECT_EQ(up.withKeyword("PROGRESS").size(), 1u);

  // More bytes than 950 of the longest paths can take fails the run at once.
  std::vector<std::string> huge(951, "/" + std::string(4095, 'y'));
  EngineResult tooLarge = run({"--files-from=" + writeSet(huge, local()), local(), remote()});
  EXPECT_EQ(tooLarge.status, 1);
  EXPECT_THAT(tooLarge.err, HasSubstr("is larger than"));
}

TEST_F(StandInEngineControlTest, MalformedSetFilesFailTheWholeRun) {
  std::vector<std::string> many;
  for (int i = 0; i < 951; ++i) many.push_back("/f" + std::to_string(i));
  struct Case {
    std::string name;
    std::vector<std::string> args;
  } cases[] = {
      {"951 paths", {"--files-from=" + writeSet(many, local()), local(), remote()}},
      {"root line names another folder",
       {"--files-from=" + writeSet({"/a"}, tmp_.sub("work")), local(), remote()}},
      {"odd rename set", {"--rename", "--files-from=" + writeSet({"/a"}, ""), remote()}},
      {"unknown module", {"--files-from=" + writeSet({"/a"}, local()), local(),
                          "alice@" + storage() + "::other/"}},
      {"unknown option", {"--frobnicate", "--get-quota", remote()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EngineResult result = run(c.args);
    EXPECT_EQ(result.status, 1) << result.text();
    EXPECT_THAT(result.err, HasSubstr("umkvt error:"));
    EXPECT_EQ(result.withKeyword("PROGRESS").size(), 0u);
  }
  many.pop_back();
  EXPECT_EQ(run({"--files-from=" + writeSet(many, local()), local(), remote()}).status, 23);
}

TEST_F(StandInEngineControlTest, MissingStorageIsAConnectFailure) {
  EngineResult result =
      run({"--get-quota", "alice@" + tmp_.sub("nowhere") + "::quellar/"});
  EXPECT_EQ(result.status, 10);
  EXPECT_THAT(result.err, HasSubstr("umkvt: failed to connect"));
}

}  // namespace
}  // namespace ulmora::testing
