#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestTempDir.h"
#include "engine/EngineCommandLine.h"
#include "engine/EngineCredentials.h"
#include "engine/ProxyController.h"
#include "engine/User.h"
#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"
#include "platform/PropertyList.h"

namespace ulmora {
namespace {

struct ProxyCase {
  const char* name;
  PropertyList settings;  // Null: no file at all
  std::string argument;
};

void PrintTo(const ProxyCase& c, std::ostream* os) { *os << c.name; }

class ProxyArgument : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ProxyArgument, FromTheSettingsFile) {
  testing::TestTempDir dir;
  std::string path = dir.sub("proxy.plist");
  if (!GetParam().settings.isNull()) {
    ASSERT_TRUE(GetParam().settings.writeFile(path));
  }
  EXPECT_EQ(ProxyController(path).proxyArgument(), GetParam().argument);
}

PropertyList settings(std::initializer_list<std::pair<const char*, PropertyList>> kv) {
  PropertyList d{PropertyList::Dict{}};
  for (const auto& [k, v] : kv) d.set(k, v);
  return d;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProxyArgument,
    ::testing::Values(
        ProxyCase{"NoFile", PropertyList(), "--proxy="},
        ProxyCase{"Disabled", settings({{"ProxyEnabled", false}, {"ProxyServer", "p.example"}}), "--proxy="},
        ProxyCase{"EnabledAsText", settings({{"ProxyEnabled", "1"}, {"ProxyServer", "p.example"}}),
                  "--proxy=p.example"},
        ProxyCase{"WithPortAndUser",
                  settings({{"ProxyEnabled", true}, {"ProxyServer", "p.example"}, {"ProxyPort", 3128},
                            {"ProxyUser", "bob"}, {"ProxyPassword", "s3cret"}}),
                  "--proxy=bob@p.example:3128"},
        ProxyCase{"EnabledWithoutServer", settings({{"ProxyEnabled", true}}), "--proxy="},
        ProxyCase{"InjectionRefused",
                  settings({{"ProxyEnabled", true}, {"ProxyServer", "p.example --files-from=/etc/x"}}), "--proxy="}),
    [](const ::testing::TestParamInfo<ProxyCase>& info) { return std::string(info.param.name); });

TEST(ProxyController, PasswordIsKeptButNeverInTheArgument) {
  testing::TestTempDir dir;
  ASSERT_TRUE(settings({{"ProxyEnabled", true}, {"ProxyServer", "p"}, {"ProxyPassword", "s3cret"}})
                  .writeFile(dir.sub("p.plist")));
  ProxyController proxy(dir.sub("p.plist"));
  EXPECT_EQ(proxy.proxyPassword(), "s3cret");
  EXPECT_EQ(proxy.proxyArgument().find("s3cret"), std::string::npos);
  EXPECT_EQ(redactSecrets("proxy said: bad s3cret"), "proxy said: bad ****");
}

User account() {
  User u;
  u.setUserName("alice");
  u.setPassword("plain-pw");
  u.setEncPassword("kvt1:encoded-pw");
  u.setEncPvtPassword("kvt1:encoded-key");
  u.setPort("--port=443");
  u.setKVTServerIP("/srv/store");
  return u;
}

TEST(EngineCredentials, SecretsGoToOwnerOnlyFilesAndTheEnvironmentNeverToArguments) {
  testing::TestTempDir dir;
  User user = account();
  std::vector<std::string> args;
  std::string passwordFile;
  {
    auto creds = EngineCredentials::writeInto(dir.path(), user);
    ASSERT_TRUE(creds);
    args = EngineCommandLine::commonOptions(user, ProxyController(), *creds, dir.path());
    passwordFile = creds->passwordFile();
    EXPECT_EQ(fileutil::readFile(creds->passwordFile()), "kvt1:encoded-pw");
    EXPECT_EQ(fileutil::readFile(creds->privateKeyFile()), "kvt1:encoded-key");
    for (const std::string& f : {creds->passwordFile(), creds->privateKeyFile()}) {
      struct stat st {};
      ASSERT_EQ(::stat(f.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }
    auto env = creds->environment();
    ASSERT_EQ(env.size(), 1u);
    EXPECT_EQ(env[0], (std::pair<std::string, std::string>{"RSYNC_PASSWORD", "plain-pw"}));
  }
  for (const std::string& a : args) {
    for (const char* secret : {"plain-pw", "encoded-pw", "encoded-key"}) {
      EXPECT_EQ(a.find(secret), std::string::npos) << a;
    }
  }
  EXPECT_NE(std::find(args.begin(), args.end(), "--encode"), args.end());
  EXPECT_NE(std::find(args.begin(), args.end(), "--port=443"), args.end());
  EXPECT_NE(std::find(args.begin(), args.end(), "--work-dir=" + dir.path()), args.end());
  EXPECT_FALSE(fileutil::exists(passwordFile)) << "credential files outlive their run";
  // Every form of the account's secrets is masked in the logs from now on.
  EXPECT_EQ(redactSecrets("plain-pw kvt1:encoded-pw kvt1:encoded-key alice"),
            "**** **** **** alice");
}

TEST(EngineCredentials, PrivateFolderGoesWithTheObject) {
  std::string folder;
  {
    auto creds = EngineCredentials::writePrivate(account());
    ASSERT_TRUE(creds);
    folder = fileutil::parentPath(creds->passwordFile());
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  EXPECT_FALSE(fileutil::exists(folder));
}

TEST(EngineCommandLine, PortFieldCannotSmuggleAnotherOption) {
  testing::TestTempDir dir;
  User user = account();
  user.setPort("--files-from=/etc/passwd");
  auto creds = EngineCredentials::writeInto(dir.path(), user);
  ASSERT_TRUE(creds);
  auto args = EngineCommandLine::commonOptions(user, ProxyController(), *creds, "");
  EXPECT_EQ(std::find(args.begin(), args.end(), "--files-from=/etc/passwd"), args.end());
}

}  // namespace
}  // namespace ulmora
