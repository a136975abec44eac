#pragma once

#include <cstdlib>
#include <string>

#include "foundation/QLLocalizedString.h"

namespace ulmora::testing {

// The string table of the source tree. CTest names it in ULMORA_STRING_TABLE;
// a test binary started by hand finds it relative to this file.
inline std::string sourceStringTablePath() {
  if (const char* env = std::getenv("ULMORA_STRING_TABLE"); env && *env) return env;
  std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/")) + "/src/foundation/SyncLocalizable.plist";
}

// Tests that swap the table put the source one back with this.
inline void loadSourceStringTable() { QLLocalizedStringLoadTable(sourceStringTablePath()); }

}  // namespace ulmora::testing
