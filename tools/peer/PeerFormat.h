#pragma once

#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/PropertyList.h"

namespace ulmora::peer {

// One output line: "<UTC time> <channel> <type or name> <payload>". Control
// characters, quotes and backslashes in texts are escaped (and blanks in the
// name), so a line is always one line and its fields can be split. A text
// payload is printed as it is otherwise; anything else in a JSON form.
std::string formatLine(Clock::WallTime when, std::string_view channel, std::string_view kind,
                       const PropertyList& payload);

// "2024-05-01T12:00:00.123Z"
std::string formatTime(Clock::WallTime when);
std::string render(const PropertyList& value, bool quoteTexts);

}  // namespace ulmora::peer
