#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/User.h"

namespace ulmora {

// The one form in which every engine run receives the account's credentials
// (docs/engine.md, "Credentials and set files"): the encoded password and
// private key in owner-only files whose paths go on the command line, and the
// plain password in the child's environment as RSYNC_PASSWORD. Nothing secret
// is ever an argument, so `ps` shows no credential to other users.
//
// The files are removed when the object goes away.
//
// Thread-safety: immutable after creation; the destructor must not race with
// a run still reading the files.
class EngineCredentials {
 public:
  static constexpr const char* kPasswordEnvironment = "RSYNC_PASSWORD";
  static constexpr const char* kProxyPasswordEnvironment = "RSYNC_PROXY_PASSWORD";

  // Writes the files into `folder`, an existing owner-only folder (a run's
  // work folder). nullptr when a file cannot be written.
  static std::unique_ptr<EngineCredentials> writeInto(const std::string& folder, const User& user);
  // For runs without a work folder (quota, search, encoding): makes a private
  // folder (0700) under $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp, removed
  // with the object.
  static std::unique_ptr<EngineCredentials> writePrivate(const User& user);

  ~EngineCredentials();
  EngineCredentials(const EngineCredentials&) = delete;
  EngineCredentials& operator=(const EngineCredentials&) = delete;

  // "--encode" (when the files hold encoded text), "--password-file=PATH",
  // "--pvt-key=PATH", each only when there is something to pass.
  std::vector<std::string> arguments() const;
  // RSYNC_PASSWORD (and the proxy password when one is given).
  std::vector<std::pair<std::string, std::string>> environment(
      const std::string& proxyPassword = std::string()) const;

  const std::string& passwordFile() const { return passwordFile_; }
  const std::string& privateKeyFile() const { return privateKeyFile_; }

 private:
  EngineCredentials() = default;
  bool write(const std::string& folder, const User& user);

  std::string ownedFolder_;  // removed with the object when set
  std::string passwordFile_;
  std::string privateKeyFile_;
  bool encoded_ = false;
  std::string plainPassword_;
};

}  // namespace ulmora
