#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/User.h"
#include "platform/PropertyList.h"

namespace ulmora {

// The account's user-details record that the sync controller hands to the
// media extras: who to run the engine as, where the engine and the sync root
// are. Its dictionary form has twelve keys (below).
//
// Thread-safety: a value type.
struct UserDetails {
  static constexpr std::string_view kUserNameKey = "username";
  static constexpr std::string_view kPasswordKey = "password";
  static constexpr std::string_view kServerKey = "server";
  static constexpr std::string_view kPortKey = "port";
  static constexpr std::string_view kIsKVTUserKey = "isKVTUser";
  static constexpr std::string_view kIsDefaultKeyKey = "isDefaultKey";
  static constexpr std::string_view kPrivateKeyPathKey = "privateKeyPath";
  static constexpr std::string_view kExePathKey = "ExePath";
  static constexpr std::string_view kDestinationKey = "destination";
  static constexpr std::string_view kSyncFolderPathKey = "SyncFolderPath";
  static constexpr std::string_view kEncPasswordKey = "encPassword";
  static constexpr std::string_view kEncPvtPasswordKey = "encPvtPassword";

  std::string userName;
  std::string password;
  std::string server;
  std::string port = "--port=443";
  bool isKVTUser = true;
  bool isDefaultKey = false;
  std::string privateKeyPath = "key";
  std::string exePath;
  std::string destination = "/";
  std::string syncFolderPath;
  std::string encPassword;
  std::string encPvtPassword;

  PropertyList toPropertyList() const;
  // Missing keys keep their defaults; nullopt unless `value` is a dictionary.
  static std::optional<UserDetails> fromPropertyList(const PropertyList& value);

  // The engine connection these details describe.
  User toUser() const;
};

}  // namespace ulmora
