#include "service/JsonPropertyList.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "foundation/StringExtensions.h"

namespace ulmora {
namespace {

std::optional<PropertyList> convert(const nlohmann::json& value) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::object: {
      PropertyList::Dict dict;
      for (const auto& [key, member] : value.items()) {
        if (auto converted = convert(member)) dict[key] = std::move(*converted);
      }
      return PropertyList(std::move(dict));
    }
    case Type::array: {
      PropertyList::Array array;
      for (const auto& element : value) {
        if (auto converted = convert(element)) array.push_back(std::move(*converted));
      }
      return PropertyList(std::move(array));
    }
    case Type::string:
      return PropertyList(value.get<std::string>());
    case Type::boolean:
      return PropertyList(value.get<bool>());
    case Type::number_integer:
      return PropertyList(value.get<int64_t>());
    case Type::number_unsigned: {
      const auto u = value.get<uint64_t>();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return PropertyList(static_cast<int64_t>(u));
      return PropertyList(static_cast<double>(u));
    }
    case Type::number_float:
      return PropertyList(value.get<double>());
    case Type::null:
    case Type::binary:
    case Type::discarded:
      break;
  }
  return std::nullopt;
}

}  // namespace

std::optional<PropertyList> propertyListFromJsonText(std::string_view text, int maxDepth) {
  if (jsonNestingDepth(text) > maxDepth) return std::nullopt;
  const auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return std::nullopt;
  return convert(parsed);
}

}  // namespace ulmora
