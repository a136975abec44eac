#include "media/UserDetails.h"

namespace ulmora {

PropertyList UserDetails::toPropertyList() const {
  PropertyList::Dict d;
  d[std::string(kUserNameKey)] = userName;
  d[std::string(kPasswordKey)] = password;
  d[std::string(kServerKey)] = server;
  d[std::string(kPortKey)] = port;
  d[std::string(kIsKVTUserKey)] = isKVTUser;
  d[std::string(kIsDefaultKeyKey)] = isDefaultKey;
  d[std::string(kPrivateKeyPathKey)] = privateKeyPath;
  d[std::string(kExePathKey)] = exePath;
  d[std::string(kDestinationKey)] = destination;
  d[std::string(kSyncFolderPathKey)] = syncFolderPath;
  d[std::string(kEncPasswordKey)] = encPassword;
  d[std::string(kEncPvtPasswordKey)] = encPvtPassword;
  return PropertyList(std::move(d));
}

std::optional<UserDetails> UserDetails::fromPropertyList(const PropertyList& value) {
  if (!value.isDict()) return std::nullopt;
  UserDetails u;
  auto text = [&](std::string_view key, std::string& into) {
    if (const PropertyList* v = value.find(key)) {
      if (auto t = v->textValue()) into = *t;
    }
  };
  auto flag = [&](std::string_view key, bool& into) {
    if (const PropertyList* v = value.find(key)) into = v->boolValue();
  };
  text(kUserNameKey, u.userName);
  text(kPasswordKey, u.password);
  text(kServerKey, u.server);
  text(kPortKey, u.port);
  flag(kIsKVTUserKey, u.isKVTUser);
  flag(kIsDefaultKeyKey, u.isDefaultKey);
  text(kPrivateKeyPathKey, u.privateKeyPath);
  text(kExePathKey, u.exePath);
  text(kDestinationKey, u.destination);
  text(kSyncFolderPathKey, u.syncFolderPath);
  text(kEncPasswordKey, u.encPassword);
  text(kEncPvtPasswordKey, u.encPvtPassword);
  return u;
}

User UserDetails::toUser() const {
  User user;
  user.setUserName(userName);
  user.setPassword(password);
  user.setKVTServerIP(server);
  user.setPort(port);
  user.setISDefaultKey(isDefaultKey);
  user.setEncPassword(encPassword);
  user.setEncPvtPassword(encPvtPassword);
  return user;
}

}  // namespace ulmora
