#pragma once

#include <string>
#include <string_view>

namespace ulmora {

// Looks a key up in the string table "SyncLocalizable": an XML property list
// (a dictionary of texts) installed beside the program as
// "SyncLocalizable.plist". The environment variable ULMORA_STRING_TABLE, when
// set, names another file (tests and the stand-ins use it).
//
// Returns the key's text; the key itself when the key is absent or the table
// cannot be loaded (with one trace line); "" for an empty key.
// The table is loaded once per process.
//
// Thread-safety: safe from any thread.
std::string QLLocalizedString(std::string_view key);

// Replaces the loaded table with the file at `path` (tests).
void QLLocalizedStringLoadTable(const std::string& path);

}  // namespace ulmora
