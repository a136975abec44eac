#include "foundation/QLBackupProgressLogger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestTempDir.h"
#include "platform/FileUtil.h"
#include "platform/ManualClock.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

using ::ulmora::testing::TestTempDir;

// 2024-03-05 07:08:09 UTC
const Clock::WallTime kWall = Clock::WallTime(std::chrono::seconds(1709622489));
const std::string kStamp = "03-05-2024 07:08:09";

std::string contents(const std::string& path) { return fileutil::readFile(path).value_or(""); }

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

// One way into a logger: how a line is written and which file it ends up in.
struct Writer {
  const char* name;
  std::function<void(QLBackupProgressLogger&, std::string_view, bool)> write;
  std::function<std::string(const QLBackupProgressLogger&)> file;
  size_t threshold;
  bool dated;
  bool truncated;  // cut to its tail once it grows too large
};

class LoggerTest : public ::testing::Test {
 protected:
  LoggerTest() : clock_(kWall) {}

  std::unique_ptr<QLBackupProgressLogger> makeLogger() {
    auto logger = std::make_unique<QLBackupProgressLogger>(&clock_);
    logger->setLogFolder(dir_.sub("Logs"));
    return logger;
  }

  std::string sessionFile() const { return dir_.sub("Sessions/ 03-05-2024_sync.sync-up"); }

  std::vector<Writer> allWriters() const {
    using L = QLBackupProgressLogger;
    std::string session = sessionFile();
    auto sessionPath = [session](const L&) { return session; };
    return {
        {"daemon trace", [](L& l, std::string_view m, bool f) { l.logDaemonTrace(m, f); },
         [](const L& l) { return l.daemonTracePath(); }, L::kDaemonTraceThreshold, true, true},
        {"interactive trace", [](L& l, std::string_view m, bool f) { l.logInteractiveTrace(m, f); },
         [](const L& l) { return l.interactiveTracePath(); }, L::kInteractiveTraceThreshold, true, false},
        {"interactive session",
         [](L& l, std::string_view m, bool f) { l.logSyncInteractiveSession(m, f); },
         [](const L& l) { return l.interactiveSessionLogPath(); }, L::kSessionThreshold, true, true},
        {"session",
         [session](L& l, std::string_view m, bool f) { l.writeSessionLog(m, session, f); },
         sessionPath, L::kSessionThreshold, true, false},
        {"session without time stamp",
         [session](L& l, std::string_view m, bool f) {
           l.writeSessionLogWithoutTimeStamp(m, session, f);
         },
         sessionPath, L::kSessionThreshold, false, false},
    };
  }

  ManualClock clock_;
  TestTempDir dir_;
};

TEST_F(LoggerTest, EveryEntryPointWritesItsLineFormMaskingSecretsAndSkippingEmptyOnes) {
  registerSecretValue("hunter2");
  for (const Writer& w : allWriters()) {
    SCOPED_TRACE(w.name);
    auto logger = makeLogger();
    std::string file = w.file(*logger);
    w.write(*logger, "", true);
    logger->flushAll();
    EXPECT_FALSE(fileutil::exists(file)) << "an empty message was written";
    // A forged line after a newline in a file name stays inside this one.
    w.write(*logger, "sent hunter2 for /d/inj\n12-07-2026 00:00:00 : session: x\x1b[2J", true);
    if (w.dated) {
      EXPECT_EQ(contents(file),
                kStamp + " : sent **** for /d/inj\\n12-07-2026 00:00:00 : session: x\\x1b[2J \n");
    } else {
      // A block the agent lays out itself keeps its lines.
      EXPECT_EQ(contents(file), "sent **** for /d/inj\n12-07-2026 00:00:00 : session: x\\x1b[2J\n");
    }
    EXPECT_EQ(modeOf(file), 0600u);
    fileutil::removeAll(file);
    logger->setLogFolder("");
  }
}

TEST_F(LoggerTest, LinesStayBufferedUntilTheThresholdIsReached) {
  const std::string message(100, 'm');
  const size_t lineSize = kStamp.size() + 3 + message.size() + 2;
  for (const Writer& w : allWriters()) {
    SCOPED_TRACE(w.name);
    auto logger = makeLogger();
    std::string file = w.file(*logger);
    size_t size = w.dated ? lineSize : message.size() + 1;
    size_t linesToFill = (w.threshold + size - 1) / size;
    for (size_t i = 0; i + 1 < linesToFill; ++i) w.write(*logger, message, false);
    EXPECT_FALSE(fileutil::exists(file)) << "written before the threshold";
    w.write(*logger, message, false);
    EXPECT_EQ(linesOf(contents(file)).size(), linesToFill);
    // The buffer starts over: the next line waits again.
    w.write(*logger, "later", false);
    EXPECT_EQ(linesOf(contents(file)).size(), linesToFill);
    logger->flushAll();
    EXPECT_EQ(linesOf(contents(file)).size(), linesToFill + 1);
    logger->setLogFolder("");
    logger.reset();
    fileutil::removeAll(file);
  }
}

TEST_F(LoggerTest, DestructionWritesWhatIsStillBuffered) {
  std::string file = dir_.sub("on-destruction.log");
  {
    QLBackupProgressLogger logger(&clock_);
    logger.writeSessionLog("last words", file, false);
    EXPECT_FALSE(fileutil::exists(file));
  }
  EXPECT_EQ(contents(file), kStamp + " : last words \n");
}

TEST_F(LoggerTest, LargeLogsAreCutToTheirTailAtALineStart) {
  constexpr size_t kLine = 64;
  // A message that makes the logged line exactly kLine bytes long.
  const std::string aligned(kLine - kStamp.size() - 5, 'a');
  struct Case {
    const char* name;
    size_t prefillLines;
    std::string message;
    bool expectCut;
  };
  const size_t limitLines = QLBackupProgressLogger::kTruncateAbove / kLine;
  const std::vector<Case> cases = {
      {"exactly at the limit is kept", limitLines - 1, aligned, false},
      {"one line over, cut on a line boundary", limitLines, aligned, true},
      {"over, cut inside a line", limitLines + 3, "last", true},
      {"far over", 2 * limitLines, "last", true},
  };
  for (const Writer& w : allWriters()) {
    if (!w.dated) continue;  // its lines have another length
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(w.name) + ": " + c.name);
      auto logger = makeLogger();
      std::string path = w.file(*logger);
      std::string before;
      for (size_t i = 0; i < c.prefillLines; ++i) {
        char number[24];
        snprintf(number, sizeof number, "%08zu", i);
        before += "line " + std::string(number) + std::string(kLine - 14, '.') + "\n";
      }
      ASSERT_TRUE(fileutil::makeDirectories(fileutil::parentPath(path)));
      ASSERT_TRUE(fileutil::writeFileAtomically(path, before));
      w.write(*logger, c.message, true);
      std::string whole = before + kStamp + " : " + c.message + " \n";
      std::string after = contents(path);
      if (!c.expectCut || !w.truncated) {
        EXPECT_EQ(after.size(), whole.size());
      } else {
        EXPECT_LE(after.size(), static_cast<size_t>(QLBackupProgressLogger::kTruncatedSize));
        EXPECT_GT(after.size(), QLBackupProgressLogger::kTruncatedSize - kLine);
        ASSERT_GE(whole.size(), after.size());
        size_t start = whole.size() - after.size();
        EXPECT_EQ(whole.substr(start), after) << "not the tail";
        EXPECT_EQ(whole[start - 1], '\n') << "cut inside a line";
        EXPECT_EQ(modeOf(path), 0600u);
        if (c.message == aligned) {
          EXPECT_EQ(after.size(), static_cast<size_t>(QLBackupProgressLogger::kTruncatedSize));
        }
      }
      logger->setLogFolder("");
      fileutil::removeAll(path);
    }
  }
}

TEST_F(LoggerTest, ConcurrentLoggingLosesAndReordersNoLine) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 400;
  auto logger = makeLogger();
  QLBackupProgressLogger sessionLogger(&clock_);
  std::string sessionPath = sessionFile();
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLinesEach; ++i) {
          std::string message = "t" + std::to_string(t) + " n" + std::to_string(i);
          bool flush = i % 50 == 0;
          logger->logDaemonTrace(message, flush);
          sessionLogger.writeSessionLog(message, sessionPath, flush);
          if (i % 97 == 0) traceLine(message + " platform");
        }
      });
    }
  }
  logger->flushAll();
  sessionLogger.flushAll();

  for (const std::string& path : {logger->daemonTracePath(), sessionPath}) {
    SCOPED_TRACE(path);
    std::vector<int> next(kThreads, 0);
    int plain = 0;
    for (const std::string& line : linesOf(contents(path))) {
      int t = -1, i = -1;
      char tail[32] = {};
      ASSERT_EQ(sscanf(line.c_str(), "%*s %*s : t%d n%d%31[^\n]", &t, &i, tail), 3) << line;
      if (std::string(tail) == " platform ") continue;
      ASSERT_EQ(std::string(tail), " ") << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      EXPECT_EQ(i, next[t]) << "lost or reordered: " << line;
      next[t] = i + 1;
      ++plain;
    }
    EXPECT_EQ(plain, kThreads * kLinesEach);
  }
  logger->setLogFolder("");
}

TEST_F(LoggerTest, SessionLinesReachTheFileTheyWereLoggedFor) {
  QLBackupProgressLogger logger(&clock_);
  std::string first = dir_.sub("Sessions/first.log");
  std::string second = dir_.sub("Sessions/second.log");

  logger.writeSessionLogWithoutTimeStamp("header of first", first, false);
  logger.writeSessionLog("item of first", first, false);
  logger.writeSessionLog("item of second", second, false);
  EXPECT_EQ(contents(first), "header of first\n" + kStamp + " : item of first \n");
  EXPECT_FALSE(fileutil::exists(second)) << "the switch flushes only the old file";

  logger.writeSessionLog("back to first", first, true);
  EXPECT_EQ(contents(second), kStamp + " : item of second \n");
  EXPECT_EQ(linesOf(contents(first)).back(), kStamp + " : back to first ");
  EXPECT_EQ(modeOf(dir_.sub("Sessions")), 0700u);
}

TEST_F(LoggerTest, LinesThatCannotReachAFileGoToStandardError) {
  struct Case {
    const char* name;
    std::function<void(QLBackupProgressLogger&)> setUp;
  };
  const std::vector<Case> cases = {
      {"no folder set", [](QLBackupProgressLogger&) {}},
      {"log path is a folder",
       [this](QLBackupProgressLogger& l) {
         l.setLogFolder(dir_.sub("Blocked"));
         fileutil::makeDirectories(l.daemonTracePath());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QLBackupProgressLogger logger(&clock_);
    c.setUp(logger);
    ::testing::internal::CaptureStderr();
    logger.logDaemonTrace("must not vanish", true);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, ::testing::HasSubstr(kStamp + " : must not vanish \n"));
    logger.setLogFolder("");
  }
}

TEST_F(LoggerTest, PlatformTraceLinesLandInTheDaemonTrace) {
  auto logger = makeLogger();
  logger->logDaemonTrace("buffered first", false);
  registerSecretValue("platform-secret");
  traceLine("from the platform password=platform-secret");
  EXPECT_EQ(contents(logger->daemonTracePath()),
            kStamp + " : buffered first \n" + kStamp + " : from the platform password=**** \n");
  EXPECT_EQ(modeOf(dir_.sub("Logs")), 0700u);

  logger->setLogFolder("");
  ::testing::internal::CaptureStderr();
  traceLine("after reset");
  EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::HasSubstr("after reset"));
  EXPECT_THAT(contents(logger->daemonTracePath()), ::testing::Not(::testing::HasSubstr("reset")));
}

TEST_F(LoggerTest, ALineReachesItsFileWhenTheProcessIsOutOfHandles) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    auto logger = makeLogger();
    // The undefined-behaviour checker reads /proc on its first look at a
    // class; let it do that while it still can.
    (void)logger->timeStamp();
    rlimit limit{64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
    logger->logDaemonTrace("out of handles", true);
    logger->logDaemonTrace("and still", true);  // the spare came back
    for (int fd : filler) ::close(fd);
    const std::string text = contents(logger->daemonTracePath());
    _exit(text.find("out of handles") != std::string::npos &&
                  text.find("and still") != std::string::npos
              ? 0
              : 4);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(RedactSecrets, MasksTheRegisteredValuesAndLeavesFreeTextAlone) {
  registerSecretValue("s3cr3t-pw");
  registerSecretValue("s3cr3t-pw-and-more");  // contains the other: masked whole
  registerSecretValue("abc");                 // too short to mask safely
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"File: /docs/token=abc.txt", "File: /docs/token=abc.txt"},
      {"uploaded /home/u/password=x.txt", "uploaded /home/u/password=x.txt"},
      {"RSYNC_PASSWORD=s3cr3t-pw rsync -a", "RSYNC_PASSWORD=**** rsync -a"},
      {"x s3cr3t-pws3cr3t-pw y", "x ******** y"},
      {"key s3cr3t-pw-and-more.", "key ****."},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(redactSecrets(c.in), c.out) << c.in;
}

TEST(RedactSecrets, MasksSecretFieldsOfPropertyListsAndOptions) {
  PropertyList::Dict inner{{"EncPvtPassword", "k"}, {"Port", "443"}};
  PropertyList details(PropertyList::Dict{{"Password", "p"},
                                          {"UserName", "bob"},
                                          {"Nested", PropertyList(PropertyList::Array{inner})},
                                          {"privateKey", "k2"},
                                          {"ProxyPassword", ""}});
  PropertyList masked = withSecretFieldsMasked(details);
  EXPECT_EQ(masked.stringFor("Password"), "****");
  EXPECT_EQ(masked.stringFor("UserName"), "bob");
  EXPECT_EQ(masked.stringFor("privateKey"), "****");
  EXPECT_EQ(masked.stringFor("ProxyPassword"), "****");
  const PropertyList& nested = masked.find("Nested")->asArray()->front();
  EXPECT_EQ(nested.stringFor("EncPvtPassword"), "****");
  EXPECT_EQ(nested.stringFor("Port"), "443");

  const std::vector<std::string> options = {"-a", "--password-file=/tmp/pw", "--password",
                                            "two words", "--pvt-key=/k", "--port=443",
                                            "token=abc.txt"};
  EXPECT_EQ(withSecretOptionsMasked(options),
            (std::vector<std::string>{"-a", "--password-file=****", "--password", "****",
                                      "--pvt-key=****", "--port=443", "token=abc.txt"}));
}

TEST(EscapedForLog, ControlCharactersBecomeVisibleEscapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"plain /a b/c\\d \"q\"", "plain /a b/c\\d \"q\""},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"\x1b[31m\x7f", "\\x1b[31m\\x7f"},
      {"caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},  // bytes above ASCII are kept
  };
  for (const Case& c : cases) EXPECT_EQ(escapedForLog(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace ulmora
