#include "capture/ExclusionRules.h"

#include <fnmatch.h>

#include "capture/CapturePaths.h"
#include "journal/SyncRootPath.h"
#include "platform/PropertyList.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  }
  return true;
}

bool hasGlobCharacters(std::string_view text) {
  return text.find_first_of("*?[\\") != std::string_view::npos;
}

std::vector<std::string_view> splitComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    if (end > i) parts.push_back(path.substr(i, end - i));
    i = end;
  }
  return parts;
}

std::string_view lastComponentOf(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> readList(const PropertyList* value, std::string_view key,
                                  const std::vector<std::string>& fallback) {
  if (!value) return fallback;
  std::vector<std::string> out;
  if (const std::string* one = value->asString()) {
    out.push_back(*one);
    return out;
  }
  const PropertyList::Array* array = value->asArray();
  if (!array) {
    traceLine("exclusion rules: \"" + std::string(key) + "\" is not a list; ignored");
    return out;
  }
  for (const PropertyList& entry : *array) {
    if (const std::string* text = entry.asString()) {
      out.push_back(*text);
    } else {
      traceLine("exclusion rules: an entry of \"" + std::string(key) + "\" is not a text; skipped");
    }
  }
  return out;
}

}  // namespace

ExclusionRules::Glob::Glob(std::string_view pattern) {
  if (!hasGlobCharacters(pattern)) {
    kind_ = Kind::kLiteral;
    text_ = pattern;
  } else if (pattern.size() >= 2 && pattern.front() == '*' &&
             !hasGlobCharacters(pattern.substr(1))) {
    kind_ = Kind::kSuffix;
    text_ = pattern.substr(1);
  } else if (pattern.size() >= 2 && pattern.back() == '*' &&
             !hasGlobCharacters(pattern.substr(0, pattern.size() - 1))) {
    kind_ = Kind::kPrefix;
    text_ = pattern.substr(0, pattern.size() - 1);
  } else {
    kind_ = Kind::kPattern;
    text_ = pattern;
  }
}

bool ExclusionRules::Glob::matches(std::string_view name) const {
  switch (kind_) {
    case Kind::kLiteral:
      return equalsFolded(name, text_);
    case Kind::kSuffix:
      return name.size() >= text_.size() &&
             equalsFolded(name.substr(name.size() - text_.size()), text_);
    case Kind::kPrefix:
      return name.size() >= text_.size() && equalsFolded(name.substr(0, text_.size()), text_);
    case Kind::kPattern:
      break;
  }
  const std::string terminated(name);  // fnmatch needs a C string
  return fnmatch(text_.c_str(), terminated.c_str(), FNM_CASEFOLD) == 0;
}

ExclusionRules::Lists ExclusionRules::builtInDefaults() {
  Lists lists;
  // Metadata of other systems, trash folders of removable media, editors'
  // lock files and the temporary files of atomic saves: never user content.
  lists.defaultExclusion = {".DS_Store", ".Trash-*", ".~lock.*#", ".goutputstream-*", "~$*"};
  // Downloads that browsers and other programs are still writing.
  lists.partialFileExclusion = {"*.part", "*.crdownload", "*.partial"};
  return lists;
}

ExclusionRules::Lists ExclusionRules::listsFromPreferences(const PropertyList& preferences,
                                                           std::string_view syncUser) {
  const PropertyList* source = &preferences;
  if (!syncUser.empty()) {
    const PropertyList* own = preferences.find(syncUser);
    if (own && own->isDict()) source = own;
  }
  const Lists defaults = builtInDefaults();
  Lists lists;
  lists.defaultExclusion = readList(source->find(kDefaultKey), kDefaultKey, defaults.defaultExclusion);
  lists.userExclusion = readList(source->find(kUserKey), kUserKey, defaults.userExclusion);
  lists.partialFileExclusion =
      readList(source->find(kPartialKey), kPartialKey, defaults.partialFileExclusion);
  return lists;
}

ExclusionRules::ExclusionRules(const Lists& lists, std::string_view syncRoot) {
  for (const auto* list : {&lists.defaultExclusion, &lists.userExclusion, &lists.partialFileExclusion}) {
    for (const std::string& rule : *list) addRule(rule, syncRoot);
  }
}

void ExclusionRules::addRule(std::string_view rule, std::string_view syncRoot) {
  if (rule.empty() || rule.find('\0') != std::string_view::npos) return;
  if (rule.find('/') == std::string_view::npos) {
    if (rule == "." || rule == "..") {
      traceLine("exclusion rules: rule \"" + std::string(rule) + "\" names nothing; skipped");
      return;
    }
    names_.emplace_back(rule);
    return;
  }
  const SyncRootPath root(syncRoot);
  const std::string relative = root.relative(rule);
  std::vector<std::string_view> parts = splitComponents(relative);
  PathRule pathRule;
  for (std::string_view part : parts) {
    if (part == "." || part == "..") {
      traceLine("exclusion rules: rule \"" + std::string(rule) + "\" leaves the sync root; skipped");
      return;
    }
    pathRule.components.emplace_back(part);
  }
  if (pathRule.components.empty()) {
    // The root itself: excluding everything is never what a rule means.
    traceLine("exclusion rules: rule \"" + std::string(rule) + "\" names the sync root; skipped");
    return;
  }
  paths_.push_back(std::move(pathRule));
}

bool ExclusionRules::nameExcluded(std::string_view name) const {
  for (const Glob& glob : names_) {
    if (glob.matches(name)) return true;
  }
  return false;
}

bool ExclusionRules::pathRuleMatches(const PathRule& rule,
                                     const std::vector<std::string_view>& parts) {
  if (rule.components.size() > parts.size()) return false;
  for (size_t i = 0; i < rule.components.size(); ++i) {
    if (!rule.components[i].matches(parts[i])) return false;
  }
  return true;
}

bool ExclusionRules::excludes(std::string_view relativePath) const {
  const std::vector<std::string_view> parts = splitComponents(relativePath);
  if (!parts.empty() && capturepath::isEngineWorkingFileName(parts.back())) return true;
  if (empty()) return false;
  for (std::string_view part : parts) {
    if (nameExcluded(part)) return true;
  }
  for (const PathRule& rule : paths_) {
    if (pathRuleMatches(rule, parts)) return true;
  }
  return false;
}

bool ExclusionRules::excludesEntry(std::string_view relativePath) const {
  const std::string_view name = lastComponentOf(relativePath);
  if (capturepath::isEngineWorkingFileName(name) || nameExcluded(name)) return true;
  if (paths_.empty()) return false;
  const std::vector<std::string_view> parts = splitComponents(relativePath);
  for (const PathRule& rule : paths_) {
    if (rule.components.size() == parts.size() && pathRuleMatches(rule, parts)) return true;
  }
  return false;
}

}  // namespace ulmora
