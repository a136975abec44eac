#pragma once

#include <optional>
#include <string>

namespace ulmora {

// The console user's login details (application file 26, the property list
// of the account that is logged in) and the sync-folder property list
// (application file 110, account user name -> sync root), as the composition
// root and the sync controller read them. docs/session.md lists every key the agent reads.
//
// Thread-safety: stateless; every function may be called from any thread.
class LoginDetails {
 public:
  // Keys of the login-details property list.
  static constexpr const char* kAccountUserKey = "Ulmora username";
  static constexpr const char* kUnlinkKey = "Unlink status";
  static constexpr const char* kPauseKey = "Pause";
  static constexpr const char* kMoveKey = "Move in progress";
  // Keys of the account property list (string-table key "UMLoginDetailsFile").
  static constexpr const char* kParentAccountKey = "ParentAccount";
  static constexpr const char* kUlmoraUsernameKey = "UlmoraUsername";

  struct Account {
    std::string syncUser;  // "Ulmora username": names the account's folders
    std::string syncRoot;  // absolute, without a trailing "/"
    bool unlinked = false;
    bool operator==(const Account&) const = default;
  };
  struct Reading {
    std::optional<Account> account;
    std::string problem;  // why there is no account; "" when there is one
  };

  LoginDetails() = delete;

  // The logged-in account, or why there is none: a file that is missing or
  // does not parse, a missing or unusable account name (it names folders, so
  // "", ".", "..", "/", NUL or more than 200 bytes are refused), no sync root
  // for it, or a root
  // that is not an absolute path below "/" without "." or ".." components.
  static Reading read(const std::string& loginDetailsPath, const std::string& syncFoldersPath);

  // `root` when it is an absolute path strictly below "/" with no "." or ".."
  // component (a trailing "/" dropped); nullopt otherwise.
  static std::optional<std::string> usableRoot(std::string root);

  // Sets a "0"/"1" flag in the login details, rewriting the file atomically
  // (0600). False when the file cannot be read as a dictionary or written.
  static bool setFlag(const std::string& loginDetailsPath, const std::string& key, bool value);

  // The account property list's "ParentAccount" differs from its
  // "UlmoraUsername". No file, no "ParentAccount" or an empty path: a main
  // account.
  static bool isSubAccount(const std::string& accountDetailsPath);
};

}  // namespace ulmora
