#include "ipc/IpcMessage.h"

#include <charconv>
#include <string_view>

namespace ulmora {

namespace {

std::optional<int> parseType(std::string_view text) {
  if (text.empty() || text == "-") return std::nullopt;
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

PropertyList IpcMessage::toPropertyList() const {
  return PropertyList(PropertyList::Array{payload, std::to_string(type), sender, receiver});
}

std::optional<IpcMessage> IpcMessage::fromPropertyList(const PropertyList& value) {
  const PropertyList::Array* items = value.asArray();
  if (!items || items->size() != 4) return std::nullopt;
  const std::string* typeText = (*items)[1].asString();
  const std::string* sender = (*items)[2].asString();
  const std::string* receiver = (*items)[3].asString();
  if (!typeText || !sender || !receiver || !isValidPayload((*items)[0])) return std::nullopt;
  std::optional<int> type = parseType(*typeText);
  if (!type) return std::nullopt;
  return IpcMessage{(*items)[0], *type, *sender, *receiver};
}

bool IpcMessage::isValidPayload(const PropertyList& payload) {
  if (payload.isString()) return true;
  const PropertyList::Array* items = payload.asArray();
  if (!items) return false;
  for (const PropertyList& item : *items) {
    if (!item.isString()) return false;
  }
  return true;
}

PropertyList IpcMessage::payloadFromTexts(const std::vector<std::string>& texts) {
  PropertyList::Array items(texts.begin(), texts.end());
  return PropertyList(std::move(items));
}

}  // namespace ulmora
