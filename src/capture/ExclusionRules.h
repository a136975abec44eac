#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ulmora {

class PropertyList;

// The account's exclusion rules, compiled for matching (docs/exclusions.md
// describes the forms).
//
// A rule without "/" is a name rule: it excludes every item one of whose
// path components it matches, so an excluded folder takes everything below
// it along. A rule with "/" is a path rule, relative to the sync root (a full
// path under the root is made relative first): it excludes that item and
// everything below it. Each component is a shell-style pattern ("*", "?",
// "[...]", "\" escapes); letters match without regard to ASCII case.
// Whatever the rules, the transfer engine's working files of downloads are
// excluded too (capturepath::isEngineWorkingFileName), even by empty rules.
//
// Thread-safety: immutable once built; share it freely between threads.
class ExclusionRules {
 public:
  // The three lists of the preferences property list, as texts.
  struct Lists {
    std::vector<std::string> defaultExclusion;       // "Default Exclusion"
    std::vector<std::string> userExclusion;          // "User specified Exclusion"
    std::vector<std::string> partialFileExclusion;   // "Partial File Exclusion"
    bool operator==(const Lists&) const = default;
  };

  static constexpr std::string_view kDefaultKey = "Default Exclusion";
  static constexpr std::string_view kUserKey = "User specified Exclusion";
  static constexpr std::string_view kPartialKey = "Partial File Exclusion";

  // The lists used for a key the preferences do not hold.
  static Lists builtInDefaults();

  // The lists of `syncUser`: the dictionary under the user's name when the
  // preferences hold one, else the top-level keys. A missing key gives the
  // built-in list (none for user rules); a present key, even an empty array,
  // replaces it. Entries that are not texts are skipped with a trace line.
  static Lists listsFromPreferences(const PropertyList& preferences, std::string_view syncUser);

  ExclusionRules() = default;  // excludes nothing
  // `syncRoot` turns full-path rules into relative ones. Rules that cannot
  // name anything (empty, "." or ".." components) are skipped with a trace.
  ExclusionRules(const Lists& lists, std::string_view syncRoot);

  // Whether any rule excludes `relativePath` (leading "/" optional) or a
  // folder above it.
  bool excludes(std::string_view relativePath) const;
  // Only the rules that end at the last component of `relativePath`. A walk
  // that never enters excluded folders asks this for each entry and so
  // matches each component once instead of once per item below it.
  bool excludesEntry(std::string_view relativePath) const;

  bool empty() const { return names_.empty() && paths_.empty(); }

 private:
  class Glob {
   public:
    explicit Glob(std::string_view pattern);
    bool matches(std::string_view name) const;

   private:
    enum class Kind { kLiteral, kSuffix, kPrefix, kPattern };
    Kind kind_;
    std::string text_;  // the literal part (kLiteral/kSuffix/kPrefix) or the whole pattern
  };
  struct PathRule {
    std::vector<Glob> components;
  };

  void addRule(std::string_view rule, std::string_view syncRoot);
  bool nameExcluded(std::string_view name) const;
  static bool pathRuleMatches(const PathRule& rule, const std::vector<std::string_view>& parts);

  std::vector<Glob> names_;
  std::vector<PathRule> paths_;
};

}  // namespace ulmora
