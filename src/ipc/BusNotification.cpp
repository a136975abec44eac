#include "ipc/BusNotification.h"

namespace ulmora {

namespace {
constexpr const char* kNameKey = "Name";
constexpr const char* kUserInfoKey = "UserInfo";
}  // namespace

PropertyList BusNotification::toPropertyList() const {
  PropertyList value;
  value.set(kNameKey, name);
  value.set(kUserInfoKey, userInfo.isNull() ? PropertyList(PropertyList::Dict{}) : userInfo);
  return value;
}

std::optional<BusNotification> BusNotification::fromPropertyList(const PropertyList& value) {
  std::optional<std::string> name = value.stringFor(kNameKey);
  const PropertyList* userInfo = value.find(kUserInfoKey);
  if (!name || !userInfo || !userInfo->isDict()) return std::nullopt;
  return BusNotification{*name, *userInfo};
}

}  // namespace ulmora
