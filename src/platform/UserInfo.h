#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ulmora {

// Facts about the user the agent runs for and the machine it runs on. On this
// platform the "console user" is simply the user running the agent
// (the effective uid).
//
// Thread-safety: every function may be called from any thread (the
// reentrant getpw*_r calls are used). Nothing is cached, so a changed $HOME
// or host name shows at the next call.
class UserInfo {
 public:
  UserInfo() = delete;

  // Name of the effective user from the password database, else $USER,
  // else "".
  static std::string currentUserName();
  static uid_t currentUserId();

  // $HOME when it is an absolute path, else the password database's home
  // folder of the effective user. nullopt when neither is known: a relative
  // or empty $HOME would scatter the agent's files into whatever folder it
  // was started in.
  static std::optional<std::string> homeFolder();

  // homeFolder() when `userName` is the current user, else that user's home
  // folder from the password database; nullopt for an unknown user.
  static std::optional<std::string> homeFolderForUser(const std::string& userName);

  // The machine's identifier: /etc/machine-id, else /var/lib/dbus/machine-id,
  // trimmed of white space. nullopt when neither holds one.
  static std::optional<std::string> machineId();
  // The first of `paths` that holds a non-blank text, trimmed.
  static std::optional<std::string> machineIdFromFiles(const std::vector<std::string>& paths);

  // The host name with every character that is not an ASCII letter or digit
  // removed; "" when the host name cannot be read.
  static std::string machineName();

  // Process ids of the processes named `processName` whose effective owner is
  // `userName`, ascending (the order of the kernel's process table). A
  // process matches on its command name (/proc/<pid>/comm) or on the last
  // component of its argv[0], because the kernel cuts command names to 15
  // characters. Zombies (ended, not yet reaped) do not count. Empty for an
  // unknown user or when nothing matches. A process spawned a moment ago may
  // not match yet: the kernel fills in its name and arguments just after exec.
  static std::vector<pid_t> processIdsForUserName(std::string_view processName,
                                                  const std::string& userName);
};

}  // namespace ulmora
