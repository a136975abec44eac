#pragma once

#include <optional>
#include <string_view>

#include "platform/PropertyList.h"

namespace ulmora {

// Parses JSON text into a property-list value: objects become dictionaries,
// arrays arrays, strings strings, integers integers (unsigned ones above the
// signed range become reals), other numbers reals, booleans booleans.
// A null member or element is left out: a property list cannot hold it.
//
// nullopt when the text is not one well-formed JSON value (UTF-8 required)
// or nests arrays and objects deeper than `maxDepth`, which keeps hostile
// input from exhausting the stack.
//
// Thread-safety: a pure function.
std::optional<PropertyList> propertyListFromJsonText(std::string_view text, int maxDepth = 64);

}  // namespace ulmora
