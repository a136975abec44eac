#include "foundation/LoginDetails.h"

#include <gtest/gtest.h>

#include "TestHome.h"

namespace ulmora {
namespace {

using testing::TemporaryHome;

PropertyList dict(std::initializer_list<std::pair<const char*, PropertyList>> entries) {
  PropertyList d(PropertyList::Dict{});
  for (const auto& [k, v] : entries) d.set(k, v);
  return d;
}

struct ReadCase {
  const char* name;
  std::optional<PropertyList> login;    // nullopt: no file
  std::optional<std::string> rawLogin;  // bytes written instead
  std::optional<PropertyList> folders;
  std::optional<LoginDetails::Account> expected;
};

TEST(LoginDetailsTest, ReadsTheLoggedInAccountOrSaysWhyThereIsNone) {
  const PropertyList demo = dict({{"Ulmora username", "demo"}});
  const std::string a300(300, 'a');
  const std::string a200(200, 'a');
  const ReadCase cases[] = {
      {"valid", demo, {}, dict({{"demo", "/home/u/Sync"}}), LoginDetails::Account{"demo", "/home/u/Sync", false}},
      {"trailing slash dropped", demo, {}, dict({{"demo", "/home/u/Sync//"}}),
       LoginDetails::Account{"demo", "/home/u/Sync", false}},
      {"unlinked", dict({{"Ulmora username", "demo"}, {"Unlink status", "1"}}), {},
       dict({{"demo", "/s"}}), LoginDetails::Account{"demo", "/s", true}},
      {"unlink flag false", dict({{"Ulmora username", "demo"}, {"Unlink status", "0"}}), {},
       dict({{"demo", "/s"}}), LoginDetails::Account{"demo", "/s", false}},
      {"no login file", std::nullopt, {}, dict({{"demo", "/s"}}), std::nullopt},
      {"login does not parse", std::nullopt, std::string("<plist><dict><key>"), dict({{"demo", "/s"}}),
       std::nullopt},
      {"login is an array", PropertyList(PropertyList::Array{"demo"}), {}, dict({{"demo", "/s"}}),
       std::nullopt},
      {"no account name", dict({{"UlmoraSync username", "demo"}}), {}, dict({{"demo", "/s"}}),
       std::nullopt},
      {"account name not text", dict({{"Ulmora username", 5}}), {}, dict({{"5", "/s"}}), std::nullopt},
      {"account name escapes", dict({{"Ulmora username", "../other"}}), {},
       dict({{"../other", "/s"}}), std::nullopt},
      {"account name dot-dot", dict({{"Ulmora username", ".."}}), {}, dict({{"..", "/s"}}),
       std::nullopt},
      {"account name too long for a file name", dict({{"Ulmora username", a300}}),
       {}, dict({{a300.c_str(), "/s"}}), std::nullopt},
      {"longest account name", dict({{"Ulmora username", a200}}), {},
       dict({{a200.c_str(), "/s"}}), LoginDetails::Account{a200, "/s", false}},
      {"no sync-folder list", demo, {}, std::nullopt, std::nullopt},
      {"no root for the account", demo, {}, dict({{"other", "/s"}}), std::nullopt},
      {"relative root", demo, {}, dict({{"demo", "home/Sync"}}), std::nullopt},
      {"root is /", demo, {}, dict({{"demo", "/"}}), std::nullopt},
      {"root with ..", demo, {}, dict({{"demo", "/home/../etc"}}), std::nullopt},
      {"root with .", demo, {}, dict({{"demo", "/home/./Sync"}}), std::nullopt},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryHome home;
    if (c.login) home.writePlist(home.loginDetailsPath(), *c.login);
    if (c.rawLogin) home.writeRaw(home.loginDetailsPath(), *c.rawLogin);
    if (c.folders) home.writePlist(home.syncFoldersPath(), *c.folders);
    const LoginDetails::Reading r = LoginDetails::read(home.loginDetailsPath(), home.syncFoldersPath());
    EXPECT_EQ(r.account, c.expected);
    EXPECT_EQ(r.problem.empty(), c.expected.has_value()) << r.problem;
  }
}

TEST(LoginDetailsTest, SetFlagKeepsTheOtherKeysAndStoresZeroOrOne) {
  TemporaryHome home;
  home.writePlist(home.loginDetailsPath(), dict({{"Ulmora username", "demo"}, {"IP", "srv"}}));
  ASSERT_TRUE(LoginDetails::setFlag(home.loginDetailsPath(), "Pause", true));
  auto back = PropertyList::readFile(home.loginDetailsPath());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->stringFor("Pause"), "1");
  EXPECT_EQ(back->stringFor("IP"), "srv");
  ASSERT_TRUE(LoginDetails::setFlag(home.loginDetailsPath(), "Pause", false));
  EXPECT_EQ(PropertyList::readFile(home.loginDetailsPath())->stringFor("Pause"), "0");
  // No file: nothing is created from scratch.
  EXPECT_FALSE(LoginDetails::setFlag(home.sub("missing.plist"), "Pause", true));
  EXPECT_FALSE(fileutil::exists(home.sub("missing.plist")));
}

TEST(LoginDetailsTest, SubAccountWhenTheParentDiffers) {
  struct Case {
    const char* name;
    std::optional<PropertyList> file;
    bool sub;
  } cases[] = {
      {"no file", std::nullopt, false},
      {"no parent", dict({{"UlmoraUsername", "a"}}), false},
      {"parent is self", dict({{"UlmoraUsername", "a"}, {"ParentAccount", "a"}}), false},
      {"parent differs", dict({{"UlmoraUsername", "a"}, {"ParentAccount", "boss"}}), true},
      {"parent without own name", dict({{"ParentAccount", "boss"}}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryHome home;
    const std::string path = home.sub("AccountDetails.plist");
    if (c.file) home.writePlist(path, *c.file);
    EXPECT_EQ(LoginDetails::isSubAccount(path), c.sub);
  }
  EXPECT_FALSE(LoginDetails::isSubAccount(""));
}

}  // namespace
}  // namespace ulmora
