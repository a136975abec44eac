#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace ulmora {

// Questions the whole agent asks about files, the console user and the
// machine. On Linux the console user is the user the agent runs as.
//
// An empty path stands for "no path" and gets the answer a missing item gets.
//
// Thread-safety: every member is static, keeps no state and may be called
// from any thread.
class QLUtility {
 public:
  QLUtility() = delete;

  // --- Files ---------------------------------------------------------------

  // True when something exists at `path`; symlinks are followed, so a
  // dangling one counts as missing.
  static bool isFileExists(const std::string& path);
  // True when `path` is a folder or a symlink to one.
  static bool isDirectory(const std::string& path);
  // True when `path` itself is a symlink (dangling or not).
  static bool isSymbolicLink(const std::string& path);
  // Removes the file, symlink or whole folder tree at `path` when present;
  // never follows symlinks. Failures are only traced.
  static void removeFile(const std::string& path);
  // Size of the item itself (a symlink is not followed) as decimal text; "0"
  // when it cannot be examined.
  static std::string getFileSize(const std::string& path);
  // True for a missing path and for anything that is not a folder. For a
  // folder: true when a non-folder entry other than ".DS_Store" lies anywhere
  // below it, or when a folder on the way cannot be read (its contents might
  // be pending work). Symlinks below the folder count as files and are never
  // followed.
  static bool doesContainsFile(const std::string& path);

  // --- Text ----------------------------------------------------------------

  // "yyyy?MM?dd?HH?mm?ss" read from the fixed offsets 0, 5, 8, 11, 14, 17 (the
  // separators are not looked at) as a local wall time. nullopt when the text
  // is shorter than 19 characters, a field is not all digits, or the fields do
  // not name a real date and time.
  static std::optional<Clock::WallTime> dateFromString(std::string_view text);
  // Equal length and equal bytes. Without `caseSensitive`, ASCII letters that
  // differ only in case also count as equal (and nothing else does).
  static bool CompareString(std::string_view a, std::string_view b, bool caseSensitive);
  // True when both texts are present and `key` occurs in `text`. An empty key
  // never occurs.
  static bool isString(std::optional<std::string_view> text,
                       std::optional<std::string_view> key);

  // --- Console user and machine ----------------------------------------------

  static std::string currentConsoleUserName();
  // The uid as decimal text.
  static std::string currentConsoleUserID();
  // The home folder of `userName` (the running user's $HOME when `userName`
  // is the running user or empty); "" when the user is unknown.
  static std::string getConsoleUserPathForUser(const std::string& userName);
  // /etc/machine-id (else the D-Bus copy of it); nullopt when absent.
  static std::optional<std::string> machineID();
  static std::string machineName();
  // Callers compare this with "10.10"; every feature of "10.10 or later" is
  // the one this agent has.
  static std::string MacOSVersion();
  // Process ids of processes named `processName` owned by `userName`.
  static std::vector<pid_t> processIDsForUserName(const std::string& processName,
                                                  const std::string& userName);

  // --- Engine ----------------------------------------------------------------

  // "--port=<n>" with the port from the file named by the string-table key
  // "KVTPortFile" (for the running user), else "--port=443".
  static std::string portParam();

  // --- Path templates ------------------------------------------------------

  // Fills a string-table path template: "%HOME%" with the home folder of
  // `consoleUser` (the running user when empty), "%CONSOLEUSER%" and
  // "%SYNCUSER%" with the names. nullopt (with a trace line) when the
  // template needs a value that is unknown, or a name that is not a single
  // safe path component ("", ".", "..", "/" or NUL inside), because the path
  // would then land outside the account's folders.
  static std::optional<std::string> fillPathTemplate(std::string_view pathTemplate,
                                                     const std::string& consoleUser,
                                                     const std::string& syncUser = {});
  // The string-table template under `key` filled for `consoleUser` (e.g.
  // "FinderPidFile", "UMLoginDetailsFile"); "" when the key is absent or the
  // template cannot be filled.
  static std::string pathForTemplateKey(std::string_view key, const std::string& consoleUser);
};

}  // namespace ulmora
