#include "platform/ProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestTempDir.h"
#include "WaitUntil.h"

namespace ulmora {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

ProcessOptions command(std::string executable, std::vector<std::string> arguments = {}) {
  ProcessOptions options;
  options.executable = std::move(executable);
  options.arguments = std::move(arguments);
  // A hung child fails the test instead of hanging the suite.
  options.timeout = 60s;
  return options;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Polls a condition that another process brings about (a signal landing).
bool eventually(const std::function<bool()>& condition) {
  return testing::waitUntil(condition, 10s, 5ms);
}

std::string procField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) {
      auto value = line.substr(field.size() + 1);
      return value.substr(value.find_first_not_of(" \t"));
    }
  }
  return "";
}

// Processes (from /proc) for which `matches` holds.
std::vector<pid_t> findProcesses(const std::function<bool(pid_t)>& matches) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    pid_t pid = std::atoi(entry.path().filename().c_str());
    if (pid > 0 && matches(pid)) found.push_back(pid);
  }
  return found;
}

std::string cmdlineOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline");
  // A process that exits while it is read fails the read with ESRCH, which
  // the stream buffer throws past a plain iterator.
  try {
    return std::string(std::istreambuf_iterator<char>(file), {});
  } catch (const std::ios_base::failure&) {
    return "";
  }
}

bool goneOrZombie(pid_t pid) {
  std::string state = procField(pid, "State");
  return state.empty() || state[0] == 'Z';
}

struct ExitCase {
  const char* name;
  ProcessOptions options;
  int exitStatus;
};

TEST(ProcessRunnerTest, ReportsExitStatus) {
  const ExitCase cases[] = {
      {"true", command("/bin/true"), 0},
      {"false", command("/bin/false"), 1},
      {"ls of a missing file", command("/bin/ls", {"/nonexistent/ulmora"}), 2},
      {"env running a non-executable", command("/usr/bin/env", {"/etc/passwd"}), 126},
      {"env running a missing program", command("/usr/bin/env", {"/nonexistent/prog"}), 127},
  };
  for (const auto& c : cases) {
    ProcessResult result = ProcessRunner::run(c.options);
    EXPECT_TRUE(result.started) << c.name;
    EXPECT_GT(result.pid, 0) << c.name;
    EXPECT_EQ(result.exitStatus, c.exitStatus) << c.name;
    EXPECT_EQ(result.termSignal, 0) << c.name;
    EXPECT_FALSE(result.timedOut) << c.name;
    EXPECT_EQ(result.succeeded(), c.exitStatus == 0) << c.name;
  }
}

TEST(ProcessRunnerTest, ArgumentsArriveLiterally) {
  const std::vector<std::string> arguments = {
      "plain",        "two  spaces", "\"double quoted\"", "'single quoted'", "$(touch /tmp/x)",
      "`id`",         "a; b",        "x && y | z",        "*",               "$HOME",
      "back\\slash",  "%s %d",       "",                  "trailing ",       "caf\xc3\xa9",
  };
  std::vector<std::string> printfArguments = {"<%s>\\n"};
  printfArguments.insert(printfArguments.end(), arguments.begin(), arguments.end());
  ProcessResult result = ProcessRunner::run(command("/usr/bin/printf", printfArguments));
  ASSERT_TRUE(result.succeeded()) << result.err;
  std::vector<std::string> expected;
  for (const auto& argument : arguments) expected.push_back("<" + argument + ">");
  EXPECT_EQ(splitLines(result.out), expected);
}

TEST(ProcessRunnerTest, Environment) {
  setenv("ULMORA_INHERITED", "from-agent", 1);
  setenv("ULMORA_OVERRIDDEN", "old", 1);
  struct Case {
    const char* name;
    bool inherit;
    std::vector<std::pair<std::string, std::string>> given;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"additions keep the agent's environment",
       true,
       {{"ULMORA_ADDED", "a b=c"}, {"ULMORA_OVERRIDDEN", "new"}},
       {"ULMORA_INHERITED=from-agent", "ULMORA_ADDED=a b=c", "ULMORA_OVERRIDDEN=new"},
       {"ULMORA_OVERRIDDEN=old"}},
      {"the last value given for a name wins",
       true,
       {{"ULMORA_TWICE", "1"}, {"ULMORA_TWICE", "2"}},
       {"ULMORA_TWICE=2"},
       {"ULMORA_TWICE=1"}},
  };
  for (const auto& c : cases) {
    auto options = command("/usr/bin/env");
    options.inheritEnvironment = c.inherit;
    options.environment = c.given;
    ProcessResult result = ProcessRunner::run(options);
    ASSERT_TRUE(result.succeeded()) << c.name << ": " << result.err;
    auto lines = splitLines(result.out);
    for (const auto& entry : c.present) EXPECT_THAT(lines, ::testing::Contains(entry)) << c.name;
    for (const auto& entry : c.absent) EXPECT_THAT(lines, Not(::testing::Contains(entry))) << c.name;
  }

  auto replaced = command("/usr/bin/env");
  replaced.inheritEnvironment = false;
  replaced.environment = {{"ONLY", "this"}, {"AND", "that"}};
  ProcessResult result = ProcessRunner::run(replaced);
  ASSERT_TRUE(result.succeeded()) << result.err;
  EXPECT_THAT(splitLines(result.out), ::testing::UnorderedElementsAre("ONLY=this", "AND=that"));
  unsetenv("ULMORA_INHERITED");
  unsetenv("ULMORA_OVERRIDDEN");
}

TEST(ProcessRunnerTest, StandardInput) {
  struct Case {
    const char* name;
    std::optional<std::string> input;
    std::string expected;
  };
  const Case cases[] = {
      {"no input reads as an empty /dev/null", std::nullopt, ""},
      {"empty input closes at once", std::string(), ""},
      {"bytes arrive unchanged", std::string("line 1\nno newline\0nul", 21),
       std::string("line 1\nno newline\0nul", 21)},
  };
  for (const auto& c : cases) {
    auto options = command("/bin/cat");
    options.input = c.input;
    ProcessResult result = ProcessRunner::run(options);
    ASSERT_TRUE(result.succeeded()) << c.name << ": " << result.err;
    EXPECT_EQ(result.out, c.expected) << c.name;
  }
}

// tee copies its input to standard output and to standard error at once. A
// runner that reads one pipe to its end before the other, or writes all input
// before reading, stalls here.
TEST(ProcessRunnerTest, LargeOutputOnBothStreamsDoesNotStall) {
  std::string input;
  for (int i = 0; input.size() < 6 * 1024 * 1024; ++i) input += "line " + std::to_string(i) + "\n";
  auto options = command("/usr/bin/tee", {"/dev/stderr"});
  options.input = input;
  ProcessResult result = ProcessRunner::run(options);
  ASSERT_TRUE(result.succeeded()) << result.err.substr(0, 200);
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(result.out == input) << "stdout differs; size " << result.out.size();
  EXPECT_TRUE(result.err == input) << "stderr differs; size " << result.err.size();
}

TEST(ProcessRunnerTest, LineHandlersSeeEveryLineInOrder) {
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < 20000; ++i) {
    expected.push_back("line " + std::to_string(i) + (i % 7 == 0 ? "\r" : ""));
    input += expected.back() + "\n";
  }
  input += "\n";  // an empty line
  expected.push_back("");
  input += "last without newline";
  expected.push_back("last without newline");

  auto options = command("/usr/bin/tee", {"/dev/stderr"});
  options.input = input;
  ChildProcess child(options);
  std::vector<std::string> outLines, errLines;
  child.setStdoutLineHandler([&](std::string_view line) { outLines.emplace_back(line); });
  child.setStderrLineHandler([&](std::string_view line) { errLines.emplace_back(line); });
  ASSERT_TRUE(child.start());
  ProcessResult result = child.wait();
  EXPECT_TRUE(result.succeeded());
  EXPECT_EQ(outLines, expected);
  EXPECT_EQ(errLines, expected);
  EXPECT_TRUE(result.out.empty()) << "handled streams are not also collected";
  EXPECT_TRUE(result.err.empty());
}

TEST(ProcessRunnerTest, InputTheChildNeverReadsDoesNotKillTheAgent) {
  // /bin/true exits without reading; writing the rest raises SIGPIPE, which
  // must not reach this process even though it does not ignore the signal.
  auto options = command("/bin/true");
  options.input = std::string(8 * 1024 * 1024, 'x');
  ProcessResult result = ProcessRunner::run(options);
  EXPECT_TRUE(result.succeeded());
}

TEST(ProcessRunnerTest, FailuresToStart) {
  testing::TestTempDir dir;
  std::string notExecutable = dir.writeFile("data.txt", "not a program");
  chmod(notExecutable.c_str(), 0600);
  struct Case {
    const char* name;
    ProcessOptions options;
    int error;
  };
  auto inMissingFolder = command("/bin/true");
  inMissingFolder.workingDirectory = dir.sub("missing");
  auto nulInArgument = command("/usr/bin/printf", {std::string("a\0b", 3)});
  auto badVariable = command("/usr/bin/env");
  badVariable.environment = {{"A=B", "c"}};
  const Case cases[] = {
      {"missing executable", command(dir.sub("no-such-program")), ENOENT},
      {"file without execute permission", command(notExecutable), EACCES},
      {"folder", command(dir.path()), EACCES},
      {"missing working folder", inMissingFolder, ENOENT},
      {"NUL in an argument", nulInArgument, EINVAL},
      {"'=' in a variable name", badVariable, EINVAL},
      {"no executable", command(""), EINVAL},
  };
  for (const auto& c : cases) {
    ChildProcess child(c.options);
    EXPECT_FALSE(child.start()) << c.name;
    EXPECT_FALSE(child.isRunning()) << c.name;
    EXPECT_FALSE(child.kill(SIGTERM)) << c.name;
    ProcessResult result = child.wait();
    EXPECT_FALSE(result.started) << c.name;
    EXPECT_EQ(result.startErrno, c.error) << c.name;
    EXPECT_FALSE(result.err.empty()) << c.name;
    EXPECT_FALSE(result.succeeded()) << c.name;
  }
  ProcessResult missing = ProcessRunner::run(command(dir.sub("no-such-program")));
  EXPECT_THAT(missing.err, HasSubstr("No such file or directory"));
}

TEST(ProcessRunnerTest, WorkingFolder) {
  testing::TestTempDir dir;
  char real[PATH_MAX];
  ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
  auto options = command("/bin/pwd", {"-P"});
  options.workingDirectory = dir.path();
  ProcessResult result = ProcessRunner::run(options);
  ASSERT_TRUE(result.succeeded()) << result.err;
  EXPECT_EQ(result.out, std::string(real) + "\n");
}

TEST(ProcessRunnerTest, ChildStartsClean) {
  // Dispositions and masks of the agent must not leak into the child, nor
  // descriptors that someone opened without O_CLOEXEC.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previousPipe {};
  sigaction(SIGPIPE, &ignore, &previousPipe);
  sigset_t usr1, previousMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &previousMask);
  int leaked = fcntl(open("/dev/null", O_RDONLY), F_DUPFD, 200);

  ChildProcess child(command("/bin/sleep", {"30"}));
  bool started = child.start();
  sigaction(SIGPIPE, &previousPipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ASSERT_TRUE(started);

  // Bits 0-30 are signals 1-31; glibc keeps its two internal real-time
  // signals ignored in every spawned child, so those are not looked at.
  const auto ignored = std::stoull(procField(child.pid(), "SigIgn"), nullptr, 16);
  EXPECT_EQ(ignored & 0x7fffffffULL, 0u) << std::hex << ignored;
  EXPECT_EQ(procField(child.pid(), "SigBlk"), "0000000000000000");
  EXPECT_EQ(getpgid(child.pid()), child.pid()) << "the child leads a process group of its own";
  struct stat info {};
  EXPECT_NE(stat(("/proc/" + std::to_string(child.pid()) + "/fd/" + std::to_string(leaked)).c_str(),
                 &info),
            0);
  EXPECT_EQ(stat(("/proc/" + std::to_string(child.pid()) + "/fd/2").c_str(), &info), 0);
  close(leaked);
}

TEST(ProcessRunnerTest, KillReachesTheWholeProcessGroup) {
  // timeout(1) keeps /bin/sleep as a child in its own process group; SIGKILL
  // cannot be passed on, so the grandchild dies only if the group is signalled.
  ChildProcess child(command("/usr/bin/timeout", {"300", "/bin/sleep", "300"}));
  ASSERT_TRUE(child.start());
  pid_t grandchild = 0;
  ASSERT_TRUE(eventually([&] {
    auto found = findProcesses([&](pid_t pid) {
      return procField(pid, "PPid") == std::to_string(child.pid()) &&
             procField(pid, "Name") == "sleep";
    });
    if (!found.empty()) grandchild = found.front();
    return grandchild != 0;
  }));
  EXPECT_EQ(getpgid(grandchild), child.pid());

  std::thread killer([&] { EXPECT_TRUE(child.kill(SIGKILL)); });
  ProcessResult result = child.wait();
  killer.join();
  EXPECT_EQ(result.termSignal, SIGKILL);
  EXPECT_EQ(result.exitStatus, -1);
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(eventually([&] { return goneOrZombie(grandchild); }));
  EXPECT_FALSE(child.isRunning());
  EXPECT_FALSE(child.kill(SIGTERM)) << "a reaped child is never signalled";
}

TEST(ProcessRunnerTest, TimeOutKillsTheChild) {
  auto options = command("/bin/sleep", {"300"});
  options.timeout = 200ms;
  auto before = std::chrono::steady_clock::now();
  ProcessResult result = ProcessRunner::run(options);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
  EXPECT_TRUE(result.started);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.termSignal, SIGKILL);
}

// A clock whose monotonic time moves only when the test says so.
class SteppedClock : public Clock {
 public:
  WallTime wallNow() const override { return WallTime(); }
  TimePoint monotonicNow() const override { return TimePoint(offset_.load()); }
  void sleepFor(Duration) override {}
  bool waitUntil(std::unique_lock<std::mutex>&, std::condition_variable&, TimePoint,
                 const std::function<bool()>& pred) override {
    return pred();
  }
  void advance(Duration d) { offset_ = offset_.load() + d; }

 private:
  std::atomic<Duration> offset_{Duration(1)};
};

TEST(ProcessRunnerTest, TimeOutIsMeasuredOnTheGivenClock) {
  SteppedClock clock;
  auto options = command("/bin/sleep", {"300"});
  options.clock = &clock;
  options.timeout = 10min;
  ChildProcess child(options);
  ASSERT_TRUE(child.start());
  std::thread advancer([&] {
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(child.isRunning()) << "real time alone must not end it";
    clock.advance(11min);
  });
  ProcessResult result = child.wait();
  advancer.join();
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.termSignal, SIGKILL);
}

TEST(ProcessRunnerTest, DestructorKillsAndReaps) {
  pid_t pid;
  {
    ChildProcess child(command("/bin/sleep", {"300"}));
    ASSERT_TRUE(child.start());
    pid = child.pid();
    ASSERT_TRUE(child.isRunning());
  }
  errno = 0;
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "the child was reaped, not left a zombie";
}

TEST(ProcessRunnerTest, WaitReturnsWhenDescendantsKeepThePipesOpen) {
  // setsid --fork exits at once and leaves a detached sleep behind that holds
  // the child's stdout and stderr open.
  const std::string marker = "297.25";
  auto options = command("/usr/bin/setsid", {"--fork", "/bin/sleep", marker});
  auto before = std::chrono::steady_clock::now();
  ProcessResult result = ProcessRunner::run(options);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
  EXPECT_TRUE(result.succeeded());
  const std::string leftoverArgv = std::string("/bin/sleep\0", 11) + marker + '\0';
  for (pid_t pid : findProcesses([&](pid_t pid) { return cmdlineOf(pid) == leftoverArgv; })) {
    ::kill(pid, SIGKILL);
  }
}

}  // namespace
}  // namespace ulmora
