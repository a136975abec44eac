#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/PropertyList.h"

namespace ulmora {

// One message on a channel, either way. On the wire it is the array of four
// texts [payload, type in decimal, sender, receiver], where the payload may
// itself be an array of texts.
struct IpcMessage {
  PropertyList payload;  // a text or an array of texts
  int type = 0;
  std::string sender;
  std::string receiver;

  PropertyList toPropertyList() const;
  // nullopt unless `value` has exactly that form; the type must be plain
  // decimal digits (an optional leading "-") that fit an int.
  static std::optional<IpcMessage> fromPropertyList(const PropertyList& value);

  // A text, or an array whose members are all texts.
  static bool isValidPayload(const PropertyList& payload);
  static PropertyList payloadFromTexts(const std::vector<std::string>& texts);

  bool operator==(const IpcMessage&) const = default;
};

}  // namespace ulmora
