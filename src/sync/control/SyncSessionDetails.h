#pragma once

#include <optional>
#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

// The session dictionary an account's sync controller is started with:
// {"ConsoleUser", "SyncUser", "SyncRootPath"}. The owner always fills all
// three.
//
// Thread-safety: a value type.
struct SyncSessionDetails {
  static constexpr const char* kConsoleUserKey = "ConsoleUser";
  static constexpr const char* kSyncUserKey = "SyncUser";
  static constexpr const char* kSyncRootPathKey = "SyncRootPath";

  std::string consoleUser;
  std::string syncUser;
  std::string syncRootPath;

  bool operator==(const SyncSessionDetails&) const = default;

  PropertyList toPropertyList() const {
    PropertyList dict(PropertyList::Dict{});
    dict.set(kConsoleUserKey, consoleUser);
    dict.set(kSyncUserKey, syncUser);
    dict.set(kSyncRootPathKey, syncRootPath);
    return dict;
  }

  // nullopt unless all three keys hold texts.
  static std::optional<SyncSessionDetails> fromPropertyList(const PropertyList& dict) {
    auto console = dict.stringFor(kConsoleUserKey);
    auto sync = dict.stringFor(kSyncUserKey);
    auto root = dict.stringFor(kSyncRootPathKey);
    if (!console || !sync || !root) return std::nullopt;
    return SyncSessionDetails{*console, *sync, *root};
  }
};

}  // namespace ulmora
