#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ulmora::service {

// What the stand-in knows of the accounts in its storage folder: the logins
// (the transfer engine's STORAGE/passwd, lines "user:password[:key]"; without
// that file every login is accepted) and the details the account web services
// answer with.
//
// Details: the defaults below, then "key=value" lines of
// STORAGE/service-account, then of STORAGE/accounts/<user>/service-account
// (later lines win). In values, %STORAGE% is the storage folder and
// %SERVICE% this service's "host:port".
//   message=SUCCESS
//   cmdUtilityServerIP=%STORAGE%   cmdUtilityServer=%STORAGE%   kvtsrvrip=%STORAGE%
//   Pnsserver=%SERVICE%            quotaServername=%SERVICE%
// The storage folder is what the transfer engine accepts as its server.
//
// Thread-safety: const methods from any thread.
class AccountDirectory {
 public:
  using Attributes = std::vector<std::pair<std::string, std::string>>;

  explicit AccountDirectory(std::string storage);
  // Set once, before the server starts answering (the port is known only
  // after binding).
  void setServiceAddress(std::string address) { serviceAddress_ = std::move(address); }

  bool accepts(const std::string& user, const std::string& password) const;
  // The attributes of a successful reply for `user`, in a stable order.
  Attributes details(const std::string& user) const;

  const std::string& storage() const { return storage_; }

 private:
  const std::string storage_;
  std::string serviceAddress_;
};

// A user name the storage folder can hold: one path component, no NUL.
bool isUsableUserName(const std::string& user);

}  // namespace ulmora::service
