#pragma once

#include <string>

namespace ulmora {

// The account's engine connection parameters, handed to every controller that
// runs the engine (upload and download managers, search, quota, listing,
// rename/delete, folder creation, versions, thumbnails).
//
// The plain password and private key never reach an engine command line:
// EngineInvocation writes the encoded forms to owner-only files and passes the
// plain password through the child's environment.
//
// Thread-safety: a value; callers configure it on one thread before a run and
// the run takes a copy.
class User {
 public:
  User() = default;

  void setUserName(std::string v) { userName_ = std::move(v); }
  void setPassword(std::string v) { password_ = std::move(v); }
  void setPrivateKey(std::string v) { privateKey_ = std::move(v); }
  // A ready engine option such as "--port=443".
  void setPort(std::string v) { port_ = std::move(v); }
  void setKVTServerIP(std::string v) { serverIP_ = std::move(v); }
  void setISDefaultKey(bool v) { isDefaultKey_ = v; }
  void setProxySettingsFilePath(std::string v) { proxySettingsFilePath_ = std::move(v); }
  void setWebServer(std::string v) { webServer_ = std::move(v); }
  void setUlmoraUsername(std::string v) { ulmoraUsername_ = std::move(v); }
  // The engine-encoded password and private key (KVTPEncodingController).
  void setEncPassword(std::string v) { encPassword_ = std::move(v); }
  void setEncPvtPassword(std::string v) { encPvtPassword_ = std::move(v); }

  const std::string& userName() const { return userName_; }
  const std::string& password() const { return password_; }
  const std::string& privateKey() const { return privateKey_; }
  const std::string& port() const { return port_; }
  const std::string& kvtServerIP() const { return serverIP_; }
  bool isDefaultKey() const { return isDefaultKey_; }
  const std::string& proxySettingsFilePath() const { return proxySettingsFilePath_; }
  const std::string& webServer() const { return webServer_; }
  const std::string& ulmoraUsername() const { return ulmoraUsername_; }
  const std::string& encPassword() const { return encPassword_; }
  const std::string& encPvtPassword() const { return encPvtPassword_; }

 private:
  std::string userName_;
  std::string password_;
  std::string privateKey_;
  std::string port_;
  std::string serverIP_;
  bool isDefaultKey_ = false;
  std::string proxySettingsFilePath_;
  std::string webServer_;
  std::string ulmoraUsername_;
  std::string encPassword_;
  std::string encPvtPassword_;
};

}  // namespace ulmora
