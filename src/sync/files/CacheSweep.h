#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace ulmora {

// The weekly sweep of the cache folder: entries 3 or more days old go,
// "ConflictData" and ".DS_Store" never do.
namespace cachesweep {

inline constexpr int kSweepEveryDays = 7;
inline constexpr int kKeepDays = 3;

// Whole calendar days (local time) from `from` to `to`: the days from one
// date to the other, less one when `to` falls earlier in its day than
// `from` in its own. Negative when `to` is earlier.
int64_t wholeDaysBetween(Clock::WallTime from, Clock::WallTime to);

// A cache day folder's date from its name "yyyy-MM-dd" (local midnight).
std::optional<Clock::WallTime> dateFromDayFolderName(const std::string& name);

// When the entry came into the cache: its birth time where the file system
// keeps one, else the date of its day-folder name, else its modification
// time. nullopt when the entry cannot be examined.
std::optional<Clock::WallTime> creationDate(const std::string& path);

// Whether an entry of the cache folder may go.
bool isSweepable(const std::string& name);

// Removes, with `remove` (a full path; true when it went), the entries of
// `cacheFolder` created `kKeepDays` or more days before `now`. The remover
// decides how: the controller's removes nothing outside the cache folder and
// follows no link. True when something was removed.
using Remover = std::function<bool(const std::string& path)>;
bool sweep(const std::string& cacheFolder, Clock::WallTime now, const Remover& remove);

}  // namespace cachesweep
}  // namespace ulmora
