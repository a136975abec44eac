#include "platform/UserInfo.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestTempDir.h"
#include "WaitUntil.h"
#include "platform/ProcessRunner.h"

namespace ulmora {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;
using ::testing::Not;
using namespace std::chrono_literals;

// Sets (or, with nullopt, unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string passwdHome() { return getpwuid(geteuid())->pw_dir; }

TEST(UserInfoTest, HomeFolder) {
  testing::TestTempDir dir;
  struct Case {
    const char* name;
    std::optional<std::string> home;
    std::string expected;
  };
  const Case cases[] = {
      {"$HOME is honoured", dir.path(), dir.path()},
      {"unset $HOME falls back to the password database", std::nullopt, passwdHome()},
      {"empty $HOME falls back", std::string(), passwdHome()},
      {"relative $HOME falls back", std::string("relative/home"), passwdHome()},
  };
  for (const auto& c : cases) {
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(UserInfo::homeFolder(), c.expected) << c.name;
    EXPECT_EQ(UserInfo::homeFolderForUser(UserInfo::currentUserName()), c.expected) << c.name;
  }
}

TEST(UserInfoTest, HomeFolderOfAnotherUser) {
  ScopedEnv home("HOME", "/somewhere/else");
  struct passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  if (UserInfo::currentUserName() != "nobody") {
    EXPECT_EQ(UserInfo::homeFolderForUser("nobody"), std::string(nobody->pw_dir))
        << "$HOME belongs to the current user only";
  }
  EXPECT_EQ(UserInfo::homeFolderForUser("ulmora-no-such-user"), std::nullopt);
  EXPECT_EQ(UserInfo::homeFolderForUser(""), std::nullopt);
}

TEST(UserInfoTest, MachineIdFromFiles) {
  testing::TestTempDir dir;
  std::string good = dir.writeFile("good", "0123456789abcdef\n");
  std::string padded = dir.writeFile("padded", "  \t0123456789abcdef  \n\n");
  std::string blank = dir.writeFile("blank", " \n");
  std::string missing = dir.sub("missing");
  struct Case {
    const char* name;
    std::vector<std::string> paths;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"first file, trimmed", {good, missing}, "0123456789abcdef"},
      {"white space on both sides", {padded}, "0123456789abcdef"},
      {"missing first file falls back", {missing, good}, "0123456789abcdef"},
      {"blank first file falls back", {blank, good}, "0123456789abcdef"},
      {"nothing usable", {missing, blank}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(UserInfo::machineIdFromFiles(c.paths), c.expected) << c.name;

  if (auto id = UserInfo::machineId()) {
    EXPECT_FALSE(id->empty());
    EXPECT_EQ(id->find_first_of(" \t\n"), std::string::npos);
  }
}

TEST(UserInfoTest, MachineNameHasOnlyLettersAndDigits) {
  std::string name = UserInfo::machineName();
  EXPECT_FALSE(name.empty());
  EXPECT_TRUE(std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c); }))
      << name;
}

std::string readProcFile(pid_t pid, const char* name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The kernel lets the spawning parent go on before it has filled in the new
// program's argument area and name, so /proc may briefly show neither.
void waitForExecToSettle(pid_t pid) {
  ASSERT_TRUE(testing::waitUntil(
      [&] { return !readProcFile(pid, "cmdline").empty() && readProcFile(pid, "comm") != "ulmora_platform\n"; },
      10s, 1ms));
}

std::unique_ptr<ChildProcess> startSleep(const std::string& program = "/bin/sleep") {
  ProcessOptions options;
  options.executable = program;
  options.arguments = {"300"};
  auto child = std::make_unique<ChildProcess>(options);
  EXPECT_TRUE(child->start());
  waitForExecToSettle(child->pid());
  return child;
}

TEST(UserInfoTest, ProcessIdsForUserName) {
  const std::string me = UserInfo::currentUserName();
  auto first = startSleep();
  auto second = startSleep();

  auto found = UserInfo::processIdsForUserName("sleep", me);
  EXPECT_THAT(found, Contains(first->pid()));
  EXPECT_THAT(found, Contains(second->pid()));
  EXPECT_TRUE(std::is_sorted(found.begin(), found.end()));

  struct Case {
    const char* name;
    std::string process;
    std::string user;
  };
  const Case absent[] = {
      {"another user", "sleep", me == "nobody" ? "root" : "nobody"},
      {"unknown user", "sleep", "ulmora-no-such-user"},
      {"a prefix of the name", "slee", me},
      {"a longer name", "sleeper", me},
      {"no name", "", me},
  };
  for (const auto& c : absent) {
    EXPECT_THAT(UserInfo::processIdsForUserName(c.process, c.user), Not(Contains(first->pid())))
        << c.name;
  }

  pid_t ended = first->pid();
  first->kill(SIGKILL);
  first->wait();
  EXPECT_THAT(UserInfo::processIdsForUserName("sleep", me), Not(Contains(ended)));
}

TEST(UserInfoTest, ProcessNamesLongerThanTheKernelKeeps) {
  testing::TestTempDir dir;
  const std::string longName = "ulmora-rather-long-program-name";
  std::string copy = dir.sub(longName);
  std::filesystem::copy_file("/bin/sleep", copy);
  chmod(copy.c_str(), 0700);
  auto child = startSleep(copy);
  EXPECT_THAT(UserInfo::processIdsForUserName(longName, UserInfo::currentUserName()),
              Contains(child->pid()));
}

TEST(UserInfoTest, ProcessesOfAnotherUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start a process as another user";
  struct passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t nobodyUid = nobody->pw_uid;
  const char* argv[] = {"sleep", "300", nullptr};
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(nobodyUid) != 0) _exit(127);
    execv("/bin/sleep", const_cast<char* const*>(argv));
    _exit(127);
  }
  // The uid changes between fork and exec; look until the exec has happened.
  std::vector<pid_t> asNobody;
  testing::waitUntil(
      [&] {
        asNobody = UserInfo::processIdsForUserName("sleep", "nobody");
        return std::find(asNobody.begin(), asNobody.end(), pid) != asNobody.end();
      },
      10s, 5ms);
  EXPECT_THAT(asNobody, Contains(pid));
  EXPECT_THAT(UserInfo::processIdsForUserName("sleep", UserInfo::currentUserName()),
              Not(Contains(pid)));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace ulmora
