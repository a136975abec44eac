#include "foundation/LoginDetails.h"

#include "platform/FileUtil.h"
#include "platform/PropertyList.h"
#include "platform/Trace.h"

namespace ulmora {
namespace {

// The account name is a file name as it stands ("<name>.ql-wal", its
// folders): it must fit one with room for the longest ending added to it.
constexpr size_t kMaxAccountNameBytes = 200;

bool isSafeName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxAccountNameBytes && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

LoginDetails::Reading failure(std::string why) { return {std::nullopt, std::move(why)}; }

}  // namespace

// An absolute root strictly below "/", with no "." or ".." component; the
// trailing "/" is dropped.
std::optional<std::string> LoginDetails::usableRoot(std::string root) {
  if (root.empty() || root.front() != '/' || root.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") return std::nullopt;
  size_t start = 1;
  while (start <= root.size()) {
    size_t end = root.find('/', start);
    if (end == std::string::npos) end = root.size();
    const std::string_view part(root.data() + start, end - start);
    if (part == "." || part == "..") return std::nullopt;
    start = end + 1;
  }
  return root;
}

LoginDetails::Reading LoginDetails::read(const std::string& loginDetailsPath,
                                         const std::string& syncFoldersPath) {
  if (loginDetailsPath.empty()) return failure("no path for the login details");
  if (!fileutil::exists(loginDetailsPath)) {
    return failure("no login details at \"" + loginDetailsPath + "\"");
  }
  std::optional<PropertyList> login = PropertyList::readFile(loginDetailsPath);
  if (!login || !login->isDict()) {
    return failure("the login details at \"" + loginDetailsPath + "\" are not a dictionary");
  }
  std::optional<std::string> user = login->stringFor(kAccountUserKey);
  if (!user || user->empty()) {
    return failure("the login details name no account (\"" + std::string(kAccountUserKey) + "\")");
  }
  if (!isSafeName(*user)) {
    return failure("the account name \"" + *user + "\" cannot name a folder");
  }
  if (syncFoldersPath.empty()) return failure("no path for the sync-folder list");
  std::optional<PropertyList> folders = PropertyList::readFile(syncFoldersPath);
  if (!folders || !folders->isDict()) {
    return failure("the sync-folder list at \"" + syncFoldersPath + "\" is missing or not a dictionary");
  }
  std::optional<std::string> root = folders->stringFor(*user);
  if (!root) return failure("the sync-folder list has no sync root for \"" + *user + "\"");
  std::optional<std::string> usable = usableRoot(*root);
  if (!usable) return failure("the sync root \"" + *root + "\" of \"" + *user + "\" is not usable");

  Account account;
  account.syncUser = *user;
  account.syncRoot = *usable;
  const PropertyList* unlink = login->find(kUnlinkKey);
  account.unlinked = unlink != nullptr && unlink->boolValue();
  return {account, ""};
}

bool LoginDetails::setFlag(const std::string& loginDetailsPath, const std::string& key,
                           bool value) {
  if (loginDetailsPath.empty()) return false;
  std::optional<PropertyList> login = PropertyList::readFile(loginDetailsPath);
  if (!login || !login->isDict()) {
    traceLine("login details: cannot set \"" + key + "\": no readable \"" + loginDetailsPath + "\"");
    return false;
  }
  login->set(key, value ? "1" : "0");
  return login->writeFile(loginDetailsPath);
}

bool LoginDetails::isSubAccount(const std::string& accountDetailsPath) {
  if (accountDetailsPath.empty()) {
    traceLine("IdLoginUserFilePath is null");
    return false;
  }
  std::optional<PropertyList> details = PropertyList::readFile(accountDetailsPath);
  if (!details) return false;
  std::optional<std::string> parent = details->stringFor(kParentAccountKey);
  if (!parent) return false;
  return parent != details->stringFor(kUlmoraUsernameKey);
}

}  // namespace ulmora
