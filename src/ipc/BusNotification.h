#pragma once

#include <optional>
#include <string>

#include "platform/PropertyList.h"

namespace ulmora {

// One notification on the bus. On the wire it is the dictionary
// {"Name": text, "UserInfo": dictionary} (docs/ipc.md).
struct BusNotification {
  std::string name;
  PropertyList userInfo;  // a dictionary (an empty one when there is none)

  PropertyList toPropertyList() const;
  // nullopt unless `value` has that form.
  static std::optional<BusNotification> fromPropertyList(const PropertyList& value);

  bool operator==(const BusNotification&) const = default;
};

}  // namespace ulmora
