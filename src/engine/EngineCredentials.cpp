#include "engine/EngineCredentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "foundation/QLBackupProgressLogger.h"
#include "platform/FileUtil.h"
#include "platform/Trace.h"

namespace ulmora {

namespace {

std::string privateFolderBase() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0' && fileutil::isDirectory(v)) return v;
  }
  return "/tmp";
}

// mkstemp creates the file 0600, so the secret is never readable by others,
// not even for a moment.
std::string writeSecretFile(const std::string& folder, std::string_view stem, std::string_view secret) {
  std::string path = fileutil::joinPath(folder, std::string(stem) + "-XXXXXX");
  int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    traceLine("EngineCredentials: cannot create a credential file in " + folder);
    return {};
  }
  ::fchmod(fd, fileutil::kOwnerOnlyFile);
  size_t done = 0;
  bool ok = true;
  while (done < secret.size()) {
    ssize_t n = ::write(fd, secret.data() + done, secret.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  if (!ok) {
    ::unlink(path.c_str());
    traceLine("EngineCredentials: cannot write a credential file in " + folder);
    return {};
  }
  return path;
}

}  // namespace

std::unique_ptr<EngineCredentials> EngineCredentials::writeInto(const std::string& folder,
                                                                const User& user) {
  std::unique_ptr<EngineCredentials> c(new EngineCredentials());
  if (!c->write(folder, user)) return nullptr;
  return c;
}

std::unique_ptr<EngineCredentials> EngineCredentials::writePrivate(const User& user) {
  std::string folder = fileutil::joinPath(privateFolderBase(), "ulmora-engine-XXXXXX");
  if (::mkdtemp(folder.data()) == nullptr) {
    traceLine("EngineCredentials: cannot create a private folder for credentials");
    return nullptr;
  }
  std::unique_ptr<EngineCredentials> c(new EngineCredentials());
  c->ownedFolder_ = folder;
  if (!c->write(folder, user)) return nullptr;
  return c;
}

bool EngineCredentials::write(const std::string& folder, const User& user) {
  // Whatever line these ever end up in (an engine's error text, an
  // environment dump), the logs show a mask instead.
  for (const std::string* secret :
       {&user.password(), &user.encPassword(), &user.privateKey(), &user.encPvtPassword()}) {
    registerSecretValue(*secret);
  }
  plainPassword_ = user.password();
  // The encoded form is preferred; the plain password goes into the file only
  // when no encoded one is known (the engine accepts either there).
  const std::string& password = user.encPassword().empty() ? user.password() : user.encPassword();
  encoded_ = !user.encPassword().empty();
  if (!password.empty()) {
    passwordFile_ = writeSecretFile(folder, "kvt-password", password);
    if (passwordFile_.empty()) return false;
  }
  const std::string& key = user.encPvtPassword().empty() ? user.privateKey() : user.encPvtPassword();
  if (!key.empty()) {
    privateKeyFile_ = writeSecretFile(folder, "kvt-key", key);
    if (privateKeyFile_.empty()) return false;
  }
  return true;
}

EngineCredentials::~EngineCredentials() {
  if (!passwordFile_.empty()) ::unlink(passwordFile_.c_str());
  if (!privateKeyFile_.empty()) ::unlink(privateKeyFile_.c_str());
  if (!ownedFolder_.empty()) fileutil::removeAll(ownedFolder_);
}

std::vector<std::string> EngineCredentials::arguments() const {
  std::vector<std::string> args;
  if (encoded_) args.emplace_back("--encode");
  if (!passwordFile_.empty()) args.push_back("--password-file=" + passwordFile_);
  if (!privateKeyFile_.empty()) args.push_back("--pvt-key=" + privateKeyFile_);
  return args;
}

std::vector<std::pair<std::string, std::string>> EngineCredentials::environment(
    const std::string& proxyPassword) const {
  std::vector<std::pair<std::string, std::string>> env;
  env.emplace_back(kPasswordEnvironment, plainPassword_);
  if (!proxyPassword.empty()) env.emplace_back(kProxyPasswordEnvironment, proxyPassword);
  return env;
}

}  // namespace ulmora
