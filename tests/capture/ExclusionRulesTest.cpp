#include <gtest/gtest.h>

#include "capture/ExcludedFilesCollections.h"
#include "capture/ExclusionRules.h"
#include "platform/PropertyList.h"
#include "TestTempDir.h"

namespace ulmora {
namespace {

struct RuleCase {
  const char* rule;
  const char* path;  // relative to the root
  bool excluded;
};

class ExclusionRuleTable : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ExclusionRuleTable, MatchesAsDocumented) {
  const RuleCase& c = GetParam();
  ExclusionRules::Lists lists;
  lists.userExclusion = {c.rule};
  const ExclusionRules rules(lists, "/home/u/Sync");
  EXPECT_EQ(rules.excludes(c.path), c.excluded) << c.rule << " vs " << c.path;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ExclusionRuleTable,
    ::testing::Values(
        // Name rules match any component, whatever the case of ASCII letters.
        RuleCase{".DS_Store", "/a/.DS_Store", true}, RuleCase{".DS_Store", "/a/.ds_store", true},
        RuleCase{".DS_Store", "/a/x.DS_Store", false},
        RuleCase{"node_modules", "/p/node_modules/x/y.js", true},
        RuleCase{"node_modules", "/p/node_modules2/y.js", false},
        // Suffix, prefix and general patterns.
        RuleCase{"*.tmp", "/a/b.TMP", true}, RuleCase{"*.tmp", "/a/b.tmp.txt", false},
        RuleCase{"~$*", "/a/~$report.docx", true}, RuleCase{"~$*", "/a/report~$.docx", false},
        RuleCase{".~lock.*#", "/a/.~lock.x.odt#", true}, RuleCase{".~lock.*#", "/a/.~lock.x.odt", false},
        RuleCase{"file?.txt", "/file1.txt", true}, RuleCase{"file?.txt", "/file12.txt", false},
        RuleCase{"[ab]*.log", "/B1.log", true}, RuleCase{"[ab]*.log", "/c1.log", false},
        RuleCase{"\\*star", "/*star", true}, RuleCase{"\\*star", "/xstar", false},
        // Path rules: relative to the root, the item and all below it, on
        // whole components.
        RuleCase{"/Private", "/Private", true}, RuleCase{"/Private", "/Private/a/b.txt", true},
        RuleCase{"/Private", "/Private2/a", false}, RuleCase{"/Private", "/x/Private", false},
        RuleCase{"Projects/build", "/Projects/build/o.o", true},
        RuleCase{"/Projects/*/cache", "/Projects/app/cache/z", true},
        RuleCase{"/Projects/*/cache", "/Projects/app/src/cache", false},
        // A full path under the root is the same rule; one outside it is read
        // as relative, never as something else.
        RuleCase{"/home/u/Sync/Private", "/Private/f", true},
        RuleCase{"/home/u/Sync2/Private", "/home/u/Sync2/Private/f", true},
        RuleCase{"/home/u/Sync2/Private", "/Private/f", false},
        // Rules that name nothing or leave the root are dropped.
        RuleCase{"", "/a", false}, RuleCase{"..", "/a/..", false}, RuleCase{"/../etc", "/etc", false},
        RuleCase{"/", "/a", false}));

TEST(ExclusionRules, EntryCheckSeesOnlyTheLastComponent) {
  ExclusionRules::Lists lists;
  lists.userExclusion = {"skip", "/a/b"};
  const ExclusionRules rules(lists, "/r");
  EXPECT_TRUE(rules.excludesEntry("/x/skip"));
  EXPECT_FALSE(rules.excludesEntry("/skip/x"));  // the walk never enters /skip
  EXPECT_TRUE(rules.excludesEntry("/a/b"));
  EXPECT_FALSE(rules.excludesEntry("/a/b/c"));
  EXPECT_FALSE(rules.excludesEntry("/a"));
}

TEST(ExclusionRules, PreferencesPerUserThenTopLevelThenBuiltIn) {
  PropertyList prefs;
  PropertyList alice;
  alice.set("User specified Exclusion", PropertyList(PropertyList::Array{"*.bak", 7, "/Old"}));
  alice.set("Default Exclusion", PropertyList(PropertyList::Array{}));
  prefs.set("alice", alice);
  prefs.set("Partial File Exclusion", PropertyList("*.dl"));

  const ExclusionRules::Lists forAlice = ExclusionRules::listsFromPreferences(prefs, "alice");
  EXPECT_EQ(forAlice.userExclusion, (std::vector<std::string>{"*.bak", "/Old"}));
  EXPECT_TRUE(forAlice.defaultExclusion.empty());  // present and empty turns defaults off
  // Alice's dictionary has no partial key: the built-in list, not the top level.
  EXPECT_EQ(forAlice.partialFileExclusion, ExclusionRules::builtInDefaults().partialFileExclusion);

  const ExclusionRules::Lists forBob = ExclusionRules::listsFromPreferences(prefs, "bob");
  EXPECT_EQ(forBob.partialFileExclusion, (std::vector<std::string>{"*.dl"}));
  EXPECT_EQ(forBob.defaultExclusion, ExclusionRules::builtInDefaults().defaultExclusion);
  EXPECT_TRUE(forBob.userExclusion.empty());
}

TEST(ExclusionRules, LoadedFromThePreferencesFile) {
  testing::TestTempDir dir;
  PropertyList prefs;
  PropertyList user;
  user.set("User specified Exclusion", PropertyList(PropertyList::Array{"/Private", "*.iso"}));
  prefs.set("alice", user);
  ASSERT_TRUE(prefs.writeFile(dir.sub("prefs.plist")));

  ExcludedFilesCollections::Config config;
  config.syncRoot = dir.sub("Sync");
  config.preferencesPath = dir.sub("prefs.plist");
  ExcludedFilesCollections collections(config);
  ASSERT_TRUE(collections.loadExcludedFileListFor("alice"));
  EXPECT_TRUE(collections.shouldExcludeFile(dir.sub("Sync/Private/a.txt")));
  EXPECT_TRUE(collections.shouldExcludeFile(dir.sub("Sync/x/movie.ISO")));
  EXPECT_TRUE(collections.shouldExcludeFile(dir.sub("Sync/x/.DS_Store")));  // built-in defaults
  EXPECT_FALSE(collections.shouldExcludeFile(dir.sub("Sync/x/Private")));
  // The agent's cache folder at the root, whatever the rules say.
  EXPECT_TRUE(collections.shouldExcludeFile(dir.sub("Sync/.UMSCache/ConflictData/a.txt")));
  EXPECT_TRUE(collections.shouldExcludeFile(dir.sub("Sync/.UMSCache")));
  EXPECT_TRUE(collections.shouldExcludeFile("/.UMSCache/2024-01-02/b.txt"));
  EXPECT_FALSE(collections.shouldExcludeFile(dir.sub("Sync/x/.UMSCache/a.txt")));
  EXPECT_FALSE(collections.shouldExcludeFile(dir.sub("Sync/.UMSCache2/a.txt")));
  // The relative form is the same item.
  EXPECT_TRUE(collections.shouldExcludeFile("/Private/a.txt"));
  EXPECT_FALSE(collections.shouldExcludeFile("/Public/a.txt"));
  // The sync's cache folder and all in it, in either form; a name that only
  // begins like it is not.
  for (const std::string& cached : {dir.sub("Sync/.UMSCache"), dir.sub("Sync/.UMSCache/"),
                                    dir.sub("Sync/.UMSCache/2026-01-02/Post/a.txt"),
                                    std::string("/.UMSCache/ConflictData/a.txt")}) {
    EXPECT_TRUE(collections.shouldExcludeFile(cached)) << cached;
  }
  EXPECT_FALSE(collections.shouldExcludeFile(dir.sub("Sync/.UMSCacheNot/a.txt")));
  EXPECT_FALSE(collections.shouldExcludeFile(dir.sub("Sync/x/.UMSCache/a.txt")));

  // A missing file leaves the built-in rules in force.
  ExcludedFilesCollections::Config missing = config;
  missing.preferencesPath = dir.sub("none.plist");
  ExcludedFilesCollections other(missing);
  EXPECT_FALSE(other.loadExcludedFileListFor("alice"));
  EXPECT_TRUE(other.shouldExcludeFile(dir.sub("Sync/a.part")));
  EXPECT_FALSE(other.shouldExcludeFile(dir.sub("Sync/Private/a.txt")));
}

// The engine's download working files are never user content, whatever the
// rules say; names that only look alike are.
TEST(EngineWorkingFiles, AreExcludedByEveryRuleSetAndWalk) {
  struct Case {
    const char* path;
    bool excluded;
  } cases[] = {
      {"/.notes.bin.kvt-part.21818", true},      {"/a/b/.r.txt.kvt-part.7", true},
      {"/.kvt-part.123.4", true},                {"/notes.bin.kvt-part.21818", false},
      {"/.notes.bin.kvt-part.x1", false},        {"/.notes.bin.kvt-part.", false},
      {"/.kvt-part.123", false},                 {"/.kvt-part.", false},
      {"/.notes.bin.kvt-part.12/inside.txt", false},
  };
  const ExclusionRules none;
  const ExclusionRules defaults(ExclusionRules::builtInDefaults(), "/home/u/Sync");
  for (const Case& c : cases) {
    EXPECT_EQ(none.excludes(c.path), c.excluded) << c.path;
    EXPECT_EQ(defaults.excludes(c.path), c.excluded) << c.path;
    EXPECT_EQ(defaults.excludesEntry(c.path), c.excluded) << c.path;
  }
}

}  // namespace
}  // namespace ulmora
